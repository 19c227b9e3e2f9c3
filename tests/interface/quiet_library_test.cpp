// The library writes nothing to standard output or standard error: every
// public entry point, on good and on bad input, is called with both streams
// captured, and the captures must stay empty. (Reports go to the callback;
// the packaging tests check that no output function is even linked in.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "afs/Afs.h"
#include "afs/AfsCrc.h"
#include "afs/AfsPhysicalWin32Spi.h"
#include "efs/EFS.h"
#include "efs/efs_tools_utils.h"
#include "fcs/FCS.h"
#include "interface/dfs.h"
#include "interface/kamfs.h"
#include "interface/memory_utils.h"
#include "interface/miniVfs.h"
#include "kamfs_fixture.h"

namespace kamfs_test {
namespace {

// What `call` writes to the process's standard output and standard error,
// through any path (C stdio, iostreams, raw descriptors).
std::string outputOf(const std::function<void()> &call) {
    std::fflush(nullptr);
    std::cout.flush();
    std::cerr.flush();
    FILE *sink = std::tmpfile();
    if (sink == nullptr) {
        ADD_FAILURE() << "no temporary file";
        return {};
    }
    const int savedOut = ::dup(STDOUT_FILENO);
    const int savedErr = ::dup(STDERR_FILENO);
    ::dup2(::fileno(sink), STDOUT_FILENO);
    ::dup2(::fileno(sink), STDERR_FILENO);
    call();
    std::fflush(nullptr);
    std::cout.flush();
    std::cerr.flush();
    ::dup2(savedOut, STDOUT_FILENO);
    ::dup2(savedErr, STDERR_FILENO);
    ::close(savedOut);
    ::close(savedErr);
    std::string text;
    std::rewind(sink);
    for (int c = std::fgetc(sink); c != EOF; c = std::fgetc(sink)) {
        text.push_back(static_cast<char>(c));
    }
    std::fclose(sink);
    return text;
}

struct Call {
    const char *what;
    std::function<void()> run;
};

void expectSilent(const std::vector<Call> &calls) {
    for (const Call &c : calls) {
        EXPECT_EQ(outputOf(c.run), "") << c.what;
    }
}

class QuietLibrary : public KamfsTest {
  protected:
    void SetUp() override {
        KamfsTest::SetUp();
        pieces = build(standardDescription());
        record = imagekit::makeRecord<_commonQuorTable>(pieces);
    }
    imagekit::ImagePieces pieces;
    _commonQuorTable record{};
    uint8_t *value = nullptr;
    uint32_t size = 0;
};

TEST_F(QuietLibrary, StorageInterfaceOnGoodAndBadInput) {
    Bytes garbage(pieces.afs.size(), 0x5A);
    expectSilent({
        {"init without record", [] { kaMfsQuorInit(nullptr, recordReport); }},
        {"init with an AFS region that does not mount",
         [&] {
             _commonQuorTable bad = record;
             bad.mfs = {garbage.data(), static_cast<uint32_t>(garbage.size())};
             kaMfsQuorInit(&bad, recordReport);
         }},
        {"init with a bad file table",
         [&] {
             Bytes table = pieces.fileTable;
             table[0] ^= 0xFF;
             _commonQuorTable bad = record;
             bad.ftbl = {table.data(), static_cast<uint32_t>(table.size())};
             kaMfsQuorInit(&bad, recordReport);
         }},
        {"init without callback", [&] { kaMfsQuorInit(&record, nullptr); }},
        {"init", [&] { kaMfsQuorInit(&record, recordReport); }},
        {"flags",
         [] {
             kaMfsIsInitialized();
             kaFcsIsInitialized();
             kaMfsIsVfsDeployed();
         }},
        {"get",
         [&] { kaMfsNvarGet(kMtu.name, &value, &size, QUOR_TABLE_CURRENT, nullptr, nullptr); }},
        {"get bad", [&] { kaMfsNvarGet(nullptr, &value, &size, 0, nullptr, nullptr); }},
        {"get absent",
         [&] { kaMfsNvarGet("/home/none", &value, &size, QUOR_TABLE_TOOL, nullptr, nullptr); }},
        {"resize", [&] { kaMfsNvarResize(kMtu.name, &value, 3); }},
        {"resize bad", [&] { kaMfsNvarResize(kPlain.name, &value, 3); }},
        {"exists", [] { kamfsCheckNvarExists(kHost.name, QUOR_TABLE_VENDOR); }},
        {"exists bad", [] { kamfsCheckNvarExists(nullptr, 5); }},
        {"mapping",
         [] {
             kaMfsGetFcsFileNameMapping(1);
             kaMfsGetFcsFileNameMapping(9);
         }},
        {"efs size", [] { kaMfsGetEfsSize(); }},
        {"commit", [] { kaMfsNvarTerm(true); }},
        {"built", [&] { kaMfsGetBuildTavCfgFcsBuffer(&value, &size); }},
        {"built bad", [&] { kaMfsGetBuildTavCfgFcsBuffer(nullptr, &size); }},
        {"resize too large, then commit",
         [&] {
             kaMfsNvarResize(kMtu.name, &value, 4000);
             kaMfsNvarTerm(true);
         }},
        {"close", [] { kaMfsNvarTerm(false); }},
        {"commit when closed", [] { kaMfsNvarTerm(false); }},
    });
}

TEST_F(QuietLibrary, FileSystemsAndStoreOnGoodAndBadInput) {
    Bytes garbage(pieces.afs.size(), 0x5A);
    Bytes afs = pieces.afs;
    Bytes efs = pieces.efs;
    const uint32_t afsNumber = kMtu.index;
    const uint32_t efsNumber = QUOR_DFS_NUMBER(QUOR_DFS_SELECTOR_EFS, kEfsA.index);
    uint8_t buffer[256] = {};
    uint32_t length = sizeof buffer;
    FcsHandle *handle = nullptr;
    char name[256] = {};
    cfg_file_info_t info{};
    expectSilent({
        {"file table bad", [&] { load_file_table(garbage.data(), kSku, 2000); }},
        {"file table",
         [&] {
             load_file_table(pieces.fileTable.data(), kSku,
                             static_cast<uint32_t>(pieces.fileTable.size()));
         }},
        {"lookups",
         [&] {
             get_file_entry_by_file_name(kMtu.name);
             get_file_entry_by_file_name(nullptr);
             fileno_t fileno = 0;
             get_fileno_by_file_name(kMtu.name, &fileno);
             get_fileno_by_file_name(nullptr, nullptr);
             get_file_entry_by_fileno(&fileno);
             get_file_name_by_fileno(&fileno, name);
             file_attributes_t attributes = 0;
             unsigned int maxSize = 0;
             get_file_attributes_by_file_name("/nothing", &attributes, &maxSize);
             validateAttributs(nullptr);
         }},
        {"dfs init bad", [&] { dfs_init(garbage.data(), static_cast<uint32_t>(garbage.size())); }},
        {"mini vfs bad",
         [&] { mini_vfs_init(garbage.data(), static_cast<uint32_t>(garbage.size())); }},
        {"dfs calls without a volume",
         [&] {
             dfs_read(afsNumber, 0, &length, buffer);
             dfs_getsize(afsNumber, &length);
             dfs_delete_file(afsNumber);
             dfs_idle_reclaim();
         }},
        {"dfs init", [&] { dfs_init(afs.data(), static_cast<uint32_t>(afs.size())); }},
        {"efs attach bad", [] { EFS_init_tools(nullptr); }},
        {"efs attach", [&] { EFS_init_tools(efs.data()); }},
        {"dfs good and bad",
         [&] {
             length = sizeof buffer;
             dfs_read(afsNumber, 0, &length, buffer);
             length = sizeof buffer;
             dfs_read(efsNumber, 0, &length, buffer);
             dfs_read(1u << QUOR_DFS_SELECTOR_SHIFT, 0, &length, buffer);
             dfs_write(afsNumber, 0, 4, "abcd", QUOR_WRITE_TRUNCATE);
             dfs_write(efsNumber, 0, 4, "abcd", 0);
             dfs_write(afsNumber, 0, 4, nullptr, 0);
             dfs_getsize(afsNumber, &length);
             dfs_getsize(0x7FF, &length);
             dfs_delete_file(efsNumber);
             dfs_mark_zombie_file(afsNumber);
             dfs_set_page_size(0);
             dfs_set_page_size(256);
             dfs_set_idle_reclaim_enabled();
             dfs_get_idle_reclaim_enabled();
             dfs_idle_reclaim_needed();
             dfs_idle_reclaim();
             dfs_force_dirty_erase();
             dfs_force_full_reclaim();
             dfs_is_fs_erased();
             dfs_delete_file(afsNumber);
         }},
        {"mini vfs",
         [&] {
             uint32_t number = 0;
             pathToFileNumber(kHost.name, &number);
             pathToFileNumber("/nothing", &number);
             pathToFileNumber(kHost.name, nullptr);
             readVfs(kHost.name, 0, buffer, 4);
             readVfs("/nothing", 0, buffer, 4);
             readVfs(kHost.name, 1u << 30, buffer, 4);
         }},
        {"byte copy",
         [&] {
             ByteCopy(buffer, 4, "abcd", 4);
             ByteCopy(buffer, 2, "abcd", 4);
             ByteCopy(nullptr, 4, "abcd", 4);
             ByteCopy(buffer, 8, buffer + 2, 4);
         }},
        {"afs on the mounted volume",
         [&] {
             AfsContext *ctx = dfs_context;
             uint32_t fileSize = 0;
             afs_getfilesize(ctx, kHost.index, &fileSize);
             afs_getfilesize(ctx, 100000, &fileSize);
             int32_t got = 16;
             afs_readfile(ctx, kHost.index, 0, &got, buffer);
             got = 16;
             afs_readfile(ctx, -1, 0, &got, buffer);
             afs_writefile(ctx, kHost.index, 0, 3, "abc", QUOR_WRITE_TRUNCATE);
             afs_writefile(ctx, -1, 0, 3, "abc", 0);
             afs_mark_zombie_file(ctx, kHost.index);
             afs_deletefile(ctx, kHost.index);
             afs_deletefile(ctx, kHost.index);
             afs_setcache(ctx, 3, 1);
             afs_idle_reclaim_needed(ctx);
             afs_idle_reclaim(ctx);
             afs_force_dirty_erase(ctx);
             afs_force_full_reclaim(ctx);
         }},
        {"afs init on garbage",
         [&] {
             AfsContext ctx{};
             std::vector<uint8_t> work(kAfsWorkBufferSize);
             ctx.workBuffer = work.data();
             afs_init(&ctx, garbage.data(), 64, 10, 128, 0, static_cast<uint32_t>(garbage.size()),
                      0, 0, 0);
             afs_free_context(&ctx);
         }},
        {"spi driver",
         [&] {
             SpiFlashDrvInitialize(afs.data());
             SpiDrvRead(0, 4, buffer);
             // The driver knows only the start of its buffer (the binary
             // interface gives it no size), so bad input here is a null buffer.
             SpiDrvWrite(64, 4, buffer);
             SpiDrvEraseBlock(4096);
             SpiFlashDrvInitialize(nullptr);
             SpiDrvRead(0, 4, buffer);
         }},
        {"checksums",
         [&] {
             crc16(buffer, 64, buffer);
             crc16(nullptr, 0, buffer);
             crc14(buffer, 2);
             crc14(nullptr, -1);
             crc8(buffer, 8);
             crc8(nullptr, 0);
             EFS_crc32(0, buffer, 16);
             EFS_crc16(0, buffer, 16);
         }},
        {"efs good and bad",
         [&] {
             EFS_is_initialized();
             EFS_get_efs_size();
             uint32_t n = 0;
             EFS_get_file_size(kEfsA.index, &n);
             EFS_get_file_size(100000, &n);
             n = sizeof buffer;
             EFS_read(kEfsA.index, 0, &n, buffer);
             n = sizeof buffer;
             EFS_read(kEfsA.index, 100000, &n, buffer);
             EFS_write(kEfsA.index, 0, 3, "abc");
             EFS_write(kEfsA.index, 5, 3, "abc");
             EFS_write(kEfsA.index, 0, 3, nullptr);
             EFS_delete(kEfsB.index);
             EFS_delete(kEfsB.index);
             EFS_idle_reclaim();
             load_autogen_data(garbage.data(), kSku, 64);
             EFS_erase();
             EFS_init(false);
         }},
        {"store good and bad",
         [&] {
             createHandle(nullptr);
             createHandle(&handle);
             createHandleFromStructure(nullptr, garbage.data(), 64);
             FcsHandle *fromBytes = nullptr;
             createHandleFromStructure(&fromBytes, garbage.data(), 64);
             closeHandle(&fromBytes);
             getFirstFileInRoot(handle, name);
             getNextFile(handle, name);
             getNextFile(nullptr, name);
             uint32_t capacity = sizeof buffer;
             getFileData(handle, "nothing", buffer, &capacity);
             getFileAttributes(handle, nullptr, &info);
             addNewFile(handle, "", "x", nullptr, 0, true);
             uint8_t blob[12 + 3] = {};
             addNewFile(handle, "", kHost.name, blob, sizeof blob, true);
             deleteFile(handle, "nothing");
             capacity = sizeof buffer;
             flush(handle, buffer, &capacity);
             capacity = 0;
             flush(handle, buffer, &capacity);
             loadDataFromFcsBuffer(handle, garbage.data(), 64);
             closeHandle(&handle);
             closeHandle(&handle);
         }},
    });
}

}  // namespace
}  // namespace kamfs_test
