// DFS front end over real AFS and EFS regions: routing by file-number bits,
// status folding, calls without a mounted file system, the context lifecycle
// (repeated init, failed allocations) and the page-size limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "afs/AfsContext.h"
#include "dfs_test_regions.h"
#include "efs/EFS.h"
#include "interface/dfs.h"

namespace {

using dfs_test::afs_region;

const std::string kAfsText = "afs file five";
const std::string kEfsText = "efs file five, longer";

// Reads up to `capacity` bytes; returns the status and stores the bytes read.
uint32_t read_file(uint32_t fileNumber, std::string &out, uint32_t capacity = 64) {
    std::vector<char> buffer(capacity, '\0');
    uint32_t length = capacity;
    const uint32_t status = dfs_read(fileNumber, 0, &length, buffer.data());
    out.assign(buffer.data(), length <= capacity ? length : 0);
    return status;
}

uint32_t write_text(uint32_t fileNumber, const std::string &text, uint32_t flags = 1) {
    return dfs_write(fileNumber, 0, static_cast<uint32_t>(text.size()), text.data(), flags);
}

// AFS mounted through dfs_init on a fresh volume; EFS formatted and mounted.
class DfsMounted : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(dfs_test::format_afs(afs_region()), 0u) << "AFS format";
        ASSERT_EQ(dfs_init(afs_region().data(), dfs_test::kAfsRegionSize), 0u);
        table_ = dfs_test::build_file_table({});
        ASSERT_EQ(dfs_test::select_table_and_format_efs(table_), 0u) << "EFS format";
        ASSERT_TRUE(EFS_is_initialized());
        ASSERT_EQ(write_text(0x00000005, kAfsText), 0u);
        ASSERT_EQ(write_text(0x00001005, kEfsText), 0u);
    }
    void TearDown() override { quor::dfs::fail_allocation_at(0); }

    std::vector<uint8_t> table_;
};

// Bits 11-12 select the file system (bit 12 alone: EFS, none: AFS, bit 11 set:
// refused with 22), bits 13-27 reach it as part of the index, the top nibble is
// a tag that read, write and size strip.
TEST_F(DfsMounted, LookupsRouteBySelectorStripTheTagAndFoldStatuses) {
    struct Row {
        uint32_t number;
        uint32_t status;   // of read and of getsize
        std::string text;  // content read on success
    };
    const Row rows[] = {
        {0x00000005, 0, kAfsText}, {0x00001005, 0, kEfsText}, {0x30000005, 0, kAfsText},
        {0xF0001005, 0, kEfsText}, {0x00000805, 22, ""},      {0x00001805, 22, ""},
        {0x30001805, 22, ""},      {0x00002005, 22, ""},      {0x08000005, 22, ""},
        {0x00003005, 22, ""},                            // EFS refuses an index out of range
        {0x00000009, 2, ""},       {0x00001001, 2, ""},  // absent files
    };
    for (const Row &row : rows) {
        std::string text;
        std::array<uint8_t, 8> buffer;
        buffer.fill(0xAA);
        uint32_t length = 8;
        if ((row.number & 0x800) != 0) {  // selectors DFS refuses itself
            EXPECT_EQ(dfs_read(row.number, 0, &length, buffer.data()), row.status)
                << std::hex << row.number;
            EXPECT_EQ(length, 8u) << "count changed for " << std::hex << row.number;
            EXPECT_EQ(buffer[0], 0xAA) << "buffer written for " << std::hex << row.number;
        } else {
            EXPECT_EQ(read_file(row.number, text), row.status) << std::hex << row.number;
            if (row.status == 0) {
                EXPECT_EQ(text, row.text) << std::hex << row.number;
            }
        }
        uint32_t size = 1234;
        EXPECT_EQ(dfs_getsize(row.number, &size), row.status) << std::hex << row.number;
        EXPECT_EQ(size, row.status == 0 ? row.text.size() : 1234u) << std::hex << row.number;
    }
}

