// Image bundles: the pieces of one image, one file each, in a folder.
//
//   ftbl.bin     file table buffer (required)
//   ostra.cfg    vendor default configuration table (required)
//   tavc.cfg     the tool's configuration partition (optional)
//   mfs.bin      AFS region (optional)
//   efs.bin      EFS region (optional)
//   bundle.json  the manifest: {"format": "quorstore-bundle", "version": 2,
//                "sku": <id>, "generation": <n>, "pieces": {"<file>":
//                {"size": <bytes>, "sha256": "<hex>"}, ...}}
//   .bundle.lock the lock file (bundle_lock.h)
//
// bundle.json names every piece with its size and SHA-256, so that a
// missing, truncated or damaged piece is named when the bundle is opened.
// Version 1 manifests ({"<file>": <size>}) are still read; their pieces are
// checked by size only until the next commit writes version 2.
//
// Commit protocol. The manifest is the commit record: a commit is visible
// exactly when bundle.json names the new checksums.
//
//   1. Every changed piece is written to a staged file beside its target,
//      ".<target>.new" (a symlinked piece: beside the file the link names),
//      with the target's mode, and fsynced; then its folder is fsynced.
//   2. The new manifest is written to ".bundle.json.new", fsynced, and
//      renamed over bundle.json; the folder is fsynced.      <- commit point
//   3. Every staged file is renamed over its target; the folders are fsynced.
//   4. Pieces the new manifest no longer lists are removed (mkimage --force).
//
// Opening compares every piece with the manifest; a piece that does not
// match, whose staged file does, belongs to a commit that passed its commit
// point: a writer finishes step 3 for it, a reader reads the staged file.
// Staged files of a commit that never reached its commit point match
// nothing the manifest names and are removed by the next writer.
//
//   crash state (killed at any instant)      next open finds                   outcome
//   ---------------------------------------  --------------------------------  ---------------
//   during 1, or before the rename of 2      old manifest, old pieces match,   all old; leftovers
//                                            staged files match nothing        removed by a writer
//   after the rename of 2, before 3 ends     new manifest; some pieces old,    all new; a writer
//                                            their staged files match          finishes the renames
//   after 3, before 4 ends                   new manifest, all pieces match;   all new; stale
//                                            stale pieces of the old one       pieces unused
//   a piece damaged on disk                  neither the piece nor a staged    damage named:
//                                            file matches                      piece + checksums
//
// A commit that fails before its commit point removes its staged files and
// leaves the bundle as it was (ToolError); one that fails after it is
// committed all the same (the next open finishes it) and says so in its
// CommitResult.
//
// The library core here never prints; callers show what it returns.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bundle_lock.h"
#include "values.h"

namespace quorstore {

inline constexpr char kBundleJson[] = "bundle.json";
inline constexpr char kPieceFileTable[] = "ftbl.bin";
inline constexpr char kPieceVendorCfg[] = "ostra.cfg";
inline constexpr char kPieceToolCfg[] = "tavc.cfg";
inline constexpr char kPieceAfs[] = "mfs.bin";
inline constexpr char kPieceEfs[] = "efs.bin";

// The pieces a bundle may hold, in manifest order.
const std::vector<std::string> &known_pieces();
bool is_required_piece(const std::string &name);

enum class Access { kRead, kWrite };

// What opening found for one piece the manifest lists.
enum class PieceState {
    kIntact,      // size and checksum match
    kCommitted,   // the piece was old; its staged file holds the committed bytes
    kUnchecked,   // a version 1 manifest records no checksum; the size matches
    kMissing,     // no such file
    kWrongSize,   // shorter or longer than the manifest says
    kDamaged,     // right size, wrong checksum
    kUnreadable,  // reading failed (EIO, permissions)
};

const char *piece_state_name(PieceState state);
inline bool piece_usable(PieceState s) {
    return s == PieceState::kIntact || s == PieceState::kCommitted || s == PieceState::kUnchecked;
}

struct PieceRecord {
    uint64_t size = 0;   // as the manifest records it
    std::string sha256;  // as the manifest records it; empty in version 1
    PieceState state = PieceState::kIntact;
    std::string actual_sha;  // of the bytes found, when they were read
    std::string detail;      // why the piece is not usable, for messages
    int read_error = 0;      // errno of a read that failed (kMissing, kUnreadable)
};

struct Bundle {
    std::filesystem::path folder;
    uint32_t sku = 0;
    uint64_t generation = 0;
    int manifest_version = 2;
    // Piece bytes by file name: every piece the manifest lists whose bytes
    // could be read (damaged ones included when opened with kTolerateDamage).
    std::map<std::string, Bytes> pieces;
    // What opening found for each piece the manifest lists.
    std::map<std::string, PieceRecord> records;
    // What opening finished or cleaned up of an interrupted commit.
    std::vector<std::string> recovered;
    // Held from opening until the last copy of the bundle is gone.
    std::shared_ptr<BundleLock> lock;

