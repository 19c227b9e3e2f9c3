// Mini VFS: file numbers built from file table entries, reads by name, and
// mounting through mini_vfs_init.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "dfs_test_regions.h"
#include "interface/dfs.h"
#include "interface/miniVfs.h"

namespace {

using dfs_test::TableRow;

const std::vector<TableRow> kRows = {
    {"/vfs/storage0", 0x00000000, 3, 0},      {"/vfs/storage1", 0x20000000, 0x0805, 1},
    {"/vfs/storage2", 0x5A123456, 5, 2},      {"/vfs/storage3", 0x00000000, 1, 3},
    {"/vfs/storage4", 0xF0000000, 0x07FF, 4}, {"/vfs/absent", 0x00000000, 9, 1},
};

class MiniVfs : public ::testing::Test {
  protected:
    void SetUp() override {
        table_ = dfs_test::build_file_table(kRows);
        ASSERT_EQ(dfs_test::select_table_and_format_efs(table_), 0u);
    }
    std::vector<uint8_t> table_;
};

TEST_F(MiniVfs, FileNumberCombinesTagIndexAndStorage) {
    const std::pair<const char *, uint32_t> expected[] = {
        {"/vfs/storage0", 0x00000003},  // storage 0 shifts in nothing: AFS
        {"/vfs/storage1", 0x20000005},  // bit 11 of file_index dropped, storage 1 adds nothing
        {"/vfs/storage2", 0x50001005},  // tag from the top byte's high nibble, EFS selector
        {"/vfs/storage3", 0x00001801},  // the refused selector 3
        {"/vfs/storage4", 0xF00027FF},  // storage 4 sets bit 13
    };
    for (const auto &[name, number] : expected) {
        uint32_t fileNumber = 0xDEADBEEF;
        EXPECT_EQ(pathToFileNumber(name, &fileNumber), 0u) << name;
        EXPECT_EQ(fileNumber, number) << name << std::hex << ": got 0x" << fileNumber;
    }
}

TEST_F(MiniVfs, LookupFailures) {
    uint32_t fileNumber = 0x1234;
    EXPECT_EQ(pathToFileNumber("/vfs/storage1", nullptr), 1u);
    EXPECT_EQ(pathToFileNumber("/vfs/missing", &fileNumber), 2u);
    EXPECT_EQ(fileNumber, 0x1234u) << "result written for a missing name";
}

TEST_F(MiniVfs, ReadByNameStatuses) {
    ASSERT_EQ(dfs_test::format_afs(dfs_test::afs_region()), 0u);
    ASSERT_EQ(mini_vfs_init(dfs_test::afs_region().data(), dfs_test::kAfsRegionSize), 0u);
    const std::string afsText = "storage one";
    const std::string efsText = "storage two";
    ASSERT_EQ(dfs_write(0x00000005, 0, static_cast<uint32_t>(afsText.size()), afsText.data(), 1),
              0u);
    ASSERT_EQ(dfs_write(0x00001005, 0, static_cast<uint32_t>(efsText.size()), efsText.data(), 0),
              0u);

    std::array<char, 32> buffer{};
    EXPECT_EQ(readVfs("/vfs/storage1", 0, buffer.data(), 11), 0u);
    EXPECT_EQ(std::string(buffer.data(), 11), afsText);
    EXPECT_EQ(readVfs("/vfs/storage2", 8, buffer.data(), 3), 0u) << "tagged EFS number";
    EXPECT_EQ(std::string(buffer.data(), 3), "two");

    buffer.fill('#');
    EXPECT_EQ(readVfs("/vfs/missing", 0, buffer.data(), 4), 2u);
    EXPECT_EQ(buffer[0], '#') << "buffer written for a missing name";
    EXPECT_EQ(readVfs("/vfs/absent", 0, buffer.data(), 4), 6u) << "DFS status 2 becomes 6";
    EXPECT_EQ(readVfs("/vfs/storage3", 0, buffer.data(), 4), 6u) << "DFS status 22 becomes 6";
    EXPECT_EQ(readVfs("/vfs/storage4", 0, buffer.data(), 4), 6u) << "index out of range";
}

TEST(MiniVfsInit, MountFailureIsOne) {
    std::vector<uint8_t> &region = dfs_test::afs_region();
    std::fill(region.begin(), region.end(), 0xFF);
    EXPECT_EQ(mini_vfs_init(region.data(), dfs_test::kAfsRegionSize), 1u);
    quor::dfs::fail_allocation_at(1);
    ASSERT_EQ(dfs_test::format_afs(region), 0u);
    EXPECT_EQ(mini_vfs_init(region.data(), dfs_test::kAfsRegionSize), 1u) << "allocation failure";
    EXPECT_EQ(mini_vfs_init(region.data(), dfs_test::kAfsRegionSize), 0u);
}

}  // namespace
