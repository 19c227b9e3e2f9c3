// The JSON description of an image, as `quorstore mkimage` reads it and
// `quorstore dump` writes it. The format (version 1) is documented in
// docs/description.md: top-level "version", "sku", "deployed", "afs",
// "efs", "tool_partition", "tool_partition_size", "deploy_marker", "skus"
// (file tables), "nvars" (default and tool values) and "files" (raw files of
// AFS and EFS). Values are "text", {"text": ...}, {"hex": ...} or
// {"path": ...} (relative to the description's folder).
//
// The parser checks everything an image builder would otherwise trip over
// (ranges, duplicates, names of NVARs that are not files of the SKU, values
// longer than their file's max_size) and names the offending field by its
// path, for example "skus[0].files[3].max_size".
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
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

// A raw file: content for file `index` of AFS or EFS.
struct RawFileDescription {
    StorageKind fs = StorageKind::kAfs;  // kAfs or kEfs
    uint16_t index = 0;
    Bytes content;
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
    std::vector<RawFileDescription> files;

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
constexpr uint32_t kAfsMaxFileSize = 262144;
constexpr int kDescriptionVersion = 1;

// "SOURCE:LINE:COLUMN: syntax error ..." for malformed JSON in `text`, or
// "SOURCE: empty, not a JSON document".
std::string json_error_text(const std::string &source, const std::string &text,
                            const nlohmann::json::parse_error &error);

// Parses a description; throws ToolError (code 118) naming `source` and the
// field (or line:column for malformed JSON). `sku_override`, when given,
// replaces the "sku" field. {"path": ...} values are read relative to `base`.
ImageDescription parse_description(const std::string &text, const std::string &source,
                                   std::optional<uint32_t> sku_override = std::nullopt,
                                   const std::filesystem::path &base = {});

// A value as a description holds it: a JSON string when the bytes are UTF-8
// text without NUL, else {"hex": ...}.
nlohmann::json value_json(const Bytes &value);

// The description as JSON (version 1, the fields in the documented order);
// `raw_file` gives the "content" of each raw file (inline, or a path after
// writing the bytes somewhere).
nlohmann::ordered_json description_json(
    const ImageDescription &image,
    const std::function<nlohmann::json(const RawFileDescription &)> &raw_file);

// Reads and parses a description file.
ImageDescription load_description(const std::string &path,
                                  std::optional<uint32_t> sku_override = std::nullopt);

}  // namespace quorstore
