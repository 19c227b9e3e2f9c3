#include <gtest/gtest.h>

#include <algorithm>

#include "common/flash_fault.h"
#include "efs_fixture.h"

using namespace efs_test;
namespace ff = quor::flash_fault;

TEST_F(EfsRegionTest, FilesRoundTripAndNeighboursInTheirBlockAreCarriedOver) {
    write_ok(0, pattern(100, 1));
    write_ok(1, pattern(300, 2));
    write_ok(2, pattern(4000, 3));
    write_ok(6, pattern(68, 4));
    write_ok(0, pattern(7, 5));
    ASSERT_EQ(remount_copy(), 0u);
    expect_content(0, pattern(7, 5));
    expect_content(1, pattern(300, 2));
    expect_content(2, pattern(4000, 3));
    expect_content(6, pattern(68, 4));
    uint32_t size = 0;
    EXPECT_EQ(EFS_get_file_size(1, &size), 0u);
    EXPECT_EQ(size, 300u);
    EXPECT_EQ(EFS_get_file_size(3, &size), 2u) << "never written";
}

TEST_F(EfsRegionTest, FilesRunIntoContinuationBlocksAndReadsStartInsideThem) {
    const std::vector<uint8_t> big = pattern(8000, 9);
    write_ok(3, big);  // 72 bytes in block 2, then 4072 in block 3 and 3856 in block 4
    const std::vector<uint8_t> tail = pattern(1000, 10);
    write_ok(4, tail);  // first record at offset 4072: every byte lives in block 6
    ASSERT_EQ(remount_copy(), 0u);
    expect_content(3, big);
    expect_content(4, tail);
    for (uint32_t offset : {0u, 71u, 72u, 4143u, 4144u, 5000u, 7999u}) {
        std::vector<uint8_t> out(300, 0);
        uint32_t count = 300;
        ASSERT_EQ(EFS_read(3, offset, &count, out.data()), 0u) << "offset " << offset;
        ASSERT_EQ(count, std::min<uint32_t>(300, 8000 - offset));
        ASSERT_TRUE(std::equal(out.begin(), out.begin() + count, big.begin() + offset))
            << "offset " << offset;
    }
    uint8_t byte = 0;
    uint32_t count = 1;
    EXPECT_EQ(EFS_read(3, 8000, &count, &byte), 0u);
    EXPECT_EQ(count, 0u);
    count = 1;
    EXPECT_EQ(EFS_read(3, 8001, &count, &byte), 34u);
    EXPECT_EQ(count, 0u);
    data_block(efs_ctx.valid_map[4])[16 + 100] ^= 1;
    count = 1;
    EXPECT_EQ(EFS_read(3, 7000, &count, &byte), 41u) << "damaged continuation record";
}

// Reads from offset 0 take records straight into the caller's buffer when
// they fit: every count that cuts a record or ends on its edge delivers
// exactly the wanted bytes and never writes past them.
TEST_F(EfsRegionTest, ReadsFromTheStartStopExactlyAtTheCount) {
    const std::vector<uint8_t> big = pattern(8000, 7);
    write_ok(3, big);  // 72 bytes in block 2, then 4072 in block 3 and 3856 in block 4
    for (uint32_t wanted : {1u, 71u, 72u, 73u, 4143u, 4144u, 4145u, 7999u, 8000u, 9000u}) {
        std::vector<uint8_t> out(wanted + 16, 0xA5);
        uint32_t count = wanted;
        ASSERT_EQ(EFS_read(3, 0, &count, out.data()), 0u) << "count " << wanted;
        ASSERT_EQ(count, std::min<uint32_t>(wanted, 8000)) << "count " << wanted;
        ASSERT_TRUE(std::equal(out.begin(), out.begin() + count, big.begin())) << wanted;
        ASSERT_TRUE(
            std::all_of(out.begin() + count, out.end(), [](uint8_t b) { return b == 0xA5; }))
            << "bytes written past the count " << wanted;
    }
    data_block(efs_ctx.valid_map[3])[16 + 500] ^= 1;
    std::vector<uint8_t> out(8000);
    uint32_t count = 8000;
    EXPECT_EQ(EFS_read(3, 0, &count, out.data()), 41u) << "damaged continuation, whole read";
    EXPECT_EQ(count, 0u);
}

