#include <gtest/gtest.h>

#include "efs_fixture.h"

using namespace efs_test;
using quor::load_le16;
using quor::load_le32;

TEST_F(EfsRegionTest, FormatWritesTheDefaultRegionByteForByte) {
    const uint8_t *bm0 = bm_block(0);
    const uint8_t header[12] = {0x01, 0x00, 0x34, 0x00, 0x01, 0x00,
                                0x00, 0x00, 0x02, 0x07, 0x03, 0x05};
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(bm0[i], header[i]) << "block-map header byte " << i;
    }
    EXPECT_EQ(load_le32(bm0 + 12), EFS_crc32(0, header, 12));
    const uint8_t bme[18] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 18; ++i) {
        EXPECT_EQ(bm0[16 + i], bme[i]) << "first BME byte " << i;
    }
    EXPECT_EQ(load_le32(bm0 + 34), EFS_crc32(0, bme, 18));
    for (uint32_t i = 38; i < 4096; ++i) {
        ASSERT_EQ(bm0[i], 0xFF) << "block-map block 0 offset " << i;
    }
    for (uint32_t i = 0; i < 4096; ++i) {
        ASSERT_EQ(bm_block(1)[i], 0xFF) << "block-map block 1 offset " << i;
    }
    // Empty first records {FF FF, CRC-16 seeded with the block} where the layout puts files.
    const std::vector<std::pair<uint32_t, uint32_t>> records = {{0, 0},    {0, 200},  {1, 0},
                                                                {1, 4004}, {2, 4000}, {5, 4072}};
    const uint16_t emptyCrc[7] = {0x1D0F, 0x0D2E, 0x3D4D, 0x2D6C, 0x5D8B, 0x4DAA, 0x7DC9};
    for (uint32_t p = 0; p < 10; ++p) {
        const uint8_t *blk = data_block(p);
        EXPECT_EQ(load_le32(blk), 1u) << "erase count of block " << p;
        for (int i = 4; i < 12; ++i) {
            EXPECT_EQ(blk[i], 0) << "block " << p << " header byte " << i;
        }
        EXPECT_EQ(load_le32(blk + 12), EFS_crc32(0, blk, 12)) << "block " << p;
        std::vector<uint8_t> area(4076, 0xFF);
        for (const auto &r : records) {
            if (r.first == p) {
                quor::store_le16(&area[r.second], 0xFFFF);
                quor::store_le16(&area[r.second + 2], emptyCrc[p]);
            }
        }
        for (uint32_t i = 0; i < 4076; ++i) {
            ASSERT_EQ(blk[16 + i], area[i]) << "data block " << p << " area offset " << i;
        }
        const uint32_t footer = load_le32(blk + 4092);
        if (p < 7) {
            EXPECT_EQ(footer, EFS_crc32(0, area.data(), 4076)) << "footer of block " << p;
        } else {
            EXPECT_EQ(footer, 0xFFFFFFFFu) << "spare " << p << " footer stays erased";
        }
    }
    EXPECT_EQ(EFS_scan_for_Data_Blocks_status_and_EC(), 0u);
    EXPECT_EQ(+efs_ctx.free_spares, 3u);
}

TEST_F(EfsRegionTest, MountTakesTheGreatestSequenceAndTheLowerIndexOnTies) {
    std::memcpy(bm_block(1), bm_block(0), 4096);
    quor::store_le32(bm_block(1) + 16 + 10, 0xB1);  // tag A tells the blocks apart
    quor::store_le32(bm_block(1) + 16 + 18, EFS_crc32(0, bm_block(1) + 16, 18));
    for (const auto &c :
         {std::make_tuple(5u, 6u, 1u), std::make_tuple(6u, 5u, 0u), std::make_tuple(6u, 6u, 0u)}) {
        set_bm_sequence(bm_block(0), std::get<0>(c));
        set_bm_sequence(bm_block(1), std::get<1>(c));
        ASSERT_EQ(EFS_init(false), 0u);
        EXPECT_EQ(+efs_ctx.current_bm, std::get<2>(c))
            << "sequences " << std::get<0>(c) << " and " << std::get<1>(c);
        EXPECT_EQ(+efs_ctx.bme_tag_a, std::get<2>(c) == 1 ? 0xB1u : 0u);
    }
}

