// File-system calls of the bundle module, each behind the fault seam
// (set_fs_fault_hook), with errno-style results so that every caller can name
// the file and the reason of a failure.
#pragma once

#include <filesystem>
#include <string>

#include "values.h"

namespace quorstore::bundle_io {

namespace fs = std::filesystem;

// The file a piece's bytes live in: the piece itself, or the file its
// symbolic link (chain) names.
fs::path resolve_target(const fs::path &piece_path);

// ".<name>.new" beside `target`.
fs::path staged_path(const fs::path &target);

// Reads a whole file; 0 or an errno value.
int read_file(const fs::path &path, Bytes &out);

// Writes `bytes` to `path` (created or truncated) with `mode`, fsynced and
// closed; 0 or an errno value. A file it created is removed on failure.
int write_synced(const fs::path &path, const Bytes &bytes, unsigned mode);

int rename_file(const fs::path &from, const fs::path &to);
int unlink_file(const fs::path &path);
int sync_folder(const fs::path &folder);

// The permission bits of an existing file, or `fallback`.
unsigned mode_of(const fs::path &path, unsigned fallback);

// Asks the fault hook about one call; 0 lets it run.
int fault(const char *call, const fs::path &path);

}  // namespace quorstore::bundle_io