TEST_F(EfsRegionTest, EmptyWritesDeletesAndRefusedArguments) {
    uint8_t byte = 0;
    write_ok(0, {});
    uint32_t size = 99;
    uint32_t count = 1;
    EXPECT_EQ(EFS_get_file_size(0, &size), 0u);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(EFS_read(0, 0, &count, &byte), 0u);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(EFS_delete(0), 0u);
    EXPECT_EQ(EFS_get_file_size(0, &size), 2u);
    EXPECT_EQ(EFS_delete(0), 2u) << "second delete";
    const std::vector<uint8_t> data = pattern(101, 1);
    const auto before = image();
    EXPECT_EQ(EFS_write(0, 1, 10, data.data()), 22u) << "non-zero offset";
    EXPECT_EQ(EFS_write(0, 0, 101, data.data()), 34u) << "longer than the maximum";
    EXPECT_EQ(EFS_write(5, 0, 1, data.data()), 22u) << "not in the layout";
    EXPECT_EQ(EFS_write(16, 0, 1, data.data()), 22u) << "index past the table";
    EXPECT_TRUE(image() == before) << "refused writes change nothing";
    count = 0xFFFFFFFFu;
    EXPECT_EQ(EFS_read(1, 1, &count, &byte), 22u) << "offset plus count overflows";
    EXPECT_EQ(count, 0u);
}

TEST_F(EfsRegionTest, CommitSwitchesBlockMapAfterTheLastSlot) {
    for (int i = 0; i < 184; ++i) {
        write_ok(0, pattern(20, i));
    }
    EXPECT_EQ(+efs_ctx.current_bm, 0u);
    EXPECT_EQ(+efs_ctx.bme_offset, 4064u);
    write_ok(1, pattern(30, 1));
    EXPECT_EQ(+efs_ctx.current_bm, 1u);
    EXPECT_EQ(+efs_ctx.bme_offset, 16u);
    EXPECT_EQ(quor::load_le32(bm_block(1) + 4), 2u);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(bm_block(0)[i], 0) << "retired header byte " << i;
    }
    ASSERT_EQ(remount_copy(), 0u);
    EXPECT_EQ(+efs_ctx.bm_sequence, 2u);
    expect_content(0, pattern(20, 183));
    expect_content(1, pattern(30, 1));
}

TEST_F(EfsRegionTest, SparesAreConsumedThenTheLeastWornDirtyOneIsErased) {
    write_ok(0, pattern(10, 1));
    write_ok(0, pattern(10, 2));
    EXPECT_EQ(+efs_ctx.free_spares, 1u);
    for (uint32_t p = 0; p < 10; ++p) {
        EXPECT_EQ(+efs_ctx.erase_counts[p], 1u) << "no erase yet, block " << p;
    }
    write_ok(0, pattern(10, 3));
    EXPECT_EQ(+efs_ctx.free_spares, 0u);
    const uint8_t oldest = efs_ctx.spare_map[0];  // first slot to turn dirty
    write_ok(0, pattern(10, 4));
    EXPECT_EQ(+efs_ctx.erase_counts[oldest], 2u);
    EXPECT_EQ(+efs_ctx.valid_map[0], oldest) << "the erased spare was reused at once";
    EXPECT_EQ(quor::load_le32(data_block(oldest)), 2u);
    expect_content(0, pattern(10, 4));
}