TEST_F(DfsMounted, WritesAndDeletesRouteLikeLookupsButDeleteKeepsTheTag) {
    // Refused selectors, index bits, and every delete that is not plain AFS.
    for (uint32_t number : {0x00000805u, 0x00001805u, 0x30001805u, 0x00002005u}) {
        EXPECT_EQ(write_text(number, "x"), 22u) << std::hex << number;
        EXPECT_EQ(dfs_delete_file(number), 22u) << std::hex << number;
    }
    // AFS gets the tagged number itself for a delete and refuses it; delete
    // never reaches EFS.
    for (uint32_t number : {0x30000005u, 0xF0000005u, 0x00001005u}) {
        EXPECT_EQ(dfs_delete_file(number), 22u) << std::hex << number;
    }
    std::string text;
    EXPECT_EQ(read_file(0x00001005, text), 0u);
    EXPECT_EQ(text, kEfsText) << "a refused delete reached EFS";
    EXPECT_EQ(read_file(0x00000005, text), 0u);
    EXPECT_EQ(text, kAfsText) << "a refused operation changed the AFS file";
    EXPECT_EQ(write_text(0x70000005, "tagged"), 0u);
    EXPECT_EQ(read_file(0x00000005, text), 0u);
    EXPECT_EQ(text, "tagged");
    uint32_t size = 0;
    EXPECT_EQ(dfs_delete_file(0x00000005), 0u);
    EXPECT_EQ(dfs_getsize(0x00000005, &size), 2u);
    EXPECT_EQ(dfs_delete_file(0x00000005), 2u);
    // Too large for AFS: 27 passes for write. EFS refusals outside the passed
    // set become 5: too long (34), offset beyond the file (34).
    const uint8_t byte = 1;
    EXPECT_EQ(dfs_write(0x00000009, 262144, 1, &byte, 0), 27u);
    std::vector<uint8_t> tooLong(5000, 0x11);
    EXPECT_EQ(dfs_write(0x00001005, 0, 5000, tooLong.data(), 0), 5u);
    uint32_t length = 4;
    uint8_t buffer[4];
    EXPECT_EQ(dfs_read(0x00001005, 1000, &length, buffer), 5u);
}

TEST(DfsFolding, EachOperationKeepsOnlyItsStatusSet) {
    struct Row {
        uint32_t status, lookup, write;
    };
    const Row rows[] = {{0, 0, 0},    {1, 5, 5},     {2, 2, 5},         {5, 5, 5},  {12, 5, 5},
                        {22, 22, 22}, {27, 5, 27},   {28, 5, 28},       {34, 5, 5}, {41, 5, 5},
                        {99, 5, 5},   {562, 5, 562}, {0xFFFFFFFF, 5, 5}};
    for (const Row &row : rows) {
        EXPECT_EQ(quor::dfs::fold_lookup_status(row.status), row.lookup) << "status " << row.status;
        EXPECT_EQ(quor::dfs::fold_write_status(row.status), row.write) << "status " << row.status;
    }
}

TEST_F(DfsMounted, EfsNumbersWhileEfsIsNotMounted) {
    ASSERT_EQ(EFS_erase(), 0u);
    ASSERT_FALSE(EFS_is_initialized());
    std::string text;
    uint32_t size = 0;
    EXPECT_EQ(read_file(0x00001005, text), 2u);
    EXPECT_EQ(dfs_getsize(0x00001005, &size), 5u);
    EXPECT_EQ(write_text(0x00001005, "x"), 5u);
    EXPECT_EQ(read_file(0x00000005, text), 0u) << "AFS affected by the EFS unmount";
}

TEST_F(DfsMounted, PageSizeLimits) {
    EXPECT_EQ(dfs_set_page_size(64), 0u);
    EXPECT_EQ(dfs_context->cachePageSize, 64u);
    EXPECT_EQ(dfs_set_page_size(4096), 0u);
    EXPECT_EQ(dfs_context->cachePageSize, 4096u);
    for (uint32_t refused : {4160u, 8192u, 100u, 32u, 0u}) {
        EXPECT_EQ(dfs_set_page_size(refused), 22u) << "page size " << refused;
    }
    EXPECT_EQ(dfs_context->cachePageSize, 4096u);
    std::string text;
    EXPECT_EQ(read_file(0x00000005, text), 0u);
    EXPECT_EQ(text, kAfsText);
}

TEST_F(DfsMounted, AfsOnlyOperationsReturnTheAfsResult) {
    EXPECT_EQ(dfs_mark_zombie_file(0x00000005), 99u) << "zombie on a file in use";
    EXPECT_EQ(dfs_mark_zombie_file(0x0000000A), 0u);
    uint32_t size = 0;
    EXPECT_EQ(dfs_getsize(0x0000000A, &size), 2u) << "a zombie reads as absent";

    EXPECT_EQ(dfs_get_idle_reclaim_enabled(), 0u);
    dfs_set_idle_reclaim_enabled();
    EXPECT_EQ(dfs_get_idle_reclaim_enabled(), 1u);
    EXPECT_EQ(dfs_idle_reclaim(), 0u);
    EXPECT_LE(dfs_idle_reclaim_needed(), 1u);
    // A forced full reclaim does one unit per call and asks to be called again
    // with 11, which reaches the caller unchanged.
    uint32_t status = 11;
    int calls = 0;
    for (; calls < 16 && status == 11; ++calls) {
        status = dfs_force_full_reclaim();
    }
    EXPECT_EQ(status, 0u);
    EXPECT_GT(calls, 1) << "11 never reached the caller";
    EXPECT_EQ(dfs_force_dirty_erase(), 0u);
    EXPECT_EQ(dfs_is_fs_erased(), 0u);

    std::string text;
    EXPECT_EQ(read_file(0x00000005, text), 0u) << "data lost by the reclaims";
    EXPECT_EQ(text, kAfsText);
}

