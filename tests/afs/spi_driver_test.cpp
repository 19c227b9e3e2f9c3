// The SPI flash emulation, the framework copy routines and the fault seam
// as the AFS driver obeys it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "afs/AfsFrameworkWin32.h"
#include "afs/AfsPhysicalWin32Spi.h"
#include "common/flash_fault.h"

namespace {

namespace fault = quor::flash_fault;

class SpiDriver : public ::testing::Test {
  protected:
    void SetUp() override {
        for (size_t i = 0; i < flash_.size(); ++i) {
            flash_[i] = static_cast<uint8_t>(i * 7 + 3);
        }
        SpiFlashDrvInitialize(flash_.data());
    }
    void TearDown() override {
        SpiFlashDrvSetLimit(0);
        SpiFlashDrvInitialize(nullptr);
    }
    std::vector<uint8_t> flash_ = std::vector<uint8_t>(4 * 4096);
    fault::Guard guard_;
};

TEST_F(SpiDriver, EraseSetsOneBlockAndLeavesItsNeighbours) {
    EXPECT_EQ(gpBuffer, flash_.data());
    const std::vector<uint8_t> before = flash_;
    const uint32_t a = 4096 + 100;  // not aligned
    ASSERT_EQ(SpiDrvEraseBlock(a), 0u);
    for (uint32_t i = 0; i < flash_.size(); ++i) {
        const uint8_t expected = (i >= a && i < a + 4096) ? 0xFF : before[i];
        ASSERT_EQ(flash_[i], expected) << "offset " << i;
    }
}

TEST_F(SpiDriver, WriteIsAPlainOverwriteAndReadCopiesBack) {
    flash_[10] = 0x00;
    const uint8_t value = 0x7F;
    ASSERT_EQ(SpiDrvWrite(10, 1, &value), 0u);
    EXPECT_EQ(flash_[10], 0x7F);
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(SpiDrvWrite(200, 5, data), 0u);
    uint8_t out[5] = {};
    ASSERT_EQ(SpiDrvRead(200, 5, out), 0u);
    EXPECT_EQ(0, std::memcmp(out, data, 5));
}

TEST_F(SpiDriver, FaultSeamRefusesCutsAndDropsOperations) {
    const std::vector<uint8_t> before = flash_;
    const uint8_t data[8] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
    fault::fail_at(1);
    EXPECT_NE(SpiDrvWrite(0, 4, data), 0u);
    fault::fail_at(1);
    EXPECT_NE(SpiDrvEraseBlock(0), 0u);
    EXPECT_EQ(flash_, before) << "a refused write or erase changed the flash";
    fault::cut_at(2);
    ASSERT_EQ(SpiDrvWrite(0, 8, data), 0u);    // operation 1: applied
    ASSERT_EQ(SpiDrvWrite(100, 8, data), 0u);  // operation 2: first half only
    ASSERT_EQ(SpiDrvEraseBlock(4096), 0u);     // after the cut: dropped
    EXPECT_TRUE(fault::power_is_cut());
    for (uint32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(flash_[i], data[i]) << "offset " << i;
        EXPECT_EQ(flash_[100 + i], i < 4 ? data[i] : before[100 + i]) << "offset " << 100 + i;
    }
    EXPECT_TRUE(std::equal(before.begin() + 4096, before.begin() + 8192, flash_.begin() + 4096))
        << "an erase after the cut reached the flash";
    fault::cut_at(1);  // a cut erase sets only a prefix
    ASSERT_EQ(SpiDrvEraseBlock(8192), 0u);
    EXPECT_EQ(flash_[8192], 0xFF);
    EXPECT_EQ(flash_[8192 + 2047], 0xFF);
    EXPECT_EQ(flash_[8192 + 2048], before[8192 + 2048]);
}

TEST_F(SpiDriver, OptionalLimitRefusesAccessPastIt) {
    SpiFlashDrvSetLimit(flash_.size());
    uint8_t out[8];
    EXPECT_EQ(SpiDrvRead(static_cast<uint32_t>(flash_.size() - 8), 8, out), 0u);
    EXPECT_NE(SpiDrvRead(static_cast<uint32_t>(flash_.size() - 4), 8, out), 0u);
    EXPECT_NE(SpiDrvWrite(0xFFFFFFF0u, 8, out), 0u);
    EXPECT_NE(SpiDrvEraseBlock(static_cast<uint32_t>(flash_.size() - 4095)), 0u);
}

TEST_F(SpiDriver, NoBufferFailsInsteadOfTouchingMemory) {
    SpiFlashDrvInitialize(nullptr);
    uint8_t out[4] = {};
    EXPECT_NE(SpiDrvRead(0, 4, out), 0u);
    EXPECT_NE(SpiDrvWrite(0, 4, out), 0u);
    EXPECT_NE(SpiDrvEraseBlock(0), 0u);
}

// A view of the flash in place is given exactly when a plain read would
// succeed without the fault seam's say: never past the limit or without a
// buffer, and never while a read fault is armed or the calls are recorded
// (those reads must be copies the seam can count, corrupt, fail or record).
TEST_F(SpiDriver, ReadViewOnlyWhereAPlainReadNeedsNoCopy) {
    EXPECT_EQ(quor::afs::spi_read_view(100, 66), flash_.data() + 100);
    EXPECT_EQ(quor::afs::spi_read_view(0, 4 * 4096), flash_.data());
    SpiFlashDrvSetLimit(4096);
    EXPECT_EQ(quor::afs::spi_read_view(4000, 96), flash_.data() + 4000);
    EXPECT_EQ(quor::afs::spi_read_view(4000, 97), nullptr);
    SpiFlashDrvSetLimit(0);
    fault::corrupt_reads(UINT64_MAX, 0);
    EXPECT_EQ(quor::afs::spi_read_view(100, 66), nullptr);
    fault::fail_reads(5, 1);
    EXPECT_EQ(quor::afs::spi_read_view(100, 66), nullptr);
    fault::disarm();
    EXPECT_EQ(quor::afs::spi_read_view(100, 66), flash_.data() + 100);
    fault::record_calls(true);  // every read is to be recorded
    EXPECT_EQ(quor::afs::spi_read_view(100, 66), nullptr);
    fault::record_calls(false);
    EXPECT_EQ(quor::afs::spi_read_view(100, 66), flash_.data() + 100);
    // A recording that lends views keeps only the reads made through the
    // driver; an armed read fault still takes the view away.
    fault::record_calls(true, true);
    EXPECT_EQ(quor::afs::spi_read_view(100, 66), flash_.data() + 100);
    uint8_t out[4] = {};
    EXPECT_EQ(SpiDrvRead(8, 4, out), 0u);
    ASSERT_EQ(fault::recorded_calls().size(), 1u);
    EXPECT_EQ(fault::recorded_calls()[0].kind, fault::CallKind::kRead);
    fault::corrupt_reads(UINT64_MAX, 0);
    EXPECT_EQ(quor::afs::spi_read_view(100, 66), nullptr);
    fault::disarm();
    fault::record_calls(false);
    SpiFlashDrvInitialize(nullptr);
    EXPECT_EQ(quor::afs::spi_read_view(100, 66), nullptr);
}

TEST(FrameworkCopy, CopiesAtAnOffsetFromTheBase) {
    uint8_t base[32] = {};
    const uint8_t src[4] = {9, 8, 7, 6};
    EXPECT_EQ(mg_copyto(nullptr, base, 10, src, 123, 4), 0u);
    EXPECT_EQ(base[10], 9);
    EXPECT_EQ(base[13], 6);
    EXPECT_EQ(base[14], 0);
    uint8_t out[4] = {};
    EXPECT_EQ(mg_copyfrom(nullptr, base, 11, out, 0, 3), 0u);
    EXPECT_EQ(out[0], 8);
    EXPECT_EQ(out[2], 6);
    EXPECT_EQ(out[3], 0);
}

}  // namespace
