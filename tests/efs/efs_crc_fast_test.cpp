// EFS_crc32 and EFS_crc16 (sixteen bytes per step) against bit-by-bit CRCs of
// their polynomials, over random data of every length 0..300 at every
// alignment, continuing from random starting values; and the exported byte
// tables against the same definitions.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "efs/EFS.h"
#include "efs/EfsBlocks.h"
#include "support/bitwise_crc.h"

namespace {

using quor_test::bitwise_crc32;

using quor_test::bitwise_crc16;

// Four rounds of fresh random bytes; in each, every length 0..300 at a random
// offset 0..7 with a seed from next_seed(round, rng), fast against bitwise.
template <typename NextSeed, typename Fast, typename Bitwise>
void expect_fast_equals_bitwise(uint32_t rngSeed, NextSeed next_seed, Fast fast, Bitwise bitwise) {
    std::mt19937 rng(rngSeed);
    std::vector<uint8_t> buffer(300 + 8);
    for (int round = 0; round < 4; ++round) {
        for (auto &b : buffer) {
            b = static_cast<uint8_t>(rng());
        }
        for (uint32_t length = 0; length <= 300; ++length) {
            const size_t shift = rng() % 8;
            const auto seed = next_seed(round, rng);
            const uint8_t *data = buffer.data() + shift;
            ASSERT_EQ(fast(seed, data, length), bitwise(seed, data, length))
                << "length " << length << ", offset " << shift << ", seed " << seed;
        }
    }
}

TEST(EfsCrcFast, Crc32EqualsTheBitwiseCrcForEveryLengthAlignmentAndSeed) {
    // The first round starts from 0 and draws no seed.
    expect_fast_equals_bitwise(
        0xEF5,
        [](int round, std::mt19937 &rng) { return round == 0 ? 0u : static_cast<uint32_t>(rng()); },
        EFS_crc32, bitwise_crc32);
}

TEST(EfsCrcFast, Crc16EqualsTheBitwiseCrcForEveryLengthAlignmentAndSeed) {
    expect_fast_equals_bitwise(
        0x1021, [](int, std::mt19937 &rng) { return static_cast<uint16_t>(rng()); }, EFS_crc16,
        bitwise_crc16);
}

// A whole data area in one call equals the same bytes fed in pieces.
TEST(EfsCrcFast, CrcOfADataAreaDoesNotDependOnHowItIsSplit) {
    std::mt19937 rng(4096);
    std::vector<uint8_t> area(4092);
    for (auto &b : area) {
        b = static_cast<uint8_t>(rng());
    }
    const uint32_t whole = EFS_crc32(0, area.data(), static_cast<uint32_t>(area.size()));
    EXPECT_EQ(whole, bitwise_crc32(0, area.data(), area.size()));
    uint32_t pieces = 0;
    for (size_t at = 0; at < area.size();) {
        const size_t n = std::min<size_t>(1 + rng() % 13, area.size() - at);
        pieces = EFS_crc32(pieces, area.data() + at, static_cast<uint32_t>(n));
        at += n;
    }
    EXPECT_EQ(pieces, whole);
}

// The CRC-32 register carried over zero bytes without reading them (used to
// update a footer from a changed record): the bitwise CRC over that many
// zeros, for every count up to a data area and registers at the edges.
TEST(EfsCrcFast, Crc32AfterZerosEqualsTheCrcOverZeros) {
    const std::vector<uint8_t> zeros(quor::efs::kDataAreaSize, 0);
    std::mt19937 rng(0x2E05);
    for (uint32_t n = 0; n <= quor::efs::kDataAreaSize; n += 1 + n / 64) {
        for (uint32_t crc : {0u, 1u, 0x80000000u, 0xFFFFFFFFu, static_cast<uint32_t>(rng())}) {
            ASSERT_EQ(quor::efs::detail::crc32_after_zeros(crc, n),
                      bitwise_crc32(crc, zeros.data(), n))
                << n << " zeros, register " << crc;
        }
    }
}

TEST(EfsCrcFast, ExportedByteTablesHoldTheCrcOfEachByte) {
    for (uint32_t i = 0; i < 256; ++i) {
        const auto byte = static_cast<uint8_t>(i);
        EXPECT_EQ(gCrc32_table[i], bitwise_crc32(0, &byte, 1)) << "entry " << i;
        EXPECT_EQ(gCrc16_table[i], bitwise_crc16(0, &byte, 1)) << "entry " << i;
    }
}

}  // namespace
