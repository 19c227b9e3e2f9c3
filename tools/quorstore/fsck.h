// Checking and repairing a bundle. fsck_bundle computes an FsckReport; the
// tool (cmd_fsck.cpp) and the Python package render it.
//
// What a check covers, in order:
//   1. bundle.json and every piece against it (size, SHA-256);
//   2. the file table (it selects the bundle's SKU, its EFS layout fits
//      efs.bin) and opening the storage: both configuration tables load, and
//      every NVAR with a file is read from it; both configuration tables
//      agree with the file table and with each other (config_tables.h);
//   3. every file of AFS and EFS read in full, named by its file-table entry;
//   4. the EFS block maps: a damaged header or a newest entry that fails its
//      check means the mount fell back to an older state of the region (a
//      bundle's commits are atomic, so that is always damage);
//   5. every NVAR with a file against the last committed value in tavc.cfg
//      (a differing value rolled back or was changed behind the tool's back);
//   6. a trial commit on a copy in memory: "clean" means the next commit
//      succeeds.
//
// Repair (FsckOptions::repair) keeps every value that still reads. An NVAR
// whose file is unreadable or missing gets its last committed value back
// from tavc.cfg, or its vendor default when tavc.cfg has none; each is named
// in `reset`. The repaired bundle is checked again in memory and committed
// atomically only when that check is clean. A clean bundle is never written.
//
// fsck_bundle uses the library's process-wide storage state, like every
// command; it leaves the storage closed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace quorstore {

struct FsckOptions {
    bool repair = false;
};

// One thing found: where (a piece, "AFS file 16 (/home/net/hostname)",
// "NVAR /home/mfg/region", "EFS block map") and what.
struct FsckFinding {
    std::string where;
    std::string what;
};

struct FsckPiece {
    std::string name;
    std::string state;  // piece_state_name()
    uint64_t size = 0;
};

struct FsckFileSystem {
    bool present = false;
    bool mounted = false;
    uint32_t files = 0;       // files with content, read in full
    uint32_t unreadable = 0;  // files whose read failed
};

struct FsckReport {
    std::string bundle;
    // Set when the check could not run (lock held elsewhere, no such
    // folder, a repair's write failed): exit status 8.
    std::string operational_error;
    std::vector<FsckPiece> pieces;
    FsckFileSystem afs;
    FsckFileSystem efs;
    uint32_t nvars = 0;                 // NVARs read through the storage interface
    bool trial_commit = false;          // the trial commit succeeded
    std::vector<FsckFinding> damage;    // found, and not repaired
    std::vector<FsckFinding> repaired;  // found and repaired
    std::vector<std::string> reset;     // NVARs a repair gave a stored value back
    std::vector<std::string> notes;
    std::vector<std::string> written;    // pieces the repair committed
    std::vector<std::string> recovered;  // what opening finished of a commit

    bool clean() const { return damage.empty() && repaired.empty() && operational_error.empty(); }
    // 0 clean, 1 everything repaired, 4 damage left, 8 operational error.
    int exit_status() const;
};

FsckReport fsck_bundle(const std::filesystem::path &folder, const FsckOptions &options);

}  // namespace quorstore