TEST_F(EfsRegionTest, DamagedNewestBmeFallsBackAndTheNextCommitSwitchesBlockMap) {
    write_ok(0, pattern(50, 1));
    write_ok(0, pattern(60, 2));
    bm_block(0)[16 + 2 * 22 + 3] ^= 0x40;
    ASSERT_EQ(EFS_init(false), 0u);
    EXPECT_EQ(+efs_ctx.bme_offset, 16u + 22u);
    EXPECT_EQ(+efs_ctx.bm_switch_pending, 1);
    expect_content(0, pattern(50, 1));
    write_ok(1, pattern(70, 3));
    EXPECT_EQ(+efs_ctx.current_bm, 1u);
    EXPECT_EQ(+efs_ctx.bm_sequence, 2u);
    ASSERT_EQ(remount_copy(), 0u);
    expect_content(0, pattern(50, 1));
    expect_content(1, pattern(70, 3));
}

TEST_F(EfsRegionTest, CommitInFrontOfDamagedSlotsSwitchesBlockMapSoTheMountFindsIt) {
    // Damaged, non-erased bytes in the two slots after the next append place:
    // a BME appended there would sit in front of them, where the mount (newest
    // = slot before the first erased one) cannot find it.
    const uint32_t s = 7 + 3 + 12;
    std::memset(bm_block(0) + 16 + 2 * s, 0x29, 2 * s);
    write_ok(0, pattern(50, 1));
    EXPECT_EQ(+efs_ctx.current_bm, 1u) << "the commit starts a fresh block map";
    write_ok(1, pattern(70, 2));
    ASSERT_EQ(remount_copy(), 0u);
    expect_content(0, pattern(50, 1));
    expect_content(1, pattern(70, 2));
}

TEST_F(EfsRegionTest, MountRefusesRegionsItCannotTrust) {
    Layout other = default_layout();
    other.layoutId = 6;
    ASSERT_EQ(load_layout(other), 0u);
    EXPECT_EQ(EFS_init(false), 41u) << "layout id differs";
    ASSERT_EQ(load_layout(default_layout()), 0u);
    ASSERT_EQ(EFS_init(false), 0u);
    bm_block(0)[16] = 1;  // valid map names block 1 twice
    quor::store_le32(bm_block(0) + 34, EFS_crc32(0, bm_block(0) + 16, 18));
    EXPECT_EQ(EFS_init(false), 41u) << "maps are not a permutation";
    EXPECT_EQ(EFS_is_initialized(), 0);
    uint32_t size = 0;
    EXPECT_EQ(EFS_get_file_size(0, &size), 1u);
    std::memset(efs_image, 0xFF, efs_size);
    EXPECT_EQ(EFS_init(false), 41u) << "erased region";
    EXPECT_EQ(EFS_init(true), 0u);
    EXPECT_EQ(EFS_write_RTFD_marker(), 0u);
    EXPECT_EQ(std::memcmp(efs_image, "RDFS", 4), 0);
    EXPECT_EQ(EFS_init(false), 41u) << "the marker breaks the only block-map header";
}

TEST_F(EfsRegionTest, ScanRepairsOneDamagedSpareWithTheMeanEraseCount) {
    const uint32_t counts[10] = {2, 4, 6, 9, 2, 4, 6, 9, 3, 0};
    for (uint32_t p = 0; p < 9; ++p) {
        quor::store_le32(data_block(p), counts[p]);
        quor::store_le32(data_block(p) + 12, EFS_crc32(0, data_block(p), 12));
    }
    data_block(9)[12] ^= 0xFF;
    ASSERT_EQ(EFS_init(false), 0u);
    ASSERT_EQ(EFS_scan_for_Data_Blocks_status_and_EC(), 0u);
    EXPECT_EQ(+efs_ctx.erase_counts[9], 45u / 9u);
    EXPECT_EQ(load_le32(data_block(9)), 5u);
    EXPECT_EQ(+efs_ctx.free_spares, 3u);
    data_block(8)[12] ^= 0xFF;
    data_block(9)[12] ^= 0xFF;
    ASSERT_EQ(EFS_init(false), 0u);
    EXPECT_EQ(EFS_scan_for_Data_Blocks_status_and_EC(), 41u) << "two damaged spares";
}
