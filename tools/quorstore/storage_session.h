// An open storage on the pieces of a bundle, through the library's exported
// interface (kaMfsQuorInit and friends, DFS, EFS entry points).
//
// The library keeps process-wide state, so one session exists at a time. The
// AFS and EFS regions are used in place inside the bundle's piece vectors:
// after a successful change the caller saves those pieces; after a failure it
// simply does not, and the bundle on disk stays as it was.
//
// Every report the library makes through its status callback is collected;
// take_reports() hands them out (and clears the list) so a failure can be
// shown as the library explained it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bundle.h"
#include "errors.h"
#include "quorstorage/quorstorage.h"

namespace quorstore {

// Table identifiers of the storage interface.
enum class NvarTable : uint32_t {
    kVendor = QUOR_TABLE_VENDOR,
    kTool = QUOR_TABLE_TOOL,
    kCurrent = QUOR_TABLE_CURRENT,
};

enum class FileSystem { kAfs, kEfs };

uint32_t dfs_number(FileSystem fs, uint32_t index);
const char *file_system_name(FileSystem fs);

// One entry of the selected SKU's file table, as the tool shows it.
struct FileTableEntry {
    std::string name;
    uint32_t fileno = 0;
    uint16_t attributes = 0;
    uint16_t file_index = 0;
    uint8_t storage = 0;
    uint32_t max_size = 0;
    uint32_t dfs_number = 0;  // what pathToFileNumber answers; 0 = "table only"
};

// The library's status callback; appends to the collected reports.
void collect_report(int32_t level, int32_t code, const char *text, const char *detail);
std::vector<Report> take_reports();

// Checks the bundle's pieces against each other before anything is mounted:
// the file table buffer must select the bundle's SKU, and efs.bin must be as
// large as that SKU's EFS layout says. Loads the SKU's file table and EFS
// layout (load_file_table). Throws ToolError naming the piece.
void check_bundle_pieces(Bundle &bundle);

// The SKU ids listed in a file table buffer (empty when it is not one).
std::vector<uint32_t> file_table_skus(const Bytes &file_table);

// Opens the storage (kaMfsQuorInit) on the bundle; throws ToolError with the
// library's reports when it refuses, followed by one report for each file of
// the file table that cannot be read (unusable_nvar_files).
void open_storage(Bundle &bundle);

// Closes the storage, mounts copies of the bundle's regions directly and
// reads every file the file table names: one report (code 267) naming the
// file system, the file and its NVAR for each file that fails or, in a
// deployed image, is missing.
std::vector<Report> unusable_nvar_files(const Bundle &bundle);

// Closes whatever storage is open when it goes out of scope, so that the
// library releases its tables. Closing commits the current values into the
// regions again (kaMfsNvarTerm(false) is the only way to close), so a command
// that saves regions takes its copy of them before the closer runs; a failed
// close is ignored, the command's result stands.
class StorageCloser {
  public:
    StorageCloser() = default;
    ~StorageCloser();
    StorageCloser(const StorageCloser &) = delete;
    StorageCloser &operator=(const StorageCloser &) = delete;
};

// The entries of the selected file table, in table order.
std::vector<FileTableEntry> file_table_entries();

// Throws ToolError with the collected reports (or one tool report with
// `fallback_code` when the library reported nothing).
[[noreturn]] void fail_with_reports(const std::string &context, int32_t fallback_code);

// Mounts the file systems of the bundle directly (dfs_init on mfs.bin,
// EFS_init_tools on efs.bin) without opening the configuration tables;
// check_bundle_pieces runs first. A missing piece leaves its status unset.
struct MountStatus {
    std::optional<uint32_t> afs;
    std::optional<uint32_t> efs;
};
MountStatus mount_file_systems(Bundle &bundle);

// Reads a whole file through DFS; status 0 on success.
uint32_t read_dfs_file(uint32_t number, Bytes &out);

// Reads a whole EFS file through the EFS entry points; status 0 on success.
uint32_t read_efs_file(uint32_t index, Bytes &out);

// A DFS or EFS status as words ("status 2 (no such file ...)").
std::string dfs_status_text(uint32_t status);
std::string efs_status_text(uint32_t status);

}  // namespace quorstore
