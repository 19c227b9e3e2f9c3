#include "common/flash_fault.h"

#include <gtest/gtest.h>

#include "common/bytes.h"

namespace ff = quor::flash_fault;

TEST(FlashFault, CountsOperationsWhenDisarmed) {
    ff::Guard guard;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(ff::before_operation(16).action, ff::Action::kProceed);
    }
    EXPECT_EQ(ff::operation_count(), 5u);
}

TEST(FlashFault, FailRefusesOnlyTheKthOperation) {
    ff::Guard guard;
    ff::fail_at(3);
    EXPECT_EQ(ff::before_operation(8).action, ff::Action::kProceed);
    EXPECT_EQ(ff::before_operation(8).action, ff::Action::kProceed);
    EXPECT_EQ(ff::before_operation(8).action, ff::Action::kFail);
    EXPECT_EQ(ff::before_operation(8).action, ff::Action::kProceed);
    EXPECT_FALSE(ff::power_is_cut());
}

TEST(FlashFault, CutAppliesPrefixThenDropsEverything) {
    ff::Guard guard;
    ff::cut_at(2);
    EXPECT_EQ(ff::before_operation(100).action, ff::Action::kProceed);
    const ff::Decision cut = ff::before_operation(100);
    EXPECT_EQ(cut.action, ff::Action::kPartial);
    EXPECT_EQ(cut.applied, 50u);
    EXPECT_TRUE(ff::power_is_cut());
    EXPECT_EQ(ff::before_operation(4096).action, ff::Action::kDrop);
    ff::disarm();
    EXPECT_EQ(ff::before_operation(1).action, ff::Action::kProceed);
}

TEST(FlashFault, ReadFaultsHitOnlyTheirWindowAndLeaveOperationsAlone) {
    ff::Guard guard;
    uint8_t b[2] = {0x10, 0x20};
    EXPECT_FALSE(ff::after_read(b, 2));
    EXPECT_EQ(ff::read_count(), 0u) << "reads are not counted while disarmed";
    ff::fail_at(1);
    ff::corrupt_reads(2, 2);
    const uint8_t want[4] = {0x20, 0x21, 0x21, 0x20};  // last byte after reads 1..4
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(ff::after_read(b, 2));
        EXPECT_EQ(b[1], want[i]) << "read " << i + 1;
        b[1] = 0x20;
        EXPECT_EQ(b[0], 0x10);
    }
    EXPECT_EQ(ff::before_operation(1).action, ff::Action::kFail) << "read fault reset fail_at";
    ff::fail_reads(1, 1);
    EXPECT_TRUE(ff::after_read(nullptr, 0));
    EXPECT_FALSE(ff::after_read(b, 2));
    EXPECT_EQ(ff::read_count(), 2u);
    ff::disarm();
    EXPECT_FALSE(ff::after_read(b, 2));
    EXPECT_EQ(ff::read_count(), 0u);
}

TEST(Bytes, LittleEndianRoundTripAndRangeCheck) {
    uint8_t buf[8] = {};
    quor::store_le32(buf + 1, 0x11223344u);
    EXPECT_EQ(buf[1], 0x44);
    EXPECT_EQ(buf[4], 0x11);
    EXPECT_EQ(quor::load_le32(buf + 1), 0x11223344u);
    quor::store_le16(buf + 5, 0xBEEF);
    EXPECT_EQ(quor::load_le16(buf + 5), 0xBEEF);
    EXPECT_TRUE(quor::range_fits(4, 4, 8));
    EXPECT_FALSE(quor::range_fits(5, 4, 8));
    EXPECT_FALSE(quor::range_fits(0xFFFFFFFFull, 2, 8));
}
