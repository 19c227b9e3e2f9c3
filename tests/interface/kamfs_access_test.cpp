// NVAR access on an open storage and the in-memory FCS tables behind it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "interface/kamfs.h"
#include "interface/miniVfs.h"
#include "kamfs_fixture.h"

namespace kamfs_test {
namespace {

class KamfsAccess : public KamfsTest {
  protected:
    void SetUp() override {
        KamfsTest::SetUp();
        pieces = build(standardDescription());
        record = imagekit::makeRecord<_commonQuorTable>(pieces);
        ASSERT_TRUE(kaMfsQuorInit(&record, recordReport));
        reports().clear();
    }
    imagekit::ImagePieces pieces;
    _commonQuorTable record{};
};

TEST_F(KamfsAccess, GetRefusesBadArgumentsClearingOutputsWithExactReports) {
    uint8_t *data = nullptr;
    uint32_t size = 0;
    EXPECT_FALSE(kaMfsNvarGet(nullptr, &data, &size, QUOR_TABLE_CURRENT, nullptr, nullptr));
    EXPECT_FALSE(kaMfsNvarGet(kMtu.name, nullptr, &size, QUOR_TABLE_CURRENT, nullptr, nullptr));
    EXPECT_FALSE(kaMfsNvarGet(kMtu.name, &data, nullptr, QUOR_TABLE_CURRENT, nullptr, nullptr));
    data = reinterpret_cast<uint8_t *>(&record);
    size = 7;
    EXPECT_FALSE(kaMfsNvarGet("/home/none", &data, &size, QUOR_TABLE_CURRENT, nullptr, nullptr));
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_FALSE(kaMfsNvarGet(kMtu.name, &data, &size, 0x10000009, nullptr, nullptr));
    // A configuration file without flag bit 0 and without payload: not an NVAR.
    EXPECT_FALSE(kaMfsNvarGet(kPlainEmpty.name, &data, &size, QUOR_TABLE_VENDOR, nullptr, nullptr));
    // With a payload that was never loaded, the missing value is found first.
    EXPECT_FALSE(kaMfsNvarGet(kPlain.name, &data, &size, QUOR_TABLE_VENDOR, nullptr, nullptr));
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(reportsAre({{398, "Null NVAR path"},
                            {398, "Null data"},
                            {398, "Null data size"},
                            {38, "/home/none"},
                            {334, "table 0x10000009"},
                            {38, kMtu.name},
                            {346, kPlainEmpty.name},
                            {320, kPlain.name}}));
}

TEST_F(KamfsAccess, NamesAreFoundWithAndWithoutHomePrefix) {
    const FcsFileEntry *full = kaMfsFindFileEntryInTable(QUOR_TABLE_CURRENT, "/home/net/mtu");
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(kaMfsFindFileEntryInTable(QUOR_TABLE_CURRENT, "net/mtu"), full);
    EXPECT_EQ(kaMfsFindFileEntryInTable(QUOR_TABLE_CURRENT, "/homenet/mtu"), nullptr);
    EXPECT_EQ(kaMfsFindFileEntryInTable(QUOR_TABLE_CURRENT, nullptr), nullptr);
    EXPECT_TRUE(reportsAre({{398, "Invalid NVAR path"}}));
}

TEST_F(KamfsAccess, ResizeKeepsPrefixHandsOutTheBufferAndRefusesNonNvars) {
    uint8_t *data = nullptr;
    uint8_t *before = nullptr;
    uint32_t size = 0;
    ASSERT_TRUE(kaMfsNvarGet(kHost.name, &before, &size, QUOR_TABLE_CURRENT, nullptr, nullptr));
    ASSERT_TRUE(kaMfsNvarResize(kHost.name, &data, size));  // same size: same buffer
    EXPECT_EQ(data, before);
    ASSERT_TRUE(kaMfsNvarResize(kHost.name, &data, 7));  // shrink
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data), 7), "gateway");
    ASSERT_TRUE(kaMfsNvarResize(kHost.name, &data, 40));  // grow
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data), 7), "gateway");
    ASSERT_TRUE(kaMfsNvarResize(kHost.name, &data, 0));
    EXPECT_EQ(data, nullptr);
    ASSERT_TRUE(kaMfsNvarGet(kHost.name, &data, &size, QUOR_TABLE_CURRENT, nullptr, nullptr));
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 0u);
    ASSERT_TRUE(kaMfsNvarResize(kHost.name, &data, 8));
    ASSERT_NE(data, nullptr);
    std::memset(data, 'x', 8);
    ASSERT_TRUE(kaMfsNvarGet(kHost.name, &data, &size, QUOR_TABLE_CURRENT, nullptr, nullptr));
    EXPECT_EQ(size, 8u);
    EXPECT_TRUE(reportsAre({}));
    EXPECT_FALSE(kaMfsNvarResize(nullptr, &data, 1));
    EXPECT_FALSE(kaMfsNvarResize(kMtu.name, nullptr, 1));
    EXPECT_FALSE(kaMfsNvarResize(kPlain.name, &data, 1));  // vendor table only
    EXPECT_FALSE(kaMfsNvarResize(kToolOnly.name, &data, 1));
    EXPECT_TRUE(reportsAre({{398, "Null NVAR path"},
                            {398, "Null New NVAR data"},
                            {38, kPlain.name},
                            {38, kToolOnly.name}}));
}

