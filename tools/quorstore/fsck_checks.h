// The storage-level checks of fsck (fsck.h, steps 2 to 6) and the repair of
// what they find, on a bundle's pieces in memory.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "bundle.h"
#include "fsck.h"
#include "storage_session.h"

namespace quorstore {

// A file the storage cannot use: unreadable, or missing although an NVAR
// lives in it.
struct BrokenFile {
    FileSystem fs = FileSystem::kAfs;
    uint32_t index = 0;
    std::string nvar;  // empty: a raw file no NVAR uses
    bool missing = false;
};

// The value a repair gives an NVAR back: the last committed one (tavc.cfg)
// or the vendor default.
struct StoredValue {
    Bytes value;
    bool committed = false;  // from tavc.cfg
    bool modifiable = false;
    uint32_t dfs_number = 0;
};

struct StorageCheck {
    FsckFileSystem afs;
    FsckFileSystem efs;
    uint32_t nvars = 0;
    bool trial_commit = false;
    std::vector<FsckFinding> damage;
    std::vector<std::string> notes;

    // What the repair works from.
    std::vector<BrokenFile> broken;
    std::map<std::string, StoredValue> stored;  // NVARs with their stored value
    std::vector<std::string> rolled_back;       // NVARs whose file lost a commit
    bool block_map_fallback = false;
};

// Steps 2 to 6 of fsck.h on copies of the bundle's pieces.
StorageCheck check_storage(const Bundle &bundle, bool trial_commit);

// Fixes in `bundle`'s pieces what `check` found: gives each broken or
// rolled-back NVAR's file its stored value, removes unreadable raw files,
// moves EFS past a damaged block map, and keeps what mounting recovered.
// Names every NVAR it reset in `reset` and what it could not fix in
// `not_repaired`.
void repair_storage(Bundle &bundle, const StorageCheck &check, std::vector<std::string> &reset,
                    std::vector<FsckFinding> &not_repaired);

// The damage findings of the EFS block maps of `efs` (geometry from the
// loaded layout); sets `fallback` when a mount uses an older state.
std::vector<FsckFinding> check_block_maps(const Bytes &efs, bool &fallback);

}  // namespace quorstore
