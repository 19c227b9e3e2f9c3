// Memory utilities: ByteCopy statuses at the size limit, null and overlapping
// arguments; fill and compare helpers.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "interface/memory_utils.h"

namespace {

TEST(ByteCopy, CopyOfExactlyTheDestinationSizeSucceedsAndOneMoreIsRefused) {
    std::array<uint8_t, 8> destination{};
    const std::array<uint8_t, 9> source = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(ByteCopy(destination.data(), 8, source.data(), 8), 0u);
    EXPECT_EQ(std::memcmp(destination.data(), source.data(), 8), 0);

    destination.fill(0xEE);
    EXPECT_EQ(ByteCopy(destination.data(), 8, source.data(), 9), 40u);
    for (size_t i = 0; i < destination.size(); ++i) {
        EXPECT_EQ(destination[i], 0xEE) << "offset " << i << " written by a refused copy";
    }
}

TEST(ByteCopy, NullPointersGiveThreeEvenForZeroBytes) {
    uint8_t byte = 0;
    EXPECT_EQ(ByteCopy(nullptr, 4, &byte, 1), 3u);
    EXPECT_EQ(ByteCopy(&byte, 1, nullptr, 1), 3u);
    EXPECT_EQ(ByteCopy(nullptr, 0, nullptr, 0), 3u);
    EXPECT_EQ(ByteCopy(&byte, 0, &byte, 0), 0u);
}

TEST(ByteCopy, OverlappingRangesGiveFortyThreeAndLeaveBytesUnchanged) {
    std::array<uint8_t, 6> buffer = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(ByteCopy(buffer.data() + 2, 4, buffer.data(), 4), 43u);
    EXPECT_EQ(ByteCopy(buffer.data(), 6, buffer.data() + 2, 3), 43u);
    EXPECT_EQ(buffer, (std::array<uint8_t, 6>{1, 2, 3, 4, 5, 6}));
    // Adjacent ranges do not overlap.
    EXPECT_EQ(ByteCopy(buffer.data(), 3, buffer.data() + 3, 3), 0u);
    EXPECT_EQ(buffer, (std::array<uint8_t, 6>{4, 5, 6, 4, 5, 6}));
}

TEST(LtMemory, SetUsesTheLowByteAndCompareKeepsTheSign) {
    auto *block = static_cast<uint8_t *>(LtAllocateZeroMemory(16));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 16; ++i) {
        ASSERT_EQ(block[i], 0) << "offset " << i << " of a zero-filled block";
    }
    EXPECT_EQ(LtSetMemory(block, 0x1AB, 15), block);
    EXPECT_EQ(block[14], 0xAB);
    EXPECT_EQ(block[15], 0) << "fill ran past its count";

    const uint8_t low[2] = {0xAB, 0x01};
    EXPECT_GT(LtCompareMemory(block, low, 2), 0);
    EXPECT_LT(LtCompareMemory(low, block, 2), 0);
    EXPECT_EQ(LtCompareMemory(block, low, 1), 0);
    EXPECT_EQ(LtCompareMemory(nullptr, low, 0), 0);
    LtFreeMemory(block);
    LtFreeMemory(nullptr);
}

}  // namespace
