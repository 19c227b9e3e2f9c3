// Image bundles: the pieces of one image, one file each, in a folder.
//
//   ftbl.bin    file table buffer (required)
//   ostra.cfg   vendor default configuration table (required)
//   tavc.cfg    the tool's configuration partition (optional)
//   mfs.bin     AFS region (optional)
//   efs.bin     EFS region (optional)
//   bundle.json {"format": "quorstore-bundle", "version": 1, "sku": <id>,
//                "pieces": {"<file>": <size in bytes>, ...}}
//
// bundle.json lists every piece with its size, so a missing or truncated
// piece is named when the bundle is loaded. Saving writes each new piece to
// a temporary file in the same folder and renames it over the old one only
// after every temporary file has been written, bundle.json last; a failure
// before the renames removes the temporary files and leaves the bundle as it was.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "values.h"

namespace quorstore {

extern const char kBundleJson[];
extern const char kPieceFileTable[];
extern const char kPieceVendorCfg[];
extern const char kPieceToolCfg[];
extern const char kPieceAfs[];
extern const char kPieceEfs[];

struct Bundle {
    std::filesystem::path folder;
    uint32_t sku = 0;
    std::map<std::string, Bytes> pieces;  // by file name

    bool has(const std::string &piece) const { return pieces.count(piece) != 0; }
    // The bytes of a piece; an absent piece is empty.
    Bytes &at(const std::string &piece) { return pieces[piece]; }
    const Bytes *find(const std::string &piece) const;
};

// Reads a bundle; a missing folder, bundle.json or piece, a piece of another
// size than bundle.json records, or a malformed bundle.json throws ToolError
// naming the file.
Bundle load_bundle(const std::filesystem::path &folder);

// Writes the pieces named in `changed` and bundle.json into bundle.folder,
// which is created when missing. Pieces the folder holds but the bundle no
// longer has are removed after the renames when `remove_stale` is set.
void save_bundle(const Bundle &bundle, const std::set<std::string> &changed,
                 bool remove_stale = false);

// The bundle.json text of a bundle.
std::string bundle_json_text(const Bundle &bundle);

}  // namespace quorstore
