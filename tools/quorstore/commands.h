// The commands of quorstore. Each returns the process exit status or throws
// ToolError; output goes to standard output, progress and errors to standard
// error.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "description.h"
#include "storage_session.h"

namespace quorstore {

struct MkimageOptions {
    std::string description;
    std::string output;
    std::optional<uint32_t> sku;
    bool force = false;
    bool json = false;
};

// How a value is given on the command line: exactly one of the three.
struct ValueSource {
    std::optional<std::string> hex;
    std::optional<std::string> text;
    std::optional<std::string> file;

    bool given() const { return hex || text || file; }
};

enum class ValueFormat { kHex, kRaw, kText };

struct NvarListOptions {
    bool values = false;  // print NAME=VALUE lines (JSON: a "value" per NVAR)
    bool json = false;
};

struct NvarSetOptions {
    std::vector<std::string> assignments;  // NAME=VALUE, or one NAME with `source`
    ValueSource source;
    std::optional<std::string> from;  // a file of NAME=VALUE lines, "-" for standard input
    bool allow_short = false;         // store binary values shorter than the current value
    bool json = false;
};

// One NVAR of a table, as the listing shows it.
struct NvarRow {
    std::string name;
    Bytes value;
    uint32_t max_size = 0;
    bool modifiable = false;
    uint32_t dfs_number = 0;
};

struct DumpOptions {
    std::string bundle;
    std::string output;
    bool force = false;
    bool json = false;
};

struct MapOptions {
    std::string bundle;
    std::optional<std::string> svg;  // draw the map into this file ("-": standard output)
    bool json = false;
};

int run_mkimage(const MkimageOptions &options);
// Builds the bundle of a description into `folder` (what mkimage does,
// without output); `source` names the description in errors. Refuses a
// folder that holds a bundle unless `force`, and one that holds other files.
Bundle build_bundle(const ImageDescription &image, const std::string &source,
                    const std::filesystem::path &folder, bool force);
// Writes OUTPUT/description.json and OUTPUT/files/ for the bundle.
int run_dump(const DumpOptions &options);
// Compares two bundles: 0 equal, 1 different, 2 trouble.
int run_diff(const std::string &a, const std::string &b, bool json);
int run_info(const std::string &bundle, bool json);
// Every AFS unit and EFS block with its state and erase count (region_map.h).
int run_map(const MapOptions &options);
// The NVARs of `table` in file-table order (needs an open storage).
std::vector<NvarRow> list_nvars(NvarTable table);

int run_nvar_list(const std::string &bundle, NvarTable table, const NvarListOptions &options);
int run_nvar_get(const std::string &bundle, const std::string &name, NvarTable table,
                 ValueFormat format, bool json);
// Applies every assignment (NAME=TEXT, NAME:hex=HEX, NAME:file=PATH,
// NAME:u8|u16|u32|u64|i32=NUMBER, and the lines of `from`) in one commit.
int run_nvar_set(const std::string &bundle, const NvarSetOptions &options);
int run_files_ls(FileSystem fs, const std::string &bundle, bool json);
int run_files_cat(FileSystem fs, const std::string &bundle, const std::string &file,
                  ValueFormat format);
int run_files_put(FileSystem fs, const std::string &bundle, const std::string &file,
                  const ValueSource &source);
// Refuses a file that holds an NVAR (or the deploy marker) unless `force`.
int run_files_rm(FileSystem fs, const std::string &bundle, const std::string &file, bool force);
int run_fsck(const std::string &bundle, bool repair, bool json);

// The new tool configuration partition after a commit: the old header (bytes
// 0-7 and 12-15 kept) with the new length, the new FCS buffer, and 0xFF up to
// the old size so that the partition never shrinks below the slot the image
// gave it.
Bytes make_tool_partition(const Bytes *old, const uint8_t *fcs, uint32_t length);

// Reads a value given by --hex, --text or --file; throws ToolError (35, exit
// status 2) when it is malformed, (34) when its file cannot be read.
Bytes read_value(const ValueSource &source);

// Writes a value to standard output as `format`: hex and text end with a
// newline, raw bytes are written as they are. Text is UTF-8 without control
// characters (trailing NULs left out); other bytes throw ToolError naming `label`.
void print_value(const Bytes &value, ValueFormat format, const std::string &label);

// "NAME=TEXT" when the value reads back as the same text, else "NAME:hex=HEX":
// a line `nvar set --from` applies.
std::string assignment_line(const std::string &name, const Bytes &value);

}  // namespace quorstore