    bool has(const std::string &piece) const { return pieces.count(piece) != 0; }
    // The bytes of a piece; an absent piece is empty.
    Bytes &at(const std::string &piece) { return pieces[piece]; }
    const Bytes *find(const std::string &piece) const;
};

enum class Damage { kRefuse, kTolerate };

// Opens a bundle: takes its lock (shared for kRead, exclusive for kWrite),
// reads bundle.json and every piece and checks them against it, finishing an
// interrupted commit (kWrite) or reading through it (kRead).
//
// Throws ToolError naming the file for a missing folder, a missing or
// malformed bundle.json, and (Damage::kRefuse) the first piece that is not
// usable. With Damage::kTolerate every piece's state is in `records`.
Bundle open_bundle(const std::filesystem::path &folder, Access access,
                   Damage damage = Damage::kRefuse);

// Why `folder` cannot be a bundle folder: "PATH: no such bundle folder", or
// "PATH: not a folder" for a file of that name.
std::string not_a_folder_detail(const std::filesystem::path &folder);

// open_bundle for reading, refusing damage.
Bundle load_bundle(const std::filesystem::path &folder);
// open_bundle for a change, refusing damage.
Bundle load_bundle_for_change(const std::filesystem::path &folder);

struct CommitResult {
    bool complete = true;  // false: committed, but finishing it failed
    std::string note;      // what the next open will finish, when not complete
};

// Commits the pieces named in `changed` (and a new bundle.json) into
// bundle.folder, created when missing, by the protocol above; takes the
// exclusive lock unless `bundle` holds it. Pieces the folder holds but the
// bundle no longer has are removed after the commit when `remove_stale` is
// set. Throws ToolError when the commit failed: then the bundle is unchanged.
CommitResult commit_bundle(Bundle &bundle, const std::set<std::string> &changed,
                           bool remove_stale = false);

// commit_bundle for the commands; an incomplete commit's note is kept for
// take_commit_notes().
void save_bundle(Bundle &bundle, const std::set<std::string> &changed, bool remove_stale = false);
std::vector<std::string> take_commit_notes();

// The bundle.json text of a bundle (version 2, checksums of its bytes).
std::string bundle_json_text(const Bundle &bundle);

// True for the files a bundle folder may hold besides its pieces and
// bundle.json: the lock file and staged files of an interrupted commit.
bool is_bundle_housekeeping(const std::string &file_name);

// Test seam: every file-system call of a commit and of the recovery first
// asks this hook, which may make the call fail with an errno value (non-zero
// return) or end the process. Calls: "open", "write", "fsync", "rename",
// "unlink", "fsync-dir".
using FsFaultHook = std::function<int(const char *call, const std::filesystem::path &path)>;
void set_fs_fault_hook(FsFaultHook hook);

}  // namespace quorstore