TEST_F(KamfsAccess, SmallQueries) {
    EXPECT_EQ(kaMfsGetFcsFileNameMapping(0), 0x10000006u);
    EXPECT_EQ(kaMfsGetFcsFileNameMapping(1), 0x10000007u);
    EXPECT_EQ(kaMfsGetFcsFileNameMapping(2), 0x10000008u);
    EXPECT_TRUE(reportsAre({}));
    EXPECT_EQ(kaMfsGetFcsFileNameMapping(3), 0x10000008u);
    EXPECT_TRUE(kamfsCheckNvarExists(kPlain.name, QUOR_TABLE_VENDOR));
    EXPECT_FALSE(kamfsCheckNvarExists("/home/none", QUOR_TABLE_VENDOR));
    EXPECT_FALSE(kamfsCheckNvarExists(nullptr, QUOR_TABLE_VENDOR));
    uint8_t *buffer = nullptr;
    uint32_t size = 0;
    EXPECT_FALSE(kaMfsGetBuildTavCfgFcsBuffer(nullptr, &size));
    EXPECT_FALSE(kaMfsGetBuildTavCfgFcsBuffer(&buffer, nullptr));
    EXPECT_TRUE(reportsAre(
        {{0, "Invalid fcsFileNameMap value"}, {398, "Null NVAR path"}, {398, "TAV CFG buffer"}}));
    // Before a commit: the bytes loaded from the partition.
    ASSERT_TRUE(kaMfsGetBuildTavCfgFcsBuffer(&buffer, &size));
    ASSERT_EQ(size + 16u, pieces.toolPartition.size());
    EXPECT_EQ(std::memcmp(buffer, pieces.toolPartition.data() + 16, size), 0);
    EXPECT_EQ(kaMfsGetEfsSize(), static_cast<uint32_t>(pieces.efs.size()));
}

