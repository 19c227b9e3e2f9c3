// Commit and termination on built images: what reaches the file systems and
// the configuration bytes, and every way a commit aborts.
#include <gtest/gtest.h>

#include <cstring>

#include "interface/kamfs.h"
#include "kamfs_fixture.h"

namespace kamfs_test {
namespace {

using imagekit::Bytes;

const std::vector<uint16_t> kAfsIndexes = {kMtu.index, kHost.index, kSerial.index,
                                           kKey.index, kSkip.index, kEmptied.index};
const std::vector<uint16_t> kEfsIndexes = {kEfsA.index, kEfsB.index};

class KamfsCommit : public KamfsTest {
  protected:
    void open(const imagekit::ImageDescription &d) {
        pieces = build(d);
        record = imagekit::makeRecord<_commonQuorTable>(pieces);
        ASSERT_TRUE(kaMfsQuorInit(&record, recordReport));
        reports().clear();
    }
    void set(const char *name, const Bytes &value) {
        uint8_t *data = nullptr;
        ASSERT_TRUE(kaMfsNvarResize(name, &data, static_cast<uint32_t>(value.size()))) << name;
        if (!value.empty()) {
            std::memcpy(data, value.data(), value.size());
        }
    }
    Bytes get(const char *name, uint32_t table = QUOR_TABLE_CURRENT) {
        uint8_t *data = nullptr;
        uint32_t size = 0;
        EXPECT_TRUE(kaMfsNvarGet(name, &data, &size, table, nullptr, nullptr)) << name;
        return data == nullptr ? Bytes{} : Bytes(data, data + size);
    }
    // The configuration bytes of the last commit, decoded by file number.
    std::map<uint32_t, imagekit::FcsFile> builtConfiguration() {
        uint8_t *buffer = nullptr;
        uint32_t size = 0;
        std::map<uint32_t, imagekit::FcsFile> out;
        EXPECT_TRUE(kaMfsGetBuildTavCfgFcsBuffer(&buffer, &size));
        std::vector<imagekit::FcsFile> files;
        EXPECT_TRUE(imagekit::decodeFcsBuffer(buffer, size, files));
        for (const auto &f : files) {
            EXPECT_TRUE(out.emplace(f.fileno, f).second) << "file number twice: " << f.fileno;
        }
        return out;
    }
    // Remounts copies of both regions and compares every listed file.
    void expectFiles(const std::map<uint16_t, Bytes> &afs, const std::map<uint16_t, Bytes> &efs,
                     bool storageOpen) {
        std::map<uint16_t, Bytes> got;
        ASSERT_TRUE(
            readAfsFiles(pieces.afs, kAfsIndexes, storageOpen ? pieces.afs.data() : nullptr, got));
        expectListedFiles("AFS", afs, got);
        ASSERT_TRUE(
            readEfsFiles(pieces.efs, kEfsIndexes, storageOpen ? pieces.efs.data() : nullptr, got));
        expectListedFiles("EFS", efs, got);
    }
    // Every file in `want` is in `got` with the same content.
    static void expectListedFiles(const char *fs, const std::map<uint16_t, Bytes> &want,
                                  const std::map<uint16_t, Bytes> &got) {
        for (const auto &[index, content] : want) {
            auto it = got.find(index);
            ASSERT_NE(it, got.end()) << fs << " file " << index << " missing";
            EXPECT_EQ(hexOf(it->second), hexOf(content)) << fs << " file " << index;
        }
    }
    // The commit fails with exactly `expected` and closes the storage.
    void expectAbort(bool keepOpen, const std::vector<Expected> &expected) {
        EXPECT_FALSE(kaMfsNvarTerm(keepOpen));
        EXPECT_TRUE(reportsAre(expected));
        EXPECT_FALSE(kaFcsIsInitialized());
        EXPECT_FALSE(kaMfsIsInitialized());
    }
    imagekit::ImagePieces pieces;
    _commonQuorTable record{};
};

TEST_F(KamfsCommit, CommitsKeepOpenTwiceThenCloses) {
    open(standardDescription());
    Bytes pattern(250);
    for (size_t i = 0; i < pattern.size(); ++i) {
        pattern[i] = static_cast<uint8_t>(i * 7);
    }
    EXPECT_FALSE(kamfsCheckNvarExists(kHost.name, QUOR_TABLE_TOOL));
    set(kMtu.name, bytesOf("1234567890"));  // grows
    set(kHost.name, bytesOf("gw"));         // shrinks: truncating write
    set(kEmptied.name, {});                 // emptied, AFS
    set(kEfsA.name, {});                    // emptied, EFS
    set(kEfsB.name, pattern);               // grows, EFS
    set(kSerial.name, bytesOf("SN-9999"));  // attribute bit 0: table only
    set(kKey.name, get(kKey.name));         // same size, untouched
    ASSERT_TRUE(kaMfsNvarTerm(true));
    EXPECT_TRUE(reportsAre({}));
    EXPECT_TRUE(kaFcsIsInitialized());
    EXPECT_TRUE(kaMfsIsInitialized());

    // The configuration bytes hold exactly the NVARs of the current values.
    std::map<uint32_t, imagekit::FcsFile> built = builtConfiguration();
    const std::map<uint32_t, Bytes> expected = {{0x10000103, bytesOf("1234567890")},
                                                {0x10000104, bytesOf("gw")},
                                                {0x10000105, bytesOf("SN-9999")},
                                                {0x10000106, bytesOf("KEY-123")},
                                                {0x10000107, bytesOf("table")},
                                                {0x10000108, {}},
                                                {0x20000201, {}},
                                                {0x20000202, pattern}};
    EXPECT_EQ(built.size(), expected.size());
    for (const auto &[fileno, payload] : expected) {
        auto it = built.find(fileno);
        ASSERT_NE(it, built.end()) << "file " << std::hex << fileno << " not in the configuration";
        EXPECT_EQ(hexOf(it->second.payload), hexOf(payload)) << "file " << std::hex << fileno;
        EXPECT_EQ(it->second.flags, imagekit::kFlagNvar) << "file " << std::hex << fileno;
    }
    // The tool's table is now the built one: vendor-only NVARs are carried,
    // the tool-only file is gone.
    EXPECT_TRUE(kamfsCheckNvarExists(kHost.name, QUOR_TABLE_TOOL));
    EXPECT_FALSE(kamfsCheckNvarExists(kToolOnly.name, QUOR_TABLE_TOOL));
    EXPECT_EQ(hexOf(get(kMtu.name)), hexOf(bytesOf("1234567890")));
    EXPECT_EQ(hexOf(get(kSerial.name, QUOR_TABLE_TOOL)), hexOf(bytesOf("SN-9999")));

    expectFiles({{kMtu.index, bytesOf("1234567890")},
                 {kHost.index, bytesOf("gw")},
                 {kSerial.index, withTrailer("SN-4711", 40)},
                 {kKey.index, withTrailer("KEY-123", 56)},
                 {kSkip.index, bytesOf("table")},
                 {kEmptied.index, {}}},
                {{kEfsA.index, {}}, {kEfsB.index, pattern}}, true);

    // Second commit builds on the first.
    set(kMtu.name, bytesOf("77"));
    set(kEfsA.name, bytesOf("again"));
    ASSERT_TRUE(kaMfsNvarTerm(true));
    built = builtConfiguration();
    EXPECT_EQ(hexOf(built[0x10000103].payload), hexOf(bytesOf("77")));
    EXPECT_EQ(hexOf(built[0x20000201].payload), hexOf(bytesOf("again")));
    EXPECT_EQ(hexOf(built[0x10000104].payload), hexOf(bytesOf("gw")));
    uint8_t *buffer = nullptr;
    uint32_t size = 0;
    ASSERT_TRUE(kaMfsGetBuildTavCfgFcsBuffer(&buffer, &size));
    const Bytes configuration(buffer, buffer + size);
    expectFiles({{kMtu.index, bytesOf("77")}, {kHost.index, bytesOf("gw")}},
                {{kEfsA.index, bytesOf("again")}, {kEfsB.index, pattern}}, true);

    // Closing commits once more and releases everything.
    ASSERT_TRUE(kaMfsNvarTerm(false));
    EXPECT_TRUE(reportsAre({}));
    EXPECT_FALSE(kaFcsIsInitialized());
    EXPECT_FALSE(kaMfsIsInitialized());
    EXPECT_FALSE(kaMfsGetBuildTavCfgFcsBuffer(&buffer, &size));
    expectFiles({{kMtu.index, bytesOf("77")}, {kEmptied.index, {}}},
                {{kEfsA.index, bytesOf("again")}, {kEfsB.index, pattern}}, false);

    // The image with the new configuration partition opens on the new values.
    pieces.toolPartition = imagekit::wrapToolPartition(configuration);
    record = imagekit::makeRecord<_commonQuorTable>(pieces);
    ASSERT_TRUE(kaMfsQuorInit(&record, recordReport));
    EXPECT_EQ(hexOf(get(kMtu.name)), hexOf(bytesOf("77")));
    EXPECT_EQ(hexOf(get(kEfsB.name)), hexOf(pattern));
    EXPECT_EQ(hexOf(get(kSerial.name)), hexOf(bytesOf("SN-4711")));  // from the file
    EXPECT_EQ(hexOf(get(kSerial.name, QUOR_TABLE_TOOL)), hexOf(bytesOf("SN-9999")));
    EXPECT_TRUE(reportsAre({}));
}

TEST_F(KamfsCommit, OverlongValueAbortsBeforeAnythingIsWritten) {
    for (bool keepOpen : {true, false}) {
        reports().clear();
        open(standardDescription());
        set(kHost.name, bytesOf("changed"));
        set(kEfsA.name, Bytes(101, 'a'));  // maximum 100
        const Bytes afs = pieces.afs;
        const Bytes efs = pieces.efs;
        expectAbort(keepOpen, {{345, kEfsA.name}});
        EXPECT_TRUE(afs == pieces.afs) << "AFS region changed by an aborted commit";
        EXPECT_TRUE(efs == pieces.efs) << "EFS region changed by an aborted commit";
        EXPECT_FALSE(kaMfsNvarTerm(false));  // already closed
    }
}

TEST_F(KamfsCommit, ValueBeyondTheStoreLengthLimitAbortsInsteadOfBeingCut) {
    imagekit::ImageDescription d = standardDescription();
    d.skus[0].files[1].maxSize = 100000;  // the file table allows it; the store's length is 16-bit
    open(d);
    set(kHost.name, Bytes(65536 + 100, 'v'));  // a 16-bit blob length would wrap to 112
    expectAbort(true, {{345, kHost.name}});
}

TEST_F(KamfsCommit, ZeroFileNumberAbortsWithWriteError) {
    imagekit::ImageDescription d = standardDescription();
    d.skus[0].files[1].fileno = 0x00000104;  // tag 0, AFS index 0: DFS number 0
    d.skus[0].files[1].fileIndex = 0;
    open(d);
    expectAbort(true, {{99, libStatusAbout(0, kHost.name)}, {345, kHost.name}});
}

TEST_F(KamfsCommit, MissingFileAbortsWithSizeError) {
    imagekit::ImageDescription d = standardDescription();
    d.skus[0].files[1].attributes = QUOR_ATTR_NOT_LOADED;  // opens without its file
    d.skus[0].files[1].inFileSystem = false;
    open(d);
    expectAbort(false, {{336, libStatusAbout(2, std::string(kHost.name) + ", DFS file 0x10000004")},
                        {345, kHost.name}});
}

TEST_F(KamfsCommit, RefusedWriteAbortsWithWriteError) {
    imagekit::ImageDescription d = standardDescription();
    d.afs.regionSize = 32768;  // the smallest volume: far less than 60000 bytes of chunks
    d.afs.fileCount = 65;
    d.skus[0].files[1].maxSize = 60000;
    open(d);
    set(kHost.name, Bytes(60000, 'h'));
    expectAbort(true, {{99, libStatusAbout(28, std::string(kHost.name) + ", DFS file 0x10000004")},
                       {345, kHost.name}});
}

TEST_F(KamfsCommit, StorageWithoutFileSystemsCommits) {
    imagekit::ImageDescription d = standardDescription();
    d.afs.regionSize = 0;
    d.efs.present = false;
    d.toolPartition = false;
    open(d);
    EXPECT_FALSE(kaMfsIsInitialized());
    EXPECT_FALSE(kaMfsIsVfsDeployed());
    uint8_t *buffer = nullptr;
    uint32_t size = 0;
    EXPECT_FALSE(kaMfsGetBuildTavCfgFcsBuffer(&buffer, &size));  // no partition, no commit yet
    set(kMtu.name, bytesOf("1"));
    ASSERT_TRUE(kaMfsNvarTerm(true));
    EXPECT_EQ(hexOf(builtConfiguration()[0x10000103].payload), hexOf(bytesOf("1")));
    ASSERT_TRUE(kaMfsNvarTerm(false));
    EXPECT_TRUE(reportsAre({}));
    EXPECT_FALSE(kaFcsIsInitialized());
}

TEST_F(KamfsCommit, UndeployedImageIsNotWritten) {
    imagekit::ImageDescription d = standardDescription();
    d.deployed = false;
    open(d);
    const Bytes afs = pieces.afs;
    set(kMtu.name, bytesOf("4242"));
    ASSERT_TRUE(kaMfsNvarTerm(false));
    EXPECT_TRUE(reportsAre({}));
    EXPECT_TRUE(afs == pieces.afs) << "a commit wrote into a file system that is not deployed";
}

}  // namespace
}  // namespace kamfs_test
