#include <gtest/gtest.h>

#include "common/flash_fault.h"
#include "efs_fixture.h"

using namespace efs_test;
namespace ff = quor::flash_fault;

TEST(EfsChecksums, MatchKnownVectors) {
    const uint8_t abc[3] = {'a', 'b', 'c'};
    EXPECT_EQ(EFS_crc32(0, abc, 3), 0xCA6598D0u);
    EXPECT_EQ(EFS_crc16(0, abc, 3), 0x9DD6u);
    const uint8_t ff2[2] = {0xFF, 0xFF};
    EXPECT_EQ(EFS_crc16(0, ff2, 2), 0x1D0Fu);  // empty first record of block 0
    EXPECT_EQ(EFS_crc16(1, ff2, 2), 0x0D2Eu);  // and of block 1
    EXPECT_EQ(EFS_crc32(0x1234u, abc, 0), 0x1234u);
}

TEST(EfsLayout, LoadsEntriesOfTheRequestedSkuAndSkipsIndicesOutsideTheTable) {
    Layout l = default_layout();
    l.v = 6;
    l.files = 12;
    ASSERT_EQ(load_layout(l), 0u);
    EXPECT_EQ(g_efs_autogen_data_loaded, 1);
    EXPECT_EQ(g_efs_sku_id, 0x34);
    EXPECT_EQ(g_efs_valid_block_num, 6u);
    EXPECT_EQ(g_efs_files_num, 12u);
    EXPECT_EQ(g_efs_layout_id, 5);
    const uint8_t *e = EFS_files + 3 * 8;
    EXPECT_EQ(e[0], 2);
    EXPECT_EQ(quor::load_le16(e + 1), 4000);
    EXPECT_EQ(quor::load_le16(e + 3), 8000);
    EXPECT_EQ(e[5], 1);
    EXPECT_EQ(EFS_files[5 * 8 + 5], 0) << "index 5 has no record";
    EXPECT_FALSE(quor::efs::file_placement(40).present);
}

TEST(EfsLayout, TablesWithoutAUsableLayoutAreAnsweredWithoutLoading) {
    g_efs_autogen_data_loaded = 0;
    Layout l = default_layout();
    std::vector<uint8_t> t = make_table(l);
    EXPECT_EQ(load_autogen_data(t.data(), 0x9999, static_cast<uint32_t>(t.size())), 0u);
    EXPECT_EQ(g_efs_autogen_data_loaded, 0) << "no entry for the SKU";
    EXPECT_EQ(EFS_init(false), 1u);
    std::vector<uint8_t> noEfs = t;
    noEfs[32] = 'X';
    EXPECT_EQ(load_autogen_data(noEfs.data(), l.sku, static_cast<uint32_t>(t.size())), 0u);
    EXPECT_EQ(g_efs_autogen_data_loaded, 0) << "no EFST header";
    std::vector<uint8_t> shortArea = t;
    quor::store_le32(&shortArea[32 + 16 + 12], 60 * 7 + 1);
    EXPECT_EQ(load_autogen_data(shortArea.data(), l.sku, static_cast<uint32_t>(t.size())), 1u);
    t[0] = 0;
    EXPECT_EQ(load_autogen_data(t.data(), l.sku, static_cast<uint32_t>(t.size())), 1u);
    EXPECT_EQ(load_autogen_data(t.data() + 1, l.sku, 8), 1u);
}

TEST(EfsLayout, RandomlyCorruptedTablesNeverReadOutsideTheBuffer) {
    const std::vector<uint8_t> good = make_table(default_layout());
    uint32_t state = 12345;
    for (int iter = 0; iter < 3000; ++iter) {
        std::vector<uint8_t> t = good;
        for (int k = 0; k < 3; ++k) {
            state = state * 1664525u + 1013904223u;
            t[(state >> 8) % t.size()] = static_cast<uint8_t>(state >> 24);
        }
        const uint32_t size = static_cast<uint32_t>(t.size()) - (iter % 7 == 0 ? iter % 50 : 0);
        std::vector<uint8_t> exact(t.begin(), t.begin() + size);  // ASan sees any over-read
        const uint32_t st = load_autogen_data(exact.data(), 0x1234, size);
        ASSERT_TRUE(st == 0 || st == 1 || st == 12) << "iteration " << iter << " status " << st;
    }
}

TEST(EfsPhysical, BoundsAndAlignmentAreChecked) {
    ASSERT_EQ(load_layout(default_layout()), 0u);
    EXPECT_EQ(EFS_get_efs_size(), 49152u);
    ASSERT_EQ(EFS_physical_init(true), 0u);
    uint8_t buf[8] = {};
    EXPECT_EQ(EFS_physical_read(0, 0, buf), 22u);
    EXPECT_EQ(EFS_physical_read(49152 - 8, 8, buf), 0u);
    EXPECT_EQ(EFS_physical_read(49152 - 7, 8, buf), 22u);
    EXPECT_EQ(EFS_physical_write(49152, 1, buf), 22u);
    EXPECT_EQ(EFS_physical_erase(4096, 4096), 0u);
    EXPECT_EQ(EFS_physical_erase(4095, 4096), 22u);
    EXPECT_EQ(EFS_physical_erase(4096, 100), 22u);
    EXPECT_EQ(EFS_physical_erase(45056, 8192), 22u);
}

TEST(EfsPhysical, ProgramsAndErasesObeyTheFaultSeam) {
    ff::Guard guard;
    ASSERT_EQ(load_layout(default_layout()), 0u);
    ASSERT_EQ(EFS_physical_init(true), 0u);
    const std::vector<uint8_t> data = pattern(16, 1);
    ff::fail_at(1);
    EXPECT_EQ(EFS_physical_write(100, 16, data.data()), 5u);
    EXPECT_EQ(efs_image[100], 0xFF) << "a refused write changes nothing";
    ff::cut_at(1);
    EXPECT_EQ(EFS_physical_write(100, 16, data.data()), 0u);
    EXPECT_EQ(efs_image[107], data[7]);
    EXPECT_EQ(efs_image[108], 0xFF) << "only the first half reaches the flash";
    EXPECT_EQ(EFS_physical_erase(0, 4096), 0u);
    EXPECT_EQ(efs_image[100], data[0]) << "erase after the cut is dropped";
}