TEST_F(DfsMounted, TerminateAndRepeatedInitKeepTheData) {
    AfsContext *const context = dfs_context;
    EXPECT_EQ(dfs_terminate(), 0u);
    EXPECT_EQ(dfs_context, context) << "terminate released the context";
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(dfs_init(afs_region().data(), dfs_test::kAfsRegionSize), 0u) << "round " << round;
        ASSERT_NE(dfs_context, nullptr);
        ASSERT_NE(dfs_context->workBuffer, nullptr);
        std::string text;
        EXPECT_EQ(read_file(0x00000005, text), 0u) << "round " << round;
        EXPECT_EQ(text, kAfsText) << "round " << round;
    }
}

TEST_F(DfsMounted, FailedAllocationLeavesNoContext) {
    for (uint32_t failing : {1u, 2u}) {  // the record, then the work buffer
        quor::dfs::fail_allocation_at(failing);
        EXPECT_EQ(dfs_init(afs_region().data(), dfs_test::kAfsRegionSize), 0xFFFFFFFFu)
            << "allocation " << failing;
        EXPECT_EQ(dfs_context, nullptr) << "allocation " << failing;
        std::string text;
        uint32_t size = 0;
        EXPECT_EQ(read_file(0x00000005, text), 22u);
        EXPECT_EQ(dfs_getsize(0x00000005, &size), 2u);
        EXPECT_EQ(dfs_set_page_size(64), 22u);
        ASSERT_EQ(dfs_init(afs_region().data(), dfs_test::kAfsRegionSize), 0u);
        EXPECT_EQ(read_file(0x00000005, text), 0u);
        EXPECT_EQ(text, kAfsText);
    }
}

// The answers of every operation while no mounted AFS context is in use.
void expect_answers_without_a_mounted_context() {
    std::string text;
    uint32_t size = 0;
    EXPECT_EQ(dfs_getsize(0x00000005, &size), 2u);
    EXPECT_EQ(dfs_getsize(0x00001005, &size), 2u) << "EFS number, mounted or not";
    EXPECT_EQ(dfs_delete_file(0x00000005), 2u);
    EXPECT_EQ(read_file(0x00000005, text), 22u);
    EXPECT_EQ(write_text(0x00000005, "x"), 22u);
    EXPECT_EQ(dfs_mark_zombie_file(5), 22u);
    EXPECT_EQ(dfs_set_page_size(64), 22u);
    EXPECT_EQ(dfs_idle_reclaim(), 22u);
    EXPECT_EQ(dfs_force_full_reclaim(), 22u);
    EXPECT_EQ(dfs_force_dirty_erase(), 22u);
    EXPECT_EQ(dfs_idle_reclaim_needed(), 0u);
    EXPECT_EQ(dfs_get_idle_reclaim_enabled(), 0u);
    dfs_set_idle_reclaim_enabled();
    EXPECT_EQ(dfs_get_idle_reclaim_enabled(), 0u);
    EXPECT_EQ(dfs_terminate(), 0u);
}

TEST(DfsUnmounted, ContextOfAFailedMountIsNeverUsed) {
    std::vector<uint8_t> &region = afs_region();
    std::fill(region.begin(), region.end(), 0xFF);
    const uint32_t status = dfs_init(region.data(), dfs_test::kAfsRegionSize);
    EXPECT_NE(status, 0u);
    EXPECT_NE(status, 0xFFFFFFFFu);
    ASSERT_NE(dfs_context, nullptr);
    expect_answers_without_a_mounted_context();
    EXPECT_EQ(std::count(region.begin(), region.end(), 0xFF), static_cast<long>(region.size()))
        << "a region without a volume was written";
    // Mounting again over a formatted region releases the unmounted context.
    ASSERT_EQ(dfs_test::format_afs(region), 0u);
    EXPECT_EQ(dfs_init(region.data(), dfs_test::kAfsRegionSize), 0u);
    uint32_t size = 0;
    EXPECT_EQ(dfs_getsize(0x00000005, &size), 2u);
    EXPECT_EQ(write_text(0x00000005, "x"), 0u);
}

TEST(DfsUnmounted, CallsBeforeInitAnswerWithoutAContext) {
    // Each test runs in its own process; when the whole program runs in one, an
    // earlier test's context is set aside and restored around the checks.
    std::vector<uint8_t> table = dfs_test::build_file_table({});
    ASSERT_EQ(dfs_test::select_table_and_format_efs(table), 0u);
    ASSERT_TRUE(EFS_is_initialized()) << "EFS numbers are asked about with EFS mounted";
    AfsContext *const earlier = dfs_context;
    dfs_context = nullptr;
    expect_answers_without_a_mounted_context();
    EXPECT_EQ(dfs_context, nullptr);
    dfs_context = earlier;
}

TEST_F(DfsMounted, PointerStoredFromOutsideIsNotUsed) {
    AfsContext *const mounted = dfs_context;
    AfsContext foreign = *mounted;  // a copy that DFS did not allocate
    dfs_context = &foreign;
    expect_answers_without_a_mounted_context();
    dfs_context = mounted;
    std::string text;
    EXPECT_EQ(read_file(0x00000005, text), 0u);
}

}  // namespace
