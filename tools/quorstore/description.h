// The JSON description of an image, as `quorstore mkimage` reads it.
//
//   {
//     "sku": 17,                       SKU the bundle is built for (one of skus[].id)
//     "deployed": true,                write the deploy marker and the NVAR files
//     "afs": {"size": 131072, "files": 1024},         optional: no AFS region
//     "efs": {"block_maps": 2, "blocks": 0, "spares": 3, "files": 0,
//             "wear_threshold": 100, "layout_id": 1},  optional: no EFS region
//                                      (blocks/files 0: as many as the files need)
//     "tool_partition": true,          optional: false = no tavc.cfg
//     "tool_partition_size": 0,        optional: pad tavc.cfg with 0xFF to this size
//     "deploy_marker": {"fileno": "0x00ffde01", "index": 0},   optional
//     "skus": [{"id": 17, "files": [
//        {"name": "/home/net/hostname", "fileno": "0x01000010", "attributes": 0,
//         "index": 16, "storage": "afs"|"efs"|"table", "max_size": 64}]}],
//     "nvars": [{"name": "/home/net/hostname",
//                "default": "text" | {"text": "..."} | {"hex": "0a0b"},
//                "tool": <value, optional>}]
//   }
//
// An NVAR is a file of the built SKU that has an entry in "nvars": its default
// goes into the vendor table (ostra.cfg), its tool value, when given, into the
// tool's table (tavc.cfg), and in a deployed image its current value into its
// AFS or EFS file. Files without an "nvars" entry are file-table entries
// only. A "table" file lives in the tables only: it has DFS file number 0 and
// no file in AFS or EFS, so in a deployed image it must carry attribute bit 0
// (read-only), or the commit would refuse it.
//
// Numbers are JSON integers or strings holding decimal or 0x-prefixed hex.
// The parser checks everything an image builder would otherwise trip over
// (ranges, duplicates, names of NVARs that are not files of the SKU, values
// longer than their file's max_size) and names the offending field by its
// path, for example "skus[0].files[3].max_size".
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "values.h"

namespace quorstore {

enum class StorageKind { kAfs, kEfs, kTable };

const char *storage_name(StorageKind kind);

struct FileDescription {
    std::string name;
    uint32_t fileno = 0;
    uint16_t attributes = 0;
    uint16_t index = 0;
    StorageKind storage = StorageKind::kAfs;
    uint32_t max_size = 0;
};

struct EfsLayoutDescription {
    uint32_t block_maps = 2;
    uint32_t blocks = 0;  // 0: as many as the placement of the files needs
    uint32_t spares = 3;
    uint32_t files = 0;  // 0: highest EFS index + 1, at least 16
    uint32_t wear_threshold = 100;
    uint32_t layout_id = 1;
};

struct SkuDescription {
    uint32_t id = 0;
    std::vector<FileDescription> files;
    std::map<std::string, size_t> file_by_name;  // index into files

    const FileDescription *find_file(const std::string &name) const;
};

struct NvarDescription {
    std::string name;
    Bytes default_value;
    std::optional<Bytes> tool_value;
};

struct AfsDescription {
    uint32_t size = 0;
    uint32_t files = 0;
};

struct DeployMarkerDescription {
    uint32_t fileno = 0x00FFDE01;
    uint16_t index = 0;
};

struct ImageDescription {
    uint32_t sku = 0;
    bool deployed = false;
    std::optional<AfsDescription> afs;
    std::optional<EfsLayoutDescription> efs;
    bool tool_partition = true;
    uint32_t tool_partition_size = 0;
    DeployMarkerDescription deploy_marker;
    std::vector<SkuDescription> skus;
    std::vector<NvarDescription> nvars;

    const SkuDescription *find_sku(uint32_t id) const;
};

// Limits the parser enforces (those of the library's formats).
constexpr uint32_t kAfsMinSize = 32768;
constexpr uint32_t kAfsMaxSize = 2097152 - 8192;  // 256 units cannot be mounted
constexpr uint32_t kAfsUnitSize = 8192;
constexpr uint32_t kAfsMinFiles = 65;
constexpr uint32_t kAfsMaxFiles = 2048;
constexpr uint32_t kMaxSkus = 10;
constexpr uint32_t kFileNameBytes = 48;
constexpr uint32_t kMaxValueSize = 0xFFFF - 12;  // a blob's length is 16 bits
constexpr uint32_t kEfsMaxFiles = 2048;

// Parses a description; throws ToolError (code 118) naming `source` and the
// field (or line:column for malformed JSON). `sku_override`, when given,
// replaces the "sku" field.
ImageDescription parse_description(const std::string &text, const std::string &source,
                                   std::optional<uint32_t> sku_override = std::nullopt);

// Reads and parses a description file.
ImageDescription load_description(const std::string &path,
                                  std::optional<uint32_t> sku_override = std::nullopt);

}  // namespace quorstore
