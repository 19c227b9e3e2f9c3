// quorstore fsck: mount both file systems, read every file, report damage.
//
// Checking works on the bundle's bytes in memory and never writes the bundle
// unless --repair is given; repair keeps what a mount and idle reclaim do to
// the regions (recovered interrupted operations, reclaimed units) and writes
// the regions back when that changed them.
#include <iostream>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "progress.h"
#include "quorstorage/quorstorage.h"

namespace quorstore {

namespace {

using nlohmann::json;

constexpr int32_t kCodeAfsMountFailed = 1;   // "Initialize Error": dfs_init refused the region
constexpr uint32_t kMaxIdleReclaims = 4096;  // bounds a reclaim loop on a damaged volume
constexpr uint32_t kDefaultCachePage = 64;   // the DFS cache page size

struct FsckState {
    std::vector<std::string> damage;
    std::vector<std::string> notes;
    bool afs_mounted = false;
    bool efs_mounted = false;
    uint32_t afs_files = 0;
    uint32_t efs_files = 0;
};

// Opens the tables and mounts through the storage interface; a refusal is
// damage, described by the library's reports.
bool open_tables(Bundle &bundle, FsckState &state, bool &afs_refused) {
    try {
        open_storage(bundle);
        return true;
    } catch (const ToolError &error) {
        for (const Report &r : error.reports()) {
            afs_refused = afs_refused || r.code == kCodeAfsMountFailed;
            state.damage.push_back("storage does not open: " +
                                   format_report(r).substr(sizeof("error: ") - 1));
        }
        return false;
    }
}

// After a failed open, mounts what the storage interface did not.
void mount_remaining(Bundle &bundle, FsckState &state, bool afs_refused) {
    if (bundle.has(kPieceAfs) && !afs_refused) {
        // kaMfsQuorInit leaves a mounted AFS context in place when it fails
        // later; mount here only when it never got that far.
        uint32_t status = 0;
        if (dfs_context == nullptr) {
            Bytes &afs = bundle.at(kPieceAfs);
            status = with_stdout_on_stderr(
                [&afs] { return dfs_init(afs.data(), static_cast<uint32_t>(afs.size())); });
        }
        state.afs_mounted = status == 0;
        if (status != 0) {
            state.damage.push_back("AFS does not mount: " + dfs_status_text(status));
        }
    }
    if (bundle.has(kPieceEfs)) {
        uint32_t status = 0;
        if (EFS_is_initialized() == 0) {
            status = EFS_init_tools(bundle.at(kPieceEfs).data());
        }
        state.efs_mounted = status == 0;
        if (status != 0) {
            state.damage.push_back("EFS does not mount: " + efs_status_text(status));
        }
    }
}

void walk_afs(FsckState &state) {
    for (uint32_t i = 0; i < dfs_context->fileCount; ++i) {
        Bytes bytes;
        const uint32_t status = read_dfs_file(dfs_number(FileSystem::kAfs, i), bytes);
        if (status == 2) {
            continue;
        }
        ++state.afs_files;
        if (status != 0) {
            state.damage.push_back("AFS file " + std::to_string(i) + ": " +
                                   dfs_status_text(status));
        }
    }
}

void walk_efs(FsckState &state) {
    for (uint32_t i = 0; i < g_efs_files_num; ++i) {
        Bytes bytes;
        const uint32_t status = read_efs_file(i, bytes);
        if (status == 2 || status == 22) {
            continue;  // no content, or not in the layout
        }
        ++state.efs_files;
        if (status != 0) {
            state.damage.push_back("EFS file " + std::to_string(i) + ": " +
                                   efs_status_text(status));
        }
    }
}

// Values that a commit would refuse (longer than their file's max_size).
void check_nvar_sizes(FsckState &state) {
    for (const FileTableEntry &e : file_table_entries()) {
        uint8_t *value = nullptr;
        uint32_t size = 0;
        uint32_t max_size = 0;
        if (kamfsCheckNvarExists(e.name.c_str(), static_cast<uint32_t>(NvarTable::kCurrent)) &&
            kaMfsNvarGet(e.name.c_str(), &value, &size, static_cast<uint32_t>(NvarTable::kCurrent),
                         nullptr, &max_size) &&
            size > max_size) {
            state.damage.push_back("NVAR " + e.name + ": value of " + std::to_string(size) +
                                   " bytes is longer than its maximum size " +
                                   std::to_string(max_size));
        }
    }
    take_reports();
}

// Idle reclaim on both file systems, then a cache flush (afs_setcache
// flushes the old cache) so that every change of the mount reaches the region.
void repair(FsckState &state, const Bundle &bundle) {
    if (state.afs_mounted) {
        uint32_t rounds = 0;
        while (dfs_idle_reclaim_needed() != 0 && rounds < kMaxIdleReclaims) {
            const uint32_t status = dfs_idle_reclaim();
            ++rounds;
            if (status != 0) {
                state.damage.push_back("AFS idle reclaim: " + dfs_status_text(status));
                break;
            }
        }
        const uint32_t status = dfs_set_page_size(kDefaultCachePage);
        if (status != 0) {
            state.damage.push_back("AFS cache flush: " + dfs_status_text(status));
        }
        state.notes.push_back("AFS: " + std::to_string(rounds) + " idle reclaims");
    }
    const Bytes *efs_region = bundle.find(kPieceEfs);
    if (state.efs_mounted && efs_region != nullptr) {
        // One call does one unit of work (a block-map erase, a levelling step,
        // a dirty-spare erase): repeat until a call leaves the region as it was.
        uint32_t rounds = 0;
        for (; rounds < kMaxIdleReclaims; ++rounds) {
            const Bytes before = *efs_region;
            const uint32_t status = EFS_idle_reclaim();
            if (status != 0) {
                state.damage.push_back("EFS idle reclaim: " + efs_status_text(status));
                break;
            }
            if (*efs_region == before) {
                break;
            }
        }
        state.notes.push_back("EFS: " + std::to_string(rounds) + " idle reclaims");
    }
}

}  // namespace

int run_fsck(const std::string &folder, bool do_repair, bool as_json) {
    Bundle bundle = load_bundle(folder);
    const Bundle original = bundle;
    FsckState state;
    check_bundle_pieces(bundle);
    StorageCloser closer;
    bool afs_refused = false;
    Progress progress("checking " + folder);
    const bool opened = open_tables(bundle, state, afs_refused);
    if (opened) {
        state.afs_mounted = bundle.has(kPieceAfs);
        state.efs_mounted = bundle.has(kPieceEfs);
    } else {
        mount_remaining(bundle, state, afs_refused);
    }
    if (state.afs_mounted) {
        walk_afs(state);
    }
    if (state.efs_mounted) {
        walk_efs(state);
    }
    if (opened) {
        check_nvar_sizes(state);
    }
    if (do_repair) {
        repair(state, bundle);
    }
    std::set<std::string> changed;
    for (const char *piece : {kPieceAfs, kPieceEfs}) {
        if (bundle.has(piece) && bundle.at(piece) != *original.find(piece)) {
            changed.insert(piece);
        }
    }
    bool written = false;
    if (do_repair && !changed.empty()) {
        save_bundle(bundle, changed);
        written = true;
    } else if (!changed.empty()) {
        state.notes.push_back(
            "mounting changes the regions (recovery or cleanup); --repair "
            "writes that back");
    }
    const bool clean = state.damage.empty();
    if (as_json) {
        json regions = json::array();
        for (const std::string &piece : changed) {
            regions.push_back(piece);
        }
        std::cout << json{{"bundle", folder},
                          {"clean", clean},
                          {"damage", state.damage},
                          {"notes", state.notes},
                          {"afs", {{"mounted", state.afs_mounted}, {"files", state.afs_files}}},
                          {"efs", {{"mounted", state.efs_mounted}, {"files", state.efs_files}}},
                          {"repaired", written ? regions : json::array()}}
                         .dump(2)
                  << "\n";
    } else {
        if (bundle.has(kPieceAfs)) {
            std::cout << "AFS: " << (state.afs_mounted ? "mounted" : "not mounted") << ", "
                      << state.afs_files << " files read\n";
        }
        if (bundle.has(kPieceEfs)) {
            std::cout << "EFS: " << (state.efs_mounted ? "mounted" : "not mounted") << ", "
                      << state.efs_files << " files read\n";
        }
        for (const std::string &d : state.damage) {
            std::cout << "damage: " << d << "\n";
        }
        for (const std::string &n : state.notes) {
            std::cout << "note: " << n << "\n";
        }
        if (written) {
            std::cout << "repaired: wrote";
            for (const std::string &piece : changed) {
                std::cout << " " << piece;
            }
            std::cout << "\n";
        }
        std::cout << (clean ? "clean" : std::to_string(state.damage.size()) + " problems found")
                  << "\n";
    }
    return clean ? kExitOk : kExitDamage;
}

}  // namespace quorstore
