#include "storage_session.h"

#include <cstdio>
#include <cstring>

#include "quorstorage/quorstorage.h"
#include "wire.h"

namespace quorstore {

namespace {

std::vector<Report> g_reports;

// Offsets in the file table buffer (ftbl.bin) and its 68-byte entries.
constexpr size_t kFtblSkuCount = 12;
constexpr size_t kFtblSkuRecords = 16;
constexpr size_t kFtblSkuRecordSize = 16;
constexpr uint32_t kFtblMaxSkus = 10;
constexpr size_t kEntrySize = 68;
constexpr size_t kEntryName = 0;
constexpr size_t kEntryNameSize = 48;
constexpr size_t kEntryFileno = 48;
constexpr size_t kEntryAttributes = 52;
constexpr size_t kEntryFileIndex = 58;
constexpr size_t kEntryStorage = 63;
constexpr size_t kEntryMaxSize = 64;

std::string hex32(uint32_t value) {
    return hex_number(value);
}

}  // namespace

uint32_t dfs_number(FileSystem fs, uint32_t index) {
    return QUOR_DFS_NUMBER(fs == FileSystem::kEfs ? QUOR_DFS_SELECTOR_EFS : QUOR_DFS_SELECTOR_AFS,
                           index);
}

const char *file_system_name(FileSystem fs) {
    return fs == FileSystem::kEfs ? "EFS" : "AFS";
}

void collect_report(int32_t /*level*/, int32_t code, const char *text, const char *detail) {
    g_reports.push_back(Report{code, text != nullptr ? text : "", detail != nullptr ? detail : ""});
}

std::vector<Report> take_reports() {
    std::vector<Report> out;
    out.swap(g_reports);
    return out;
}

void fail_with_reports(const std::string &context, int32_t fallback_code) {
    std::vector<Report> reports = take_reports();
    if (reports.empty()) {
        throw ToolError(fallback_code, context);
    }
    throw ToolError(std::move(reports), context);
}

std::vector<uint32_t> file_table_skus(const Bytes &table) {
    std::vector<uint32_t> skus;
    if (table.size() < kFtblSkuRecords || wire::le32(table.data()) != QUOR_FILE_TABLE_MAGIC) {
        return skus;
    }
    const uint32_t count = wire::le32(table.data() + kFtblSkuCount);
    for (uint32_t i = 0; i < count && i < kFtblMaxSkus; ++i) {
        const size_t at = kFtblSkuRecords + i * kFtblSkuRecordSize;
        if (at + 4 > table.size()) {
            break;
        }
        skus.push_back(wire::le32(table.data() + at));
    }
    return skus;
}

void check_bundle_pieces(Bundle &bundle) {
    Bytes &table = bundle.at(kPieceFileTable);
    const std::string table_path = (bundle.folder / kPieceFileTable).string();
    const std::vector<uint32_t> skus = file_table_skus(table);
    if (skus.empty()) {
        throw ToolError(kCodeLoadFileTable, table_path +
                                                ": not a file table buffer (no \"FTBL\" "
                                                "magic or no SKU records)");
    }
    bool listed = false;
    std::string known;
    for (uint32_t sku : skus) {
        listed = listed || sku == bundle.sku;
        known += (known.empty() ? "" : ", ") + hex32(sku);
    }
    if (!listed) {
        throw ToolError(kCodeLoadFileTable, table_path + ": SKU " + hex32(bundle.sku) +
                                                " of bundle.json is not in the file table (" +
                                                known + ")");
    }
    const uint32_t status =
        load_file_table(table.data(), bundle.sku, static_cast<uint32_t>(table.size()));
    if (status != 0 || g_dfs_sku != bundle.sku) {
        throw ToolError(kCodeLoadFileTable, table_path +
                                                ": the library refuses the file table "
                                                "of SKU " +
                                                hex32(bundle.sku) + " (status " +
                                                std::to_string(status) + ")");
    }
    if (const Bytes *efs = bundle.find(kPieceEfs)) {
        const std::string efs_path = (bundle.folder / kPieceEfs).string();
        if (g_efs_autogen_data_loaded == 0 || g_efs_sku_id != (bundle.sku & 0xFF)) {
            throw ToolError(kCodeReadingInput, efs_path +
                                                   ": the file table has no EFS layout "
                                                   "for SKU " +
                                                   hex32(bundle.sku));
        }
        const uint32_t needed = EFS_get_efs_size();
        if (efs->size() != needed) {
            throw ToolError(kCodeReadingInput, efs_path + ": " + std::to_string(efs->size()) +
                                                   " bytes, the EFS layout of SKU " +
                                                   hex32(bundle.sku) + " needs " +
                                                   std::to_string(needed));
        }
    }
}

void open_storage(Bundle &bundle) {
    check_bundle_pieces(bundle);
    auto buffer = [&bundle](const char *piece) {
        QuorBuffer b{nullptr, 0};
        auto it = bundle.pieces.find(piece);
        if (it != bundle.pieces.end() && !it->second.empty()) {
            b.data = it->second.data();
            b.size = static_cast<uint32_t>(it->second.size());
        }
        return b;
    };
    _commonQuorTable record{};
    record.ostraCfg = buffer(kPieceVendorCfg);
    record.tavcCfg = buffer(kPieceToolCfg);
    record.mfs = buffer(kPieceAfs);
    record.ftbl = buffer(kPieceFileTable);
    record.afsSkuId = bundle.sku;
    record.efs = buffer(kPieceEfs);
    take_reports();
    if (!kaMfsQuorInit(&record, collect_report)) {
        std::vector<Report> reports = take_reports();
        for (Report &r : unusable_nvar_files(bundle)) {
            reports.push_back(std::move(r));
        }
        if (reports.empty()) {
            throw ToolError(kCodeReadingInput,
                            "cannot open the storage of " + bundle.folder.string());
        }
        throw ToolError(std::move(reports), "cannot open the storage of " + bundle.folder.string());
    }
}

std::vector<Report> unusable_nvar_files(const Bundle &bundle) {
    // The library's own reports name the step, not the file: mount copies of
    // the regions directly and read every file of the file table.
    if (kaFcsIsInitialized()) {
        kaMfsNvarTerm(false);
    }
    if (dfs_context != nullptr) {
        dfs_terminate();
    }
    take_reports();
    Bundle copy = bundle;
    std::vector<Report> found;
    const MountStatus mounted = mount_file_systems(copy);
    uint32_t marker = 0;
    uint32_t marker_size = 0;
    const bool deployed = mounted.afs && *mounted.afs == 0 &&
                          pathToFileNumber(QUOR_DEPLOY_MARKER_PATH, &marker) == 0 && marker != 0 &&
                          dfs_getsize(marker, &marker_size) == 0 && marker_size != 0;
    for (const FileTableEntry &e : file_table_entries()) {
        if (e.dfs_number == 0) {
            continue;
        }
        const bool efs = ((e.dfs_number & QUOR_DFS_SELECTOR_MASK) >> QUOR_DFS_SELECTOR_SHIFT) ==
                         QUOR_DFS_SELECTOR_EFS;
        const std::optional<uint32_t> &mount = efs ? mounted.efs : mounted.afs;
        if (!mount || *mount != 0) {
            continue;
        }
        const uint32_t index = e.dfs_number & QUOR_DFS_INDEX_MASK;
        Bytes bytes;
        const uint32_t status =
            efs ? read_efs_file(index, bytes) : read_dfs_file(e.dfs_number, bytes);
        const bool absent = status == 2 || (efs && status == 22);
        if (status == 0 || (absent && !deployed)) {
            continue;
        }
        const std::string where = std::string(efs ? "EFS" : "AFS") + " file " +
                                  std::to_string(index) + " (" + e.name + ") in " +
                                  (efs ? kPieceEfs : kPieceAfs);
        found.push_back(
            Report{kCodeReadNvar, catalogue_text(kCodeReadNvar),
                   where + ": " +
                       (absent ? std::string("missing")
                               : (efs ? efs_status_text(status) : dfs_status_text(status))) +
                       "; `quorstore fsck --repair` gives it back its last "
                       "committed value"});
    }
    if (dfs_context != nullptr) {
        dfs_terminate();
    }
    take_reports();
    return found;
}

StorageCloser::~StorageCloser() {
    if (kaFcsIsInitialized()) {
        kaMfsNvarTerm(false);
    }
    take_reports();
}

std::vector<FileTableEntry> file_table_entries() {
    std::vector<FileTableEntry> entries;
    if (g_table_buf == nullptr || g_table_num_files < 1) {
        return entries;
    }
    // The table lies at any byte offset of the file table buffer: read its
    // fields as bytes, never through the (4-byte aligned) record type.
    const auto *base = reinterpret_cast<const uint8_t *>(g_table_buf);
    for (int32_t i = 0; i < g_table_num_files; ++i) {
        const uint8_t *raw = base + static_cast<size_t>(i) * kEntrySize;
        FileTableEntry e;
        const char *name = reinterpret_cast<const char *>(raw + kEntryName);
        e.name.assign(name, strnlen(name, kEntryNameSize));
        e.fileno = wire::le32(raw + kEntryFileno);
        e.attributes = wire::le16(raw + kEntryAttributes);
        e.file_index = wire::le16(raw + kEntryFileIndex);
        e.storage = raw[kEntryStorage];
        e.max_size = wire::le32(raw + kEntryMaxSize);
        if (pathToFileNumber(e.name.c_str(), &e.dfs_number) != 0) {
            e.dfs_number = 0;
        }
        entries.push_back(std::move(e));
    }
    return entries;
}

MountStatus mount_file_systems(Bundle &bundle) {
    check_bundle_pieces(bundle);
    MountStatus status;
    if (bundle.has(kPieceAfs)) {
        Bytes &afs = bundle.at(kPieceAfs);
        status.afs = dfs_init(afs.data(), static_cast<uint32_t>(afs.size()));
    }
    if (bundle.has(kPieceEfs)) {
        status.efs = EFS_init_tools(bundle.at(kPieceEfs).data());
    }
    return status;
}

uint32_t read_efs_file(uint32_t index, Bytes &out) {
    uint32_t size = 0;
    uint32_t status = EFS_get_file_size(index, &size);
    if (status != 0) {
        return status;
    }
    out.assign(size, 0);
    if (size == 0) {
        return 0;
    }
    uint32_t count = size;
    status = EFS_read(index, 0, &count, out.data());
    if (status == 0 && count != size) {
        out.resize(count);
        return 41;  // the file delivered fewer bytes than its size
    }
    return status;
}

std::string efs_status_text(uint32_t status) {
    const char *what = "failure";
    switch (status) {
        case 0:
            what = "success";
            break;
        case 1:
            what = "EFS is not mounted";
            break;
        case 2:
            what = "the file has no content";
            break;
        case 5:
            what = "block-map sequence numbers exhausted";
            break;
        case 12:
            what = "out of memory";
            break;
        case 22:
            what = "invalid argument, or the file is not in the EFS layout";
            break;
        case 34:
            what = "out of range: longer than the file's maximum size";
            break;
        case 41:
            what = "stored data fails its check";
            break;
        default:
            break;
    }
    return "status " + std::to_string(status) + " (" + what + ")";
}

uint32_t read_dfs_file(uint32_t number, Bytes &out) {
    uint32_t size = 0;
    uint32_t status = dfs_getsize(number, &size);
    if (status != 0) {
        return status;
    }
    out.assign(size, 0);
    if (size == 0) {
        return 0;
    }
    uint32_t length = size;
    status = dfs_read(number, 0, &length, out.data());
    if (status == 0 && length != size) {
        out.resize(length);
        return 5;  // the file delivered fewer bytes than its size
    }
    return status;
}

std::string dfs_status_text(uint32_t status) {
    const char *what = "failure";
    switch (status) {
        case 0:
            what = "success";
            break;
        case 2:
            what = "no such file, or its file system is not mounted";
            break;
        case 5:
            what = "input/output error";
            break;
        case 12:
            what = "out of memory";
            break;
        case 22:
            what = "invalid argument";
            break;
        case 27:
            what = "file too large";
            break;
        case 28:
            what = "no space left";
            break;
        default:
            break;
    }
    return "status " + std::to_string(status) + " (" + what + ")";
}

}  // namespace quorstore
