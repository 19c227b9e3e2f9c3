// Opening the storage: every failure path with its exact reports, and the
// values an open storage holds (tables, deployed file system).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "common/bytes.h"
#include "efs/EFS.h"
#include "fcs/FCS.h"
#include "interface/dfs.h"
#include "interface/kamfs.h"
#include "kamfs_fixture.h"

namespace kamfs_test {
namespace {

class KamfsInit : public KamfsTest {
  protected:
    void SetUp() override {
        KamfsTest::SetUp();
        description = standardDescription();
    }
    _commonQuorTable open() {
        pieces = build(description);
        return imagekit::makeRecord<_commonQuorTable>(pieces);
    }
    std::string value(const char *name, uint32_t table = QUOR_TABLE_CURRENT) {
        uint8_t *data = nullptr;
        uint32_t size = 0;
        if (!kaMfsNvarGet(name, &data, &size, table, nullptr, nullptr)) {
            return "<absent>";
        }
        return std::string(reinterpret_cast<const char *>(data), size);
    }
    imagekit::ImageDescription description;
    imagekit::ImagePieces pieces;
};

TEST_F(KamfsInit, MissingVendorTableFailsFirstAndMountsNothing) {
    _commonQuorTable record = open();
    record.ostraCfg.size = 0;
    EXPECT_FALSE(kaMfsQuorInit(&record, recordReport));
    EXPECT_TRUE(reportsAre({{341, "Ostra.cfg table is mandatory for loading by QUOR."}}));
    EXPECT_FALSE(kaFcsIsInitialized());
    EXPECT_FALSE(kaMfsIsInitialized());
}

TEST_F(KamfsInit, DescriptorWithSizeButNoDataIsRefusedByName) {
    const struct {
        QuorBuffer _commonQuorTable::*field;
        const char *name;
    } cases[] = {{&_commonQuorTable::ostraCfg, "Ostra.cfg table"},
                 {&_commonQuorTable::tavcCfg, "tavc.cfg"},
                 {&_commonQuorTable::ftbl, "ftbl.bin"},
                 {&_commonQuorTable::mfs, "MFS"},
                 {&_commonQuorTable::efs, "EFS"}};
    const _commonQuorTable good = open();
    for (const auto &c : cases) {
        reports().clear();
        _commonQuorTable record = good;
        (record.*c.field).data = nullptr;
        (record.*c.field).size = 12;
        EXPECT_FALSE(kaMfsQuorInit(&record, recordReport)) << c.name;
        EXPECT_TRUE(reportsAre({{339, std::string("Invalid table ") + c.name +
                                          ". The table is loaded but data is empty."}}))
            << c.name;
        EXPECT_FALSE(kaFcsIsInitialized()) << c.name;
    }
    // The first refusal wins: both MFS and EFS empty names MFS only.
    reports().clear();
    _commonQuorTable record = good;
    record.mfs.data = nullptr;
    record.efs.data = nullptr;
    EXPECT_FALSE(kaMfsQuorInit(&record, recordReport));
    EXPECT_TRUE(reportsAre({{339, "Invalid table MFS. The table is loaded but data is empty."}}));
}

TEST_F(KamfsInit, FileTableIsMandatoryAndMustBeValid) {
    _commonQuorTable record = open();
    record.ftbl.size = 0;  // data stays non-null: passes the descriptor check
    EXPECT_FALSE(kaMfsQuorInit(&record, recordReport));
    EXPECT_TRUE(
        reportsAre({{401, "ftbl data must be defined for flat VFS, but not load by QUOR."}}));

    reports().clear();
    record = imagekit::makeRecord<_commonQuorTable>(pieces);
    pieces.fileTable[0] ^= 0xFF;  // bad magic: load_file_table refuses with 1
    EXPECT_FALSE(kaMfsQuorInit(&record, recordReport));
    EXPECT_TRUE(reportsAre({{401, libStatusAbout(1, "SKU 81")}}));
    EXPECT_FALSE(kaFcsIsInitialized());
}

TEST_F(KamfsInit, MalformedConfigurationTablesAreRefused) {
    _commonQuorTable record = open();
    const uint8_t tooShort[3] = {1, 0, 0};
    record.ostraCfg = {const_cast<uint8_t *>(tooShort), sizeof(tooShort)};
    EXPECT_FALSE(kaMfsQuorInit(&record, recordReport));
    EXPECT_TRUE(reportsAre({{328, libStatus(10)}}));

    // A tool partition whose FCS buffer is refused.
    reports().clear();
    record = imagekit::makeRecord<_commonQuorTable>(pieces);
    imagekit::Bytes partition = imagekit::wrapToolPartition({5, 0, 0, 0});
    record.tavcCfg = {partition.data(), static_cast<uint32_t>(partition.size())};
    EXPECT_FALSE(kaMfsQuorInit(&record, recordReport));
    EXPECT_TRUE(reportsAre({{328, libStatus(10)}}));
    EXPECT_FALSE(kaFcsIsInitialized());
}

TEST_F(KamfsInit, ToolPartitionLengthsAreChecked) {
    _commonQuorTable record = open();
    imagekit::Bytes partition(32, 0);
    record.tavcCfg = {partition.data(), 15};
    EXPECT_FALSE(kaMfsQuorInit(&record, recordReport));
    EXPECT_TRUE(reportsAre({{113, "Invalid TAVC partition length"}}));

    reports().clear();
    quor::store_le32(partition.data() + 8, 17);
    record.tavcCfg = {partition.data(), 32};
    EXPECT_FALSE(kaMfsQuorInit(&record, recordReport));
    EXPECT_TRUE(reportsAre({{339, "Invalid TAVC partition size."}}));

    // 16 bytes with a header length of 0: an empty tool table.
    reports().clear();
    quor::store_le32(partition.data() + 8, 0);
    record.tavcCfg = {partition.data(), 16};
    ASSERT_TRUE(kaMfsQuorInit(&record, recordReport));
    EXPECT_TRUE(reportsAre({}));
    EXPECT_EQ(s_tavCfgTable.head, nullptr);
    EXPECT_NE(s_tavCfgTable.handle, nullptr);
    EXPECT_EQ(value(kMtu.name, QUOR_TABLE_TOOL), "<absent>");
}

TEST_F(KamfsInit, FailedAfsMountReportsQuietlyButKeepsTables) {
    description.afs.regionSize = 0;
    _commonQuorTable record = open();
    imagekit::Bytes blank(65536, 0xFF);  // no AFS volume in it
    record.mfs = {blank.data(), static_cast<uint32_t>(blank.size())};
    // The status dfs_init gives for this region, learnt on a copy.
    imagekit::Bytes probe = blank;
    const uint32_t status = dfs_init(probe.data(), static_cast<uint32_t>(probe.size()));
    ASSERT_NE(status, 0u);
    reports().clear();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(kaMfsQuorInit(&record, recordReport));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(reportsAre({{1, libStatus(static_cast<int32_t>(status))},
                            {339, "MFS region of 65536 bytes does not mount"}}));
    EXPECT_TRUE(kaFcsIsInitialized());
    EXPECT_FALSE(kaMfsIsInitialized());
}

TEST_F(KamfsInit, FailedEfsMountAfterAfsMountUndoesTheAfsMount) {
    _commonQuorTable record = open();
    imagekit::Bytes blank(pieces.efs.size(), 0xFF);  // never formatted
    record.efs = {blank.data(), static_cast<uint32_t>(blank.size())};
    testing::internal::CaptureStdout();
    EXPECT_FALSE(kaMfsQuorInit(&record, recordReport));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(reportsAre({{340, "EFS region of SKU 81 does not mount (status 41)"}}));
    EXPECT_FALSE(kaMfsIsInitialized());
    EXPECT_TRUE(kaFcsIsInitialized());
    EXPECT_FALSE(kaMfsIsVfsDeployed());
}

TEST_F(KamfsInit, UnreadableNvarFileFailsTheLoadFromTheFileSystem) {
    // A trailer file shorter than its trailer.
    description.skus[0].files[2].fsContent = bytesOf("short");
    _commonQuorTable record = open();
    EXPECT_FALSE(kaMfsQuorInit(&record, recordReport));
    EXPECT_TRUE(reportsAre({{339, "/home/sys/serial"}}));
    EXPECT_FALSE(kaMfsIsInitialized());
    EXPECT_TRUE(kaFcsIsInitialized());

    // An NVAR whose file is missing from the file system.
    reports().clear();
    description = standardDescription();
    description.skus[0].files[1].inFileSystem = false;
    record = open();
    EXPECT_FALSE(kaMfsQuorInit(&record, recordReport));
    EXPECT_TRUE(reportsAre({{339, kHost.name}}));
    EXPECT_FALSE(kaMfsIsInitialized());
}

TEST_F(KamfsInit, FailuresWithoutCallbackAreSilent) {
    _commonQuorTable record = open();
    record.ostraCfg.size = 0;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(kaMfsQuorInit(&record, nullptr));
    record = imagekit::makeRecord<_commonQuorTable>(pieces);
    record.tavcCfg.size = 15;
    EXPECT_FALSE(kaMfsQuorInit(&record, nullptr));
    EXPECT_FALSE(kaMfsNvarTerm(false));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(reportsAre({}));
}

TEST_F(KamfsInit, TablesGiveCurrentValuesWhenNotDeployed) {
    description.deployed = false;
    _commonQuorTable record = open();
    ASSERT_TRUE(kaMfsQuorInit(&record, recordReport));
    EXPECT_TRUE(kaMfsIsInitialized());
    EXPECT_FALSE(kaMfsIsVfsDeployed());
    EXPECT_EQ(value(kMtu.name), "9000");  // the tool's value wins
    EXPECT_EQ(value(kMtu.name, QUOR_TABLE_VENDOR), "1500");
    EXPECT_EQ(value(kMtu.name, QUOR_TABLE_TOOL), "9000");
    EXPECT_EQ(value(kHost.name), "gateway.local");
    EXPECT_EQ(value(kSerial.name), "SN-0000");
    EXPECT_EQ(value(kEfsA.name), "alpha-tool");
    EXPECT_EQ(value(kEfsB.name), "beta");
    EXPECT_TRUE(reportsAre({}));
    // Tool-only files and files that are not NVARs stay out of the current values.
    EXPECT_TRUE(kamfsCheckNvarExists(kToolOnly.name, QUOR_TABLE_TOOL));
    EXPECT_FALSE(kamfsCheckNvarExists(kToolOnly.name, QUOR_TABLE_CURRENT));
    EXPECT_TRUE(kamfsCheckNvarExists(kPlain.name, QUOR_TABLE_VENDOR));
    EXPECT_FALSE(kamfsCheckNvarExists(kPlain.name, QUOR_TABLE_CURRENT));
    EXPECT_EQ(s_currentValuesTable.count, 8u);
    EXPECT_TRUE(reportsAre({}));
}

TEST_F(KamfsInit, DeployedFileSystemGivesCurrentValues) {
    _commonQuorTable record = open();
    ASSERT_TRUE(kaMfsQuorInit(&record, recordReport));
    EXPECT_TRUE(reportsAre({}));
    EXPECT_TRUE(kaMfsIsVfsDeployed());
    EXPECT_EQ(value(kMtu.name), "9000");        // file written with the current value
    EXPECT_EQ(value(kSerial.name), "SN-4711");  // last 40 bytes left out
    EXPECT_EQ(value(kKey.name), "KEY-123");     // last 56 bytes left out
    EXPECT_EQ(value(kSkip.name), "table");      // attribute bit 1: never loaded
    EXPECT_EQ(value(kEfsA.name), "alpha-tool");
    EXPECT_EQ(value(kSerial.name, QUOR_TABLE_VENDOR), "SN-0000");  // tables keep their values

    bool modifiable = true;
    uint32_t maxSize = 0;
    uint8_t *data = nullptr;
    uint32_t size = 0;
    ASSERT_TRUE(
        kaMfsNvarGet(kSerial.name, &data, &size, QUOR_TABLE_CURRENT, &modifiable, &maxSize));
    EXPECT_FALSE(modifiable);
    EXPECT_EQ(maxSize, 32u);
    ASSERT_TRUE(kaMfsNvarGet(kMtu.name, &data, &size, QUOR_TABLE_CURRENT, &modifiable, &maxSize));
    EXPECT_TRUE(modifiable);
    EXPECT_EQ(maxSize, 16u);
}

TEST_F(KamfsInit, TrailerOnlyFileGivesEmptyValueAndZeroNumberIsSkipped) {
    description.skus[0].files[2].fsContent = imagekit::Bytes(40, 0xEE);
    // An AFS file whose DFS number is 0 (tag 0, index 0) is never read.
    description.skus[0].files[1].fileno = 0x00000104;
    description.skus[0].files[1].fileIndex = 0;
    description.skus[0].files[1].fsContent = bytesOf("from-file");
    _commonQuorTable record = open();
    ASSERT_TRUE(kaMfsQuorInit(&record, recordReport));
    uint8_t *data = reinterpret_cast<uint8_t *>(&record);
    uint32_t size = 99;
    ASSERT_TRUE(kaMfsNvarGet(kSerial.name, &data, &size, QUOR_TABLE_CURRENT, nullptr, nullptr));
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(value(kHost.name), "gateway.local");
    EXPECT_TRUE(reportsAre({}));
}

TEST_F(KamfsInit, EfsRegionShorterThanItsLayoutIsRefusedUnread) {
    _commonQuorTable record = open();
    // Exactly as long as efs.size says, so that any access past it is caught.
    const size_t shortSize = pieces.efs.size() - 4096;
    std::unique_ptr<uint8_t[]> shortRegion(new uint8_t[shortSize]);
    std::memcpy(shortRegion.get(), pieces.efs.data(), shortSize);
    record.efs = {shortRegion.get(), static_cast<uint32_t>(shortSize)};
    EXPECT_FALSE(kaMfsQuorInit(&record, recordReport));
    EXPECT_TRUE(reportsAre({{340, "EFS region of 20480 bytes; the layout of SKU 81 needs 24576"}}));
    EXPECT_FALSE(kaMfsIsInitialized());
}

TEST_F(KamfsInit, ClosingLeavesNoEfsMountOnTheToolsRegion) {
    _commonQuorTable second = open();  // built first: the builder mounts EFS itself
    second.efs = {nullptr, 0};
    {
        imagekit::ImagePieces first = build(description);
        _commonQuorTable record = imagekit::makeRecord<_commonQuorTable>(first);
        ASSERT_TRUE(kaMfsQuorInit(&record, recordReport));
        ASSERT_EQ(EFS_is_initialized(), 1);
        ASSERT_TRUE(kaMfsNvarTerm(false));
        EXPECT_EQ(EFS_is_initialized(), 0) << "closing the storage unmounts EFS";
    }  // the tool frees the first image, EFS region included
    // Without an EFS region the EFS NVARs cannot be loaded, and the freed
    // region of the first storage is never read.
    EXPECT_FALSE(kaMfsQuorInit(&second, recordReport));
    EXPECT_EQ(EFS_is_initialized(), 0);
}

TEST_F(KamfsInit, FileTableWithoutTheSkuNeverUsesAnEarlierStoragesTable) {
    imagekit::ImageDescription larger = description;
    for (uint16_t i = 0; i < 40; ++i) {  // a larger table: its copy is a new allocation
        imagekit::FileSpec f;
        f.name = "/home/pad/" + std::to_string(i);
        f.fileIndex = static_cast<uint16_t>(50 + i);
        larger.skus[1].files.push_back(f);
    }
    imagekit::ImagePieces second = build(larger);
    _commonQuorTable other = imagekit::makeRecord<_commonQuorTable>(second);
    other.afsSkuId = 0x99;  // no table of this SKU
    _commonQuorTable record = open();
    ASSERT_TRUE(kaMfsQuorInit(&record, recordReport));
    ASSERT_NE(g_table_buf, nullptr);
    ASSERT_TRUE(kaMfsNvarTerm(false));
    kaMfsQuorInit(&other, recordReport);
    EXPECT_EQ(g_table_buf, nullptr) << "no table is selected for an SKU the table lacks";
    EXPECT_EQ(g_table_num_files, 0);
}

TEST_F(KamfsInit, SecondOpenReplacesTheFirst) {
    _commonQuorTable record = open();
    ASSERT_TRUE(kaMfsQuorInit(&record, recordReport));
    uint8_t *data = nullptr;
    ASSERT_TRUE(kaMfsNvarResize(kMtu.name, &data, 2));
    ASSERT_TRUE(kaMfsQuorInit(&record, recordReport));
    EXPECT_EQ(value(kMtu.name), "9000");
    EXPECT_EQ(s_currentValuesTable.count, 8u);
    EXPECT_TRUE(reportsAre({}));
}

}  // namespace
}  // namespace kamfs_test
