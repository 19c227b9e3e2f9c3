// The byte checks of EFS: every answer equals the plain test, on every
// length around the vector steps, with no byte read or written outside the
// ranges (ASan sees exact-size buffers).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "efs/EfsBlocks.h"
#include "efs_fixture.h"

using namespace efs_test;
namespace detail = quor::efs::detail;

namespace {

// Places of a single differing byte: both ends, the middle, the end of an
// unaligned head and the last partial register.
std::vector<uint32_t> flip_places(uint32_t n) {
    std::vector<uint32_t> at = {0, n - 1, n / 2, std::min(n - 1, 63u)};
    if (n > 64) {
        at.push_back(n - n % 64 == n ? n - 64 : n - n % 64);
    }
    return at;
}

TEST(EfsByteChecks, AllBytesFindsEveryDifferingByte) {
    for (uint8_t value : {uint8_t{0xFF}, uint8_t{0x00}}) {
        for (uint32_t n : vector_step_lengths()) {
            std::vector<uint8_t> bytes(n, value);
            ASSERT_TRUE(detail::all_bytes(bytes.data(), n, value)) << n;
            for (uint32_t at : flip_places(n)) {
                bytes[at] ^= 0x10;
                ASSERT_FALSE(detail::all_bytes(bytes.data(), n, value))
                    << "length " << n << ", byte " << at << ", value " << int{value};
                bytes[at] ^= 0x10;
            }
        }
    }
}

TEST(EfsByteChecks, CopiesAreExactAndTheirChecksFindEveryDifference) {
    std::mt19937 rng(77);
    for (uint32_t n : vector_step_lengths()) {
        std::vector<uint8_t> from(n);
        for (auto &b : from) {
            b = static_cast<uint8_t>(rng());
        }
        std::vector<uint8_t> expected = from;
        std::vector<uint8_t> to(n + 2, 0xA5);
        ASSERT_TRUE(detail::copy_equal(to.data() + 1, from.data(), expected.data(), n)) << n;
        ASSERT_TRUE(std::equal(from.begin(), from.end(), to.begin() + 1)) << n;
        ASSERT_EQ(to.front(), 0xA5);
        ASSERT_EQ(to.back(), 0xA5) << "written past a copy of " << n;
        for (uint32_t at : flip_places(n)) {
            expected[at] ^= 0x01;
            ASSERT_FALSE(detail::copy_equal(to.data() + 1, from.data(), expected.data(), n))
                << "length " << n << ", byte " << at;
            expected[at] ^= 0x01;
        }
        std::vector<uint8_t> erased(n, 0xFF);
        ASSERT_TRUE(detail::copy_all(to.data() + 1, erased.data(), n, 0xFF)) << n;
        ASSERT_EQ(to[n], 0xFF);
        ASSERT_EQ(to.back(), 0xA5);
        for (uint32_t at : flip_places(n)) {
            erased[at] = 0x7F;
            ASSERT_FALSE(detail::copy_all(to.data() + 1, erased.data(), n, 0xFF))
                << "length " << n << ", byte " << at;
            ASSERT_EQ(to[1 + at], 0x7F) << "the differing byte is copied too";
            erased[at] = 0xFF;
        }
    }
}

}  // namespace
