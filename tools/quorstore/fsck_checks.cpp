#include "fsck_checks.h"

#include <cstring>

#include "config_tables.h"
#include "efs_block_maps.h"
#include "quorstorage/quorstorage.h"

// The EFS image and its size: part of the library's binary interface, not
// of its C header. A format leaves its result in an image EFS allocates.
extern "C" uint8_t *efs_image;
extern "C" uint32_t efs_size;

namespace quorstore {

namespace {

constexpr uint32_t kDefaultCachePage = 64;  // the DFS cache page size; setting it flushes

void add(std::vector<FsckFinding> &list, const std::string &where, const std::string &what) {
    list.push_back(FsckFinding{where, what});
}

std::string report_text(const Report &r) {
    return format_report(r).substr(sizeof("error: ") - 1);
}

std::string reports_text(const std::vector<Report> &reports) {
    std::string out;
    for (const Report &r : reports) {
        out += (out.empty() ? "" : "; ") + report_text(r);
    }
    return out.empty() ? "no report" : out;
}

// Closes whatever the library has open: the storage (through its only
// closing call) and a file system mounted directly.
void close_all() {
    if (kaFcsIsInitialized()) {
        kaMfsNvarTerm(false);
    }
    if (dfs_context != nullptr) {
        dfs_terminate();
    }
    take_reports();
}

struct Closer {
    ~Closer() { close_all(); }
};

using NameMap = std::map<std::pair<FileSystem, uint32_t>, std::string>;

NameMap names_of_files() {
    NameMap names;
    for (const FileTableEntry &e : file_table_entries()) {
        if (e.dfs_number == 0) {
            continue;
        }
        const FileSystem fs = ((e.dfs_number & QUOR_DFS_SELECTOR_MASK) >>
                               QUOR_DFS_SELECTOR_SHIFT) == QUOR_DFS_SELECTOR_EFS
                                  ? FileSystem::kEfs
                                  : FileSystem::kAfs;
        names.emplace(std::make_pair(fs, e.dfs_number & QUOR_DFS_INDEX_MASK), e.name);
    }
    return names;
}

std::string file_where(FileSystem fs, uint32_t index, const NameMap &names) {
    std::string where = std::string(file_system_name(fs)) + " file " + std::to_string(index);
    auto it = names.find({fs, index});
    return it == names.end() ? where : where + " (" + it->second + ")";
}

std::string piece_of(FileSystem fs) {
    return fs == FileSystem::kEfs ? kPieceEfs : kPieceAfs;
}

// Every NVAR with the value the configuration tables hold for it: opened
// without regions, the current table is the tool's table over the vendor's.
bool read_stored_values(Bundle copy, std::map<std::string, StoredValue> &out,
                        std::vector<FsckFinding> &damage) {
    copy.pieces.erase(kPieceAfs);
    copy.pieces.erase(kPieceEfs);
    Closer closer;
    try {
        open_storage(copy);
    } catch (const ToolError &error) {
        add(damage, "configuration tables",
            "do not load: " + reports_text(error.reports()) + " (ostra.cfg, tavc.cfg)");
        return false;
    }
    for (const FileTableEntry &e : file_table_entries()) {
        const uint32_t current = static_cast<uint32_t>(NvarTable::kCurrent);
        uint8_t *value = nullptr;
        uint32_t size = 0;
        bool modifiable = false;
        if (!kamfsCheckNvarExists(e.name.c_str(), current) ||
            !kaMfsNvarGet(e.name.c_str(), &value, &size, current, &modifiable, nullptr)) {
            continue;
        }
        StoredValue &stored = out[e.name];
        stored.value.assign(value, value + (value != nullptr ? size : 0));
        stored.committed =
            kamfsCheckNvarExists(e.name.c_str(), static_cast<uint32_t>(NvarTable::kTool));
        stored.modifiable = modifiable;
        stored.dfs_number = e.dfs_number;
    }
    take_reports();
    return true;
}

uint32_t file_count(FileSystem fs) {
    if (fs == FileSystem::kEfs) {
        return EFS_is_initialized() ? g_efs_files_num : 0;
    }
    return dfs_context != nullptr ? dfs_context->fileCount : 0;
}

uint32_t read_any(FileSystem fs, uint32_t index, Bytes &out) {
    return fs == FileSystem::kEfs ? read_efs_file(index, out)
                                  : read_dfs_file(dfs_number(fs, index), out);
}

std::string status_text(FileSystem fs, uint32_t status) {
    return fs == FileSystem::kEfs ? efs_status_text(status) : dfs_status_text(status);
}

bool is_absent(FileSystem fs, uint32_t status) {
    return status == 2 || (fs == FileSystem::kEfs && status == 22);
}

// Reads every file of a mounted file system in full.
void walk_files(FileSystem fs, const NameMap &names,
                const std::map<std::string, StoredValue> &nvars, StorageCheck &check) {
    FsckFileSystem &stats = fs == FileSystem::kEfs ? check.efs : check.afs;
    for (uint32_t i = 0; i < file_count(fs); ++i) {
        Bytes bytes;
        const uint32_t status = read_any(fs, i, bytes);
        auto name = names.find({fs, i});
        const bool holds_nvar = name != names.end() && nvars.count(name->second) != 0;
        if (is_absent(fs, status)) {
            continue;
        }
        if (status == 0) {
            ++stats.files;
            continue;
        }
        ++stats.unreadable;
        add(check.damage, file_where(fs, i, names),
            "unreadable: " + status_text(fs, status) + " in " + piece_of(fs));
        check.broken.push_back(BrokenFile{fs, i, holds_nvar ? name->second : "", false});
    }
}

// NVARs that should have a file (deployed image) but have none.
void find_missing_files(const NameMap &names, const std::map<std::string, StoredValue> &nvars,
                        bool deployed, StorageCheck &check) {
    if (!deployed) {
        return;
    }
    for (const auto &[key, name] : names) {
        auto nvar = nvars.find(name);
        if (nvar == nvars.end() || !nvar->second.modifiable || file_count(key.first) == 0) {
            continue;
        }
        Bytes bytes;
        if (is_absent(key.first, read_any(key.first, key.second, bytes))) {
            add(check.damage, file_where(key.first, key.second, names),
                "missing: NVAR " + name + " has no file in " + piece_of(key.first));
            check.broken.push_back(BrokenFile{key.first, key.second, name, true});
        }
    }
}

// The check when the storage does not open: mount the file systems directly
// and find the files that stop it.
void diagnose_unopenable(Bundle copy, StorageCheck &check, const NameMap &names,
                         const std::vector<Report> &reports) {
    add(check.damage, "storage", "does not open: " + reports_text(reports));
    Closer closer;
    const MountStatus mounted = mount_file_systems(copy);
    if (mounted.afs) {
        check.afs.present = true;
        check.afs.mounted = *mounted.afs == 0;
        if (*mounted.afs != 0) {
            add(check.damage, kPieceAfs, "AFS does not mount: " + dfs_status_text(*mounted.afs));
        }
    }
    if (mounted.efs) {
        check.efs.present = true;
        check.efs.mounted = *mounted.efs == 0;
        if (*mounted.efs != 0) {
            add(check.damage, kPieceEfs, "EFS does not mount: " + efs_status_text(*mounted.efs));
        }
    }
    walk_files(FileSystem::kAfs, names, check.stored, check);
    walk_files(FileSystem::kEfs, names, check.stored, check);
    // The deploy marker decides whether NVARs have files; it lives in AFS.
    uint32_t marker = 0;
    uint32_t size = 0;
    const bool deployed = check.afs.mounted &&
                          pathToFileNumber(QUOR_DEPLOY_MARKER_PATH, &marker) == 0 && marker != 0 &&
                          dfs_getsize(marker, &size) == 0 && size != 0;
    find_missing_files(names, check.stored, deployed, check);
}

// Values a commit would refuse, and values whose file lost a commit.
void check_values(const NameMap &names, StorageCheck &check) {
    const bool deployed = kaMfsIsVfsDeployed();
    for (const auto &[name, stored] : check.stored) {
        uint8_t *value = nullptr;
        uint32_t size = 0;
        uint32_t max_size = 0;
        const uint32_t current = static_cast<uint32_t>(NvarTable::kCurrent);
        if (!kaMfsNvarGet(name.c_str(), &value, &size, current, nullptr, &max_size)) {
            add(check.damage, "NVAR " + name, "unreadable: " + reports_text(take_reports()));
            continue;
        }
        ++check.nvars;
        if (size > max_size) {
            add(check.damage, "NVAR " + name,
                "value of " + std::to_string(size) + " bytes is longer than its maximum size " +
                    std::to_string(max_size));
        }
        if (!deployed || !stored.modifiable || !stored.committed || stored.dfs_number == 0) {
            continue;
        }
        const Bytes now(value, value + (value != nullptr ? size : 0));
        if (now == stored.value) {
            continue;
        }
        const FileSystem fs = ((stored.dfs_number & QUOR_DFS_SELECTOR_MASK) >>
                               QUOR_DFS_SELECTOR_SHIFT) == QUOR_DFS_SELECTOR_EFS
                                  ? FileSystem::kEfs
                                  : FileSystem::kAfs;
        const std::string where = file_where(fs, stored.dfs_number & QUOR_DFS_INDEX_MASK, names);
        if (check.block_map_fallback && fs == FileSystem::kEfs) {
            add(check.damage, "NVAR " + name,
                "rolled back: " + where + " holds an older value than tavc.cfg records");
            check.rolled_back.push_back(name);
        } else {
            check.notes.push_back("NVAR " + name + ": " + where +
                                  " differs from the value tavc.cfg records (changed by a raw "
                                  "put since the last commit?)");
        }
    }
    take_reports();
}

void trial_commit(StorageCheck &check) {
    take_reports();
    check.trial_commit = kaMfsNvarTerm(true);
    if (!check.trial_commit) {
        add(check.damage, "commit", "a commit would fail: " + reports_text(take_reports()));
    }
}

}  // namespace

std::vector<FsckFinding> check_block_maps(const Bytes &efs, bool &fallback) {
    std::vector<FsckFinding> damage;
    const EfsBlockMaps maps = read_efs_block_maps(efs, loaded_efs_geometry());
    fallback = maps.falls_back();
    for (size_t i = 0; i < maps.headers.size(); ++i) {
        if (maps.headers[i] == BlockMapHeader::kDamaged) {
            add(damage, "EFS block map " + std::to_string(i),
                "damaged header: a mount skips this block map, so whatever was committed into "
                "it is lost");
        }
    }
    // No valid header at all: the mount reports it.
    if (maps.newest && !maps.newest_checks) {
        add(damage, "EFS block map " + std::to_string(*maps.current),
            "the newest entry (offset " + std::to_string(*maps.newest) +
                ") fails its check: EFS falls back to the entry before it, so the last commit "
                "into efs.bin may have rolled back");
    }
    return damage;
}

StorageCheck check_storage(const Bundle &bundle, bool with_trial_commit) {
    StorageCheck check;
    Bundle copy = bundle;
    close_all();
    try {
        check_bundle_pieces(copy);
    } catch (const ToolError &error) {
        add(check.damage, "file table", report_text(error.reports().front()));
        return check;
    }
    const NameMap names = names_of_files();
    for (FsckFinding &f : check_config_tables(copy.find(kPieceVendorCfg), copy.find(kPieceToolCfg),
                                              file_table_entries(), copy.sku)) {
        check.damage.push_back(std::move(f));
    }
    if (copy.has(kPieceEfs)) {
        for (FsckFinding &f : check_block_maps(copy.at(kPieceEfs), check.block_map_fallback)) {
            check.damage.push_back(std::move(f));
        }
    }
    if (!read_stored_values(copy, check.stored, check.damage)) {
        return check;
    }
    Closer closer;
    try {
        open_storage(copy);
    } catch (const ToolError &error) {
        close_all();
        diagnose_unopenable(bundle, check, names, error.reports());
        return check;
    }
    check.afs.present = copy.has(kPieceAfs);
    check.afs.mounted = check.afs.present;
    check.efs.present = copy.has(kPieceEfs);
    check.efs.mounted = check.efs.present;
    check_values(names, check);
    walk_files(FileSystem::kAfs, names, check.stored, check);
    walk_files(FileSystem::kEfs, names, check.stored, check);
    if (dfs_context != nullptr) {
        dfs_set_page_size(kDefaultCachePage);  // what the mount changed reaches the copy
    }
    for (const char *piece : {kPieceAfs, kPieceEfs}) {
        if (copy.has(piece) && copy.at(piece) != *bundle.find(piece)) {
            add(check.damage, piece,
                "mounting changes it (recovers an interrupted operation); --repair writes that "
                "back");
        }
    }
    if (with_trial_commit) {
        trial_commit(check);
    }
    return check;
}

namespace {

uint32_t write_any(FileSystem fs, uint32_t index, const Bytes &value) {
    const uint8_t empty = 0;
    const uint8_t *data = value.empty() ? &empty : value.data();
    const auto length = static_cast<uint32_t>(value.size());
    return fs == FileSystem::kEfs ? EFS_write(index, 0, length, data)
                                  : dfs_write(dfs_number(fs, index), 0, length, data, 1);
}

uint32_t delete_any(FileSystem fs, uint32_t index) {
    return fs == FileSystem::kEfs ? EFS_delete(index) : dfs_delete_file(dfs_number(fs, index));
}

std::string restored_from(const StoredValue &stored) {
    return stored.committed ? "its last committed value from tavc.cfg"
                            : "its vendor default from ostra.cfg";
}

std::string reset_text(FileSystem fs, uint32_t index, const std::string &nvar,
                       const StoredValue &stored) {
    return nvar + ": " + file_system_name(fs) + " file " + std::to_string(index) + " given " +
           restored_from(stored);
}

// One EFS write of a file's own content: the commit moves EFS to a fresh
// block map, past a damaged one.
void rewrite_one_efs_file(std::vector<FsckFinding> &not_repaired) {
    for (uint32_t i = 0; i < g_efs_files_num; ++i) {
        Bytes bytes;
        if (read_efs_file(i, bytes) == 0) {
            const uint32_t status = write_any(FileSystem::kEfs, i, bytes);
            if (status != 0) {
                add(not_repaired, "EFS block map",
                    "rewriting EFS file " + std::to_string(i) +
                        " failed: " + efs_status_text(status));
            }
            return;
        }
    }
}

// Rebuilds EFS when one of its files cannot be rewritten in place (a write
// copies the records beside it, and a damaged record stops it): every file
// that reads is kept, the region is formatted, and the files are written
// back. Returns the indexes it wrote; a file that does not read is left out.
bool rebuild_efs(Bytes &region, std::map<uint32_t, Bytes> &files,
                 std::vector<FsckFinding> &not_repaired) {
    for (uint32_t i = 0; i < g_efs_files_num; ++i) {
        Bytes bytes;
        if (files.count(i) == 0 && read_efs_file(i, bytes) == 0) {
            files[i] = std::move(bytes);
        }
    }
    const uint32_t formatted = EFS_init(true);
    if (formatted != 0) {
        add(not_repaired, kPieceEfs,
            "formatting for a rebuild failed: " + efs_status_text(formatted));
        return false;
    }
    for (const auto &[index, bytes] : files) {
        const uint32_t status = write_any(FileSystem::kEfs, index, bytes);
        if (status != 0) {
            add(not_repaired, "EFS file " + std::to_string(index),
                "writing it back after the rebuild failed: " + efs_status_text(status));
            return false;
        }
    }
    // A format works on an image EFS allocates itself: copy the rebuilt
    // region into the piece and mount that again.
    if (efs_image == nullptr || efs_size != region.size()) {
        add(not_repaired, kPieceEfs, "the rebuilt region has another size than efs.bin");
        return false;
    }
    std::memcpy(region.data(), efs_image, region.size());
    return EFS_init_tools(region.data()) == 0;
}

}  // namespace

void repair_storage(Bundle &bundle, const StorageCheck &check, std::vector<std::string> &reset,
                    std::vector<FsckFinding> &not_repaired) {
    close_all();
    Closer closer;
    const MountStatus mounted = mount_file_systems(bundle);
    const NameMap names = names_of_files();
    // EFS files given back through a rebuild when a write in place fails.
    std::map<uint32_t, Bytes> efs_rebuild;
    std::vector<std::string> efs_rebuild_names;
    bool need_rebuild = false;
    auto give_back = [&](FileSystem fs, uint32_t index, const std::string &nvar) {
        const StoredValue &stored = check.stored.at(nvar);
        delete_any(fs, index);
        const uint32_t status = write_any(fs, index, stored.value);
        if (status != 0 && fs == FileSystem::kEfs) {
            efs_rebuild[index] = stored.value;
            efs_rebuild_names.push_back(reset_text(fs, index, nvar, stored));
            return;
        }
        if (status != 0) {
            add(not_repaired, file_where(fs, index, names),
                "writing " + restored_from(stored) + " failed: " + status_text(fs, status));
            return;
        }
        reset.push_back(nvar + " (" + file_where(fs, index, names) + "): " + restored_from(stored));
    };
    for (const BrokenFile &file : check.broken) {
        const bool mountable = file.fs == FileSystem::kEfs ? mounted.efs && *mounted.efs == 0
                                                           : mounted.afs && *mounted.afs == 0;
        if (!mountable) {
            add(not_repaired, file_where(file.fs, file.index, names),
                std::string(file_system_name(file.fs)) + " does not mount");
        } else if (!file.nvar.empty() && check.stored.count(file.nvar) != 0) {
            give_back(file.fs, file.index, file.nvar);
        } else {
            const uint32_t status = delete_any(file.fs, file.index);
            if (status != 0 && file.fs == FileSystem::kEfs) {
                need_rebuild = true;  // the rebuild leaves the file out
            } else if (status != 0) {
                add(not_repaired, file_where(file.fs, file.index, names),
                    "removing the unreadable file failed: " + status_text(file.fs, status));
            }
        }
    }
    for (const std::string &nvar : check.rolled_back) {
        const uint32_t number = check.stored.at(nvar).dfs_number;
        give_back(FileSystem::kEfs, number & QUOR_DFS_INDEX_MASK, nvar);
    }
    if ((need_rebuild || !efs_rebuild.empty()) &&
        rebuild_efs(bundle.at(kPieceEfs), efs_rebuild, not_repaired)) {
        reset.insert(reset.end(), efs_rebuild_names.begin(), efs_rebuild_names.end());
    }
    if (check.block_map_fallback && check.rolled_back.empty() && mounted.efs && *mounted.efs == 0) {
        rewrite_one_efs_file(not_repaired);
    }
    if (dfs_context != nullptr) {
        dfs_set_page_size(kDefaultCachePage);  // flushes the write-back cache into mfs.bin
    }
}

}  // namespace quorstore
