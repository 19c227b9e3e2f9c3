// The driver's reads fused with the byte checks and CRCs: every answer
// equals the plain read followed by the plain test, on every length around
// the vector steps; a read fault armed in the seam reaches the fused reads
// as it reaches EFS_physical_read.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "common/flash_fault.h"
#include "efs/EfsBlocks.h"
#include "efs_fixture.h"
#include "support/bitwise_crc.h"

using namespace efs_test;
namespace ff = quor::flash_fault;

namespace {

class EfsFusedReads : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(load_layout(default_layout()), 0u);
        ASSERT_EQ(EFS_physical_init(true), 0u);
        std::mt19937 rng(5);
        for (uint32_t i = 0; i < efs_size; ++i) {
            efs_image[i] = static_cast<uint8_t>(rng());
        }
        std::fill(efs_image + 8192, efs_image + 12288, 0xFF);
        efs_image[12288] = 0x00;
    }
    ff::Guard guard_;
};

// Plain (no fault armed): the fused reads deliver the bytes and the answer
// of the plain read and test, for ranges starting anywhere.
TEST_F(EfsFusedReads, AnswerAsTheReadThenTheTest) {
    std::mt19937 rng(9);
    for (uint32_t n : vector_step_lengths()) {
        const uint32_t at = static_cast<uint32_t>(rng() % (efs_size - n));
        const uint8_t *flash = efs_image + at;
        std::vector<uint8_t> out(n);
        bool answer = false;
        ASSERT_EQ(quor::efs::physical_read_equal(at, n, out.data(), flash, &answer), 0u);
        EXPECT_TRUE(answer);
        EXPECT_TRUE(std::equal(out.begin(), out.end(), flash)) << n;
        std::vector<uint8_t> other(flash, flash + n);
        other[n - 1] ^= 0x80;
        ASSERT_EQ(quor::efs::physical_read_equal(at, n, out.data(), other.data(), &answer), 0u);
        EXPECT_FALSE(answer) << n;

        ASSERT_EQ(quor::efs::physical_read_all(8192 + 4096 - n, n, out.data(), 0xFF, &answer), 0u);
        EXPECT_TRUE(answer) << n;
        ASSERT_EQ(quor::efs::physical_read_all(8192 + 4096 - n + 1, n, out.data(), 0xFF, &answer),
                  0u);
        EXPECT_FALSE(answer) << "the byte after the erased block is not 0xFF (" << n << ")";

        uint16_t crc16 = 0;
        ASSERT_EQ(quor::efs::physical_read_crc16(at, n, out.data(), 0x1D0F, &crc16), 0u);
        EXPECT_EQ(crc16, quor_test::bitwise_crc16(0x1D0F, flash, n)) << n;
        EXPECT_TRUE(std::equal(out.begin(), out.end(), flash)) << n;

        const uint32_t from = n / 3;
        const uint32_t count = n - from - n / 5;
        uint32_t crc32 = 0;
        std::fill(out.begin(), out.end(), 0);
        ASSERT_EQ(quor::efs::physical_read_crc32(at, n, out.data(), from, count, &crc32), 0u);
        EXPECT_EQ(crc32, quor_test::bitwise_crc32(0, flash + from, count)) << n;
        EXPECT_TRUE(std::equal(out.begin(), out.end(), flash)) << n;
    }
}

TEST_F(EfsFusedReads, RefuseWhatTheDriverRefuses) {
    uint8_t out[16] = {};
    bool answer = true;
    uint16_t crc16 = 0;
    uint32_t crc32 = 0;
    const uint32_t past = efs_size - 7;
    EXPECT_EQ(quor::efs::physical_read_equal(past, 8, out, out, &answer), 22u);
    EXPECT_EQ(quor::efs::physical_read_all(0, 0, out, 0xFF, &answer), 22u);
    EXPECT_EQ(quor::efs::physical_read_all(0, 8, nullptr, 0xFF, &answer), 22u);
    EXPECT_EQ(quor::efs::physical_read_crc16(past, 8, out, 0, &crc16), 22u);
    EXPECT_EQ(quor::efs::physical_read_crc32(efs_size, 8, out, 0, 8, &crc32), 22u);
    EXPECT_TRUE(answer) << "no answer without a read";
}

// An armed read fault goes through the fused reads as through the plain
// one: each call is one read of the seam, a corrupted read fails its test,
// a failed read returns 5.
TEST_F(EfsFusedReads, SeeTheSeamsReadFaults) {
    std::vector<uint8_t> out(4096);
    const uint8_t *flash = efs_image + 4096;
    bool answer = false;
    ff::corrupt_reads(1, 1);
    ASSERT_EQ(quor::efs::physical_read_equal(4096, 4096, out.data(), flash, &answer), 0u);
    EXPECT_FALSE(answer) << "the corrupted read differs";
    ASSERT_EQ(quor::efs::physical_read_equal(4096, 4096, out.data(), flash, &answer), 0u);
    EXPECT_TRUE(answer);
    EXPECT_EQ(ff::read_count(), 2u);

    ff::corrupt_reads(2, 1);
    ASSERT_EQ(quor::efs::physical_read_all(8192, 4096, out.data(), 0xFF, &answer), 0u);
    EXPECT_TRUE(answer);
    ASSERT_EQ(quor::efs::physical_read_all(8192, 4096, out.data(), 0xFF, &answer), 0u);
    EXPECT_FALSE(answer);
    EXPECT_EQ(out[4095], 0xFE) << "the flipped bit is what the read delivered";

    ff::corrupt_reads(1, 1);
    uint16_t crc16 = 0;
    uint32_t crc32 = 0;
    ASSERT_EQ(quor::efs::physical_read_crc16(4096, 100, out.data(), 0, &crc16), 0u);
    EXPECT_NE(crc16, quor_test::bitwise_crc16(0, flash, 100));
    EXPECT_EQ(crc16, quor_test::bitwise_crc16(0, out.data(), 100));
    ASSERT_EQ(quor::efs::physical_read_crc32(4096, 4096, out.data(), 16, 4080, &crc32), 0u);
    EXPECT_EQ(crc32, quor_test::bitwise_crc32(0, flash + 16, 4080)) << "the second read is sound";
    EXPECT_EQ(ff::read_count(), 2u);

    ff::fail_reads(1, 4);
    EXPECT_EQ(quor::efs::physical_read_equal(4096, 16, out.data(), flash, &answer), 5u);
    EXPECT_EQ(quor::efs::physical_read_all(4096, 16, out.data(), 0xFF, &answer), 5u);
    EXPECT_EQ(quor::efs::physical_read_crc16(4096, 16, out.data(), 0, &crc16), 5u);
    EXPECT_EQ(quor::efs::physical_read_crc32(4096, 16, out.data(), 0, 16, &crc32), 5u);
    EXPECT_EQ(ff::read_count(), 4u);
}

}  // namespace
