// The commands of quorstore. Each returns the process exit status or throws
// ToolError; output goes to standard output, progress and errors to standard
// error.
#pragma once

#include <cstdint>
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

int run_mkimage(const MkimageOptions &options);
// Builds the bundle of a description into `folder` (what mkimage does,
// without output); `source` names the description in errors. Refuses a
// folder that holds a bundle unless `force`, and one that holds other files.
Bundle build_bundle(const ImageDescription &image, const std::string &source,
                    const std::filesystem::path &folder, bool force);
int run_info(const std::string &bundle, bool json);
int run_nvar_list(const std::string &bundle, NvarTable table, bool json);
int run_nvar_get(const std::string &bundle, const std::string &name, NvarTable table,
                 ValueFormat format, bool json);
// `assignments`: one NAME with `source`, or NAME=VALUE pairs (VALUE text;
// NAME:hex=HEX and NAME:file=PATH for the other forms).
int run_nvar_set(const std::string &bundle, const std::vector<std::string> &assignments,
                 const ValueSource &source, bool json);
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

// Reads a value given by --hex, --text or --file; throws ToolError (35) when
// it is malformed or unreadable.
Bytes read_value(const ValueSource &source);

}  // namespace quorstore