TEST_F(EfsRegionTest, WearLevellingMovesTheColdestBlockAtTheThreshold) {
    for (uint32_t gap : {99u, 100u}) {
        format(default_layout());
        write_ok(4, pattern(500, 7));                 // content in logical blocks 5 and 6
        ASSERT_EQ(EFS_erase_data_block(9, gap), 0u);  // free spare 9 now at 1 + gap
        const uint8_t cold = efs_ctx.valid_map[6];    // ties: the last logical block is coldest
        write_ok(0, pattern(10, gap));
        if (gap == 99) {
            EXPECT_EQ(+efs_ctx.valid_map[6], cold) << "a gap of 99 moves nothing";
            continue;
        }
        EXPECT_EQ(+efs_ctx.valid_map[6], 9u) << "logical 6 moved onto the hot spare";
        const uint8_t *slot = std::find(efs_ctx.spare_map, efs_ctx.spare_map + 3, cold);
        ASSERT_NE(slot, efs_ctx.spare_map + 3) << "the cold block became a spare";
        EXPECT_EQ(+efs_ctx.spare_states[slot - efs_ctx.spare_map], quor::efs::kSpareDirty);
        ASSERT_EQ(remount_copy(), 0u);
        expect_content(4, pattern(500, 7));
        expect_content(0, pattern(10, 100));
    }
}

TEST_F(EfsRegionTest, IdleReclaimPreErasesTheNextBlockMapThenErasesDirtySpares) {
    ff::Guard guard;
    const auto before = image();
    ASSERT_EQ(EFS_idle_reclaim(), 0u);
    EXPECT_EQ(ff::operation_count(), 0u) << "nothing to do writes nothing";
    EXPECT_TRUE(image() == before);
    bm_block(1)[100] = 0;  // the next block map is no longer erased
    ASSERT_EQ(EFS_init(false), 0u);
    for (int i = 0; i < 130; ++i) {
        write_ok(0, pattern(10, i));
    }
    ASSERT_GT(7u + efs_ctx.bme_offset + 3u + 12u, 2856u);
    EXPECT_EQ(EFS_idle_reclaim(), 0u);
    EXPECT_EQ(bm_block(1)[100], 0xFF) << "next block map erased";
    EXPECT_EQ(+efs_ctx.next_bm_state, quor::efs::kNextBmErased);
    EXPECT_LT(+efs_ctx.free_spares, 3u);
    while (efs_ctx.free_spares < 3u) {
        const uint32_t freeBefore = efs_ctx.free_spares;
        ASSERT_EQ(EFS_idle_reclaim(), 0u);
        ASSERT_EQ(+efs_ctx.free_spares, freeBefore + 1) << "one dirty spare per call";
    }
    EXPECT_EQ(EFS_erase(), 0u);
    EXPECT_EQ(EFS_is_initialized(), 0);
    EXPECT_EQ(EFS_idle_reclaim(), 1u);
}

TEST_F(EfsRegionTest, ASingleBlockMapIsRewrittenInPlaceAndNeverErasedByIdleReclaim) {
    Layout one = default_layout();
    one.bm = 1;
    format(one);
    for (int i = 0; i < 200; ++i) {
        write_ok(0, pattern(12, i));
        ASSERT_EQ(EFS_idle_reclaim(), 0u) << "after write " << i;
    }
    EXPECT_EQ(+efs_ctx.current_bm, 0u);
    EXPECT_EQ(+efs_ctx.bm_sequence, 2u) << "one switch onto the same block";
    ASSERT_EQ(remount_copy(), 0u);
    expect_content(0, pattern(12, 199));
}

TEST_F(EfsRegionTest, LayoutsTheOnFlashFormatCannotHoldAreRefused) {
    Layout wide = default_layout();
    wide.v = 250;
    wide.n = 10;  // physical block numbers are single bytes
    ASSERT_EQ(load_layout(wide), 0u);
    EXPECT_EQ(EFS_init(true), 22u);
    Layout none = default_layout();
    none.bm = 0;
    ASSERT_EQ(load_layout(none), 0u);
    EXPECT_EQ(EFS_init(true), 41u);
    ASSERT_EQ(load_layout(default_layout()), 0u);
    ASSERT_EQ(EFS_init(true), 0u);
    Layout later = default_layout();
    later.n = 4;
    ASSERT_EQ(load_layout(later), 0u);
    uint32_t size = 0;
    EXPECT_EQ(EFS_get_file_size(0, &size), 1u) << "a layout loaded after the mount makes it stale";
}