TEST_F(KamfsAccess, TablesAddAndRefuseEntries) {
    // Duplicate name: 326, table unchanged.
    FcsFileEntry *copy = copyFileEntry(s_currentValuesTable.head);
    ASSERT_NE(copy, nullptr);
    const std::string duplicate = copy->name;
    const std::string linked = s_ostraCfgTable.head->name;
    const uint32_t count = s_currentValuesTable.count;
    EXPECT_FALSE(kaMfsAddNewFileFcs(&s_currentValuesTable, copy, false));
    EXPECT_EQ(s_currentValuesTable.count, count);
    // Linked elsewhere: 327.
    EXPECT_FALSE(kaMfsAddNewFileFcs(&s_currentValuesTable, s_ostraCfgTable.head, false));
    // No store: assertion.
    FcsTable empty{};
    EXPECT_FALSE(kaMfsAddNewFileFcs(&empty, copy, false));
    // A value longer than the file's maximum is refused by the store when the
    // size is checked, and the entry stays the caller's.
    FcsTable table{};
    kaMfsResetFcsTable(&table, QUOR_TABLE_TOOL);
    ASSERT_EQ(createHandle(&table.handle), 0u);
    const uint32_t maxSize = fcsEntryMaxSize(copy);
    uint8_t *grown = static_cast<uint8_t *>(std::realloc(copy->value, maxSize + 1));
    ASSERT_NE(grown, nullptr);
    copy->value = grown;
    copy->valueSize = maxSize + 1;
    EXPECT_FALSE(kaMfsAddNewFileFcs(&table, copy, true));
    EXPECT_EQ(copy->inTable, 0);
    EXPECT_EQ(table.head, nullptr);
    EXPECT_TRUE(kaMfsAddNewFileFcs(&table, copy, false));  // unchecked: taken
    EXPECT_EQ(table.head, copy);
    EXPECT_EQ(copy->inTable, 1);
    EXPECT_TRUE(reportsAre(
        {{326, duplicate}, {327, linked}, {0, "Invalid FCS handle or fileEntry pointer"}}));
    kaMfsFreeFcsTable(&table);
}

TEST_F(KamfsAccess, EmptyStoreLoadsAndTableWithoutStoreDoesNotSerialize) {
    const imagekit::Bytes none = imagekit::encodeFcsBuffer({});
    FcsTable table{};
    table.buffer = static_cast<uint8_t *>(std::malloc(none.size()));
    std::memcpy(table.buffer, none.data(), none.size());
    table.size = static_cast<uint32_t>(none.size());
    ASSERT_TRUE(kaMfsLoadFcsTableFiles(&table, true));
    EXPECT_NE(table.handle, nullptr);
    EXPECT_EQ(table.head, nullptr);
    EXPECT_EQ(table.count, 0u);
    kaMfsFreeFcsTable(&table);
    EXPECT_FALSE(kaMfsSerializeFcsTable(&table));
    EXPECT_TRUE(reportsAre({{333, libStatus(6)}}));
}

TEST_F(KamfsAccess, FileNumberIndexAnswersAsTheMiniVfs) {
    const KamfsFileNumbers numbers;
    std::vector<std::string> names = {"/home/none", "", "/home/net/mt", "/home/net/mtu/"};
    const auto *table = reinterpret_cast<const char *>(g_table_buf);
    for (int32_t i = 0; i < g_table_num_files; ++i) {
        names.emplace_back(table + 68 * i, strnlen(table + 68 * i, 48));
    }
    ASSERT_GE(names.size(), 15u);
    for (const std::string &name : names) {
        uint32_t expected = 0xDEAD;
        uint32_t got = 0xDEAD;
        const uint32_t expectedStatus = pathToFileNumber(name.c_str(), &expected);
        EXPECT_EQ(numbers.find(name.c_str(), &got), expectedStatus) << name;
        EXPECT_EQ(got, expected) << name;
    }
    uint32_t number = 0;
    ASSERT_EQ(numbers.find(kEfsA.name, &number), 0u);
    EXPECT_EQ(number, 0x20001001u);  // tag 2, EFS selector, index 1
}

TEST(KamfsClosed, QueriesBeforeOpeningReportNothing) {
    reports().clear();
    s_quorStatusCallback = recordReport;
    EXPECT_FALSE(kamfsCheckNvarExists("/home/net/mtu", QUOR_TABLE_CURRENT));
    EXPECT_FALSE(kaMfsIsInitialized());
    EXPECT_FALSE(kaFcsIsInitialized());
    EXPECT_FALSE(kaMfsIsVfsDeployed());
    EXPECT_TRUE(reportsAre({}));
    EXPECT_FALSE(kaMfsNvarTerm(true));
    EXPECT_TRUE(reportsAre({{324, ""}}));
}

}  // namespace
}  // namespace kamfs_test
