#include "description.h"

#include <cerrno>
#include <cstring>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "errors.h"
#include "quorstorage/quorstorage.h"
#include "values.h"

namespace quorstore {

using nlohmann::json;

namespace {

const char kNamePrefix[] = "/home/";

// Walks a JSON document and reports the first problem with its path.
class Parser {
  public:
    Parser(std::string source, std::filesystem::path base)
        : source_(std::move(source)), base_(std::move(base)) {}

    [[noreturn]] void fail(const std::string &path, const std::string &what) const {
        throw ToolError(kCodeBadJson, source_ + ": " + path + ": " + what);
    }

    const json &member(const json &object, const std::string &path, const char *key) const {
        if (!object.contains(key)) {
            fail(path, std::string("missing field \"") + key + "\"");
        }
        return object.at(key);
    }

    void expect_object(const json &value, const std::string &path,
                       std::initializer_list<const char *> keys) const {
        if (!value.is_object()) {
            fail(path, "expected an object");
        }
        for (const auto &item : value.items()) {
            bool known = false;
            for (const char *key : keys) {
                known = known || item.key() == key;
            }
            if (!known) {
                fail(path, "unknown field \"" + item.key() + "\"");
            }
        }
    }

    uint32_t number(const json &value, const std::string &path, uint64_t max = 0xFFFFFFFFu) const {
        std::optional<uint64_t> parsed;
        if (value.is_number_unsigned()) {
            parsed = value.get<uint64_t>();
        } else if (value.is_string()) {
            if (auto n = parse_u32(value.get<std::string>())) {
                parsed = *n;
            }
        }
        if (!parsed) {
            fail(path, "expected an unsigned number (decimal or \"0x\" hex), got " + value.dump());
        }
        if (*parsed > max) {
            fail(path, std::to_string(*parsed) + " is above the largest allowed value " +
                           std::to_string(max));
        }
        return static_cast<uint32_t>(*parsed);
    }

    uint32_t number_in(const json &value, const std::string &path, uint32_t low,
                       uint32_t high) const {
        const uint32_t n = number(value, path, high);
        if (n < low) {
            fail(path,
                 std::to_string(n) + " is below the smallest allowed value " + std::to_string(low));
        }
        return n;
    }

    std::string string(const json &value, const std::string &path) const {
        if (!value.is_string()) {
            fail(path, "expected a string, got " + value.dump());
        }
        return value.get<std::string>();
    }

    bool boolean(const json &value, const std::string &path) const {
        if (!value.is_boolean()) {
            fail(path, "expected true or false, got " + value.dump());
        }
        return value.get<bool>();
    }

    const json &array(const json &value, const std::string &path) const {
        if (!value.is_array()) {
            fail(path, "expected an array");
        }
        return value;
    }

    // A value: "text", {"text": "..."}, {"hex": "..."} or {"path": "..."};
    // at most `limit` bytes.
    Bytes value_bytes(const json &value, const std::string &path,
                      uint32_t limit = kMaxValueSize) const {
        Bytes bytes;
        if (value.is_string()) {
            bytes = text_bytes(value.get<std::string>());
        } else if (value.is_object() && value.size() == 1 && value.contains("text")) {
            bytes = text_bytes(string(value["text"], path + ".text"));
        } else if (value.is_object() && value.size() == 1 && value.contains("hex")) {
            std::string problem;
            auto hex = parse_hex(string(value["hex"], path + ".hex"), &problem);
            if (!hex) {
                fail(path + ".hex", problem);
            }
            bytes = *hex;
        } else if (value.is_object() && value.size() == 1 && value.contains("path")) {
            bytes = file_bytes(string(value["path"], path + ".path"), path + ".path");
        } else {
            fail(path,
                 "expected a text string, {\"text\": ...}, {\"hex\": ...} or {\"path\": ...}");
        }
        if (bytes.size() > limit) {
            fail(path, plural(bytes.size(), "byte", "bytes") + " is longer than the " +
                           std::to_string(limit) + " bytes it can hold");
        }
        return bytes;
    }

  private:
    Bytes file_bytes(const std::string &name, const std::string &path) const {
        const std::filesystem::path file = base_ / name;
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            fail(path, "cannot read \"" + file.string() + "\"");
        }
        return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    std::string source_;
    std::filesystem::path base_;
};

std::string at(const std::string &path, size_t index) {
    return path + "[" + std::to_string(index) + "]";
}

StorageKind parse_storage(const Parser &p, const json &value, const std::string &path) {
    const std::string name = p.string(value, path);
    if (name == "afs") {
        return StorageKind::kAfs;
    }
    if (name == "efs") {
        return StorageKind::kEfs;
    }
    if (name == "table") {
        return StorageKind::kTable;
    }
    p.fail(path, "expected \"afs\", \"efs\" or \"table\", got \"" + name + "\"");
}

FileDescription parse_file(const Parser &p, const json &value, const std::string &path) {
    p.expect_object(value, path, {"name", "fileno", "attributes", "index", "storage", "max_size"});
    FileDescription file;
    file.name = p.string(p.member(value, path, "name"), path + ".name");
    if (file.name.rfind(kNamePrefix, 0) != 0) {
        p.fail(path + ".name", "\"" + file.name + "\" does not start with \"/home/\"");
    }
    if (file.name.size() > kFileNameBytes) {
        p.fail(path + ".name", "\"" + file.name + "\" is longer than 48 bytes");
    }
    file.fileno = p.number_in(p.member(value, path, "fileno"), path + ".fileno", 1, 0xFFFFFFFFu);
    file.attributes = static_cast<uint16_t>(
        value.contains("attributes") ? p.number(value["attributes"], path + ".attributes", 0xFFFF)
                                     : 0);
    file.storage = parse_storage(p, p.member(value, path, "storage"), path + ".storage");
    const bool table_only = file.storage == StorageKind::kTable;
    file.index = static_cast<uint16_t>(
        value.contains("index") ? p.number(value["index"], path + ".index", 0x7FF) : 0);
    if (table_only && (file.index != 0 || (file.fileno >> 28) != 0)) {
        p.fail(path, "a \"table\" file has index 0 and a fileno whose top nibble is 0");
    }
    // The deploy marker may sit at AFS file number 0: only NVAR lookups treat 0 as "no file".
    if (file.storage == StorageKind::kAfs && file.index == 0 && (file.fileno >> 28) == 0 &&
        file.name != QUOR_DEPLOY_MARKER_PATH) {
        p.fail(path + ".index",
               "AFS index 0 with tag nibble 0 is file number 0, which means \"no file\"; "
               "use storage \"table\" or another index");
    }
    const uint32_t max_limit = file.storage == StorageKind::kEfs ? 0xFFFF : kMaxValueSize;
    file.max_size = p.number(p.member(value, path, "max_size"), path + ".max_size", max_limit);
    return file;
}

EfsLayoutDescription parse_efs_layout(const Parser &p, const json &value, const std::string &path) {
    p.expect_object(value, path,
                    {"block_maps", "blocks", "spares", "files", "wear_threshold", "layout_id"});
    EfsLayoutDescription efs;
    auto field = [&](const char *key, uint32_t &out, uint32_t low, uint32_t high) {
        if (value.contains(key)) {
            out = p.number_in(value[key], path + "." + key, low, high);
        }
    };
    field("block_maps", efs.block_maps, 2, 8);
    field("blocks", efs.blocks, 0, 64);
    field("spares", efs.spares, 1, 64);
    field("files", efs.files, 0, kEfsMaxFiles);
    field("wear_threshold", efs.wear_threshold, 1, 0xFFFFFFFFu);
    field("layout_id", efs.layout_id, 0, 0xFF);
    return efs;
}

void check_unique_files(const Parser &p, const SkuDescription &sku, const std::string &path,
                        const std::optional<AfsDescription> &afs,
                        const std::optional<EfsLayoutDescription> &efs) {
    std::map<std::string, size_t> names;
    std::map<uint32_t, size_t> filenos;
    std::map<std::pair<int, uint32_t>, size_t> places;
    for (size_t i = 0; i < sku.files.size(); ++i) {
        const FileDescription &f = sku.files[i];
        const std::string fpath = at(path + ".files", i);
        if (!names.emplace(f.name, i).second) {
            p.fail(fpath + ".name", "\"" + f.name + "\" is already the name of " +
                                        at(path + ".files", names[f.name]));
        }
        if (!filenos.emplace(f.fileno, i).second) {
            p.fail(fpath + ".fileno", hex_number(f.fileno) + " is already the fileno of " +
                                          at(path + ".files", filenos[f.fileno]));
        }
        if (f.storage == StorageKind::kTable) {
            continue;
        }
        const auto place = std::make_pair(static_cast<int>(f.storage), uint32_t{f.index});
        if (!places.emplace(place, i).second) {
            p.fail(fpath + ".index", std::string(storage_name(f.storage)) + " index " +
                                         std::to_string(f.index) + " is already used by " +
                                         at(path + ".files", places[place]));
        }
        if (f.storage == StorageKind::kAfs) {
            if (!afs) {
                p.fail(fpath + ".storage", "the image has no AFS region (no \"afs\" field)");
            }
            if (f.index >= afs->files) {
                p.fail(fpath + ".index", "AFS index " + std::to_string(f.index) +
                                             " is not below afs.files " +
                                             std::to_string(afs->files));
            }
        }
        if (f.storage == StorageKind::kEfs) {
            if (!efs) {
                p.fail(fpath + ".storage", "the image has no EFS region (no \"efs\" field)");
            }
            if (efs->files != 0 && f.index >= efs->files) {
                p.fail(fpath + ".index", "EFS index " + std::to_string(f.index) +
                                             " is not below efs.files " +
                                             std::to_string(efs->files));
            }
        }
    }
}

SkuDescription parse_sku(const Parser &p, const json &value, const std::string &path,
                         const ImageDescription &image) {
    p.expect_object(value, path, {"id", "files"});
    SkuDescription sku;
    sku.id = p.number(p.member(value, path, "id"), path + ".id");
    const json &files = p.array(p.member(value, path, "files"), path + ".files");
    for (size_t i = 0; i < files.size(); ++i) {
        sku.files.push_back(parse_file(p, files[i], at(path + ".files", i)));
    }
    check_unique_files(p, sku, path, image.afs, image.efs);
    for (size_t i = 0; i < sku.files.size(); ++i) {
        sku.file_by_name.emplace(sku.files[i].name, i);
    }
    return sku;
}

AfsDescription parse_afs(const Parser &p, const json &value, const std::string &path) {
    p.expect_object(value, path, {"size", "files"});
    AfsDescription afs;
    afs.size = p.number_in(p.member(value, path, "size"), path + ".size", kAfsMinSize, kAfsMaxSize);
    if (afs.size % kAfsUnitSize != 0) {
        p.fail(path + ".size", std::to_string(afs.size) + " is not a multiple of 8192");
    }
    afs.files =
        p.number_in(p.member(value, path, "files"), path + ".files", kAfsMinFiles, kAfsMaxFiles);
    return afs;
}

NvarDescription parse_nvar(const Parser &p, const json &value, const std::string &path,
                           const SkuDescription &sku) {
    p.expect_object(value, path, {"name", "default", "tool"});
    NvarDescription nvar;
    nvar.name = p.string(p.member(value, path, "name"), path + ".name");
    const FileDescription *file = sku.find_file(nvar.name);
    if (file == nullptr) {
        p.fail(path + ".name", "\"" + nvar.name + "\" is not a file of SKU " + hex_number(sku.id));
    }
    nvar.default_value = p.value_bytes(p.member(value, path, "default"), path + ".default");
    if (value.contains("tool")) {
        nvar.tool_value = p.value_bytes(value["tool"], path + ".tool");
    }
    auto check_size = [&](const Bytes &bytes, const std::string &where) {
        if (bytes.size() > file->max_size) {
            p.fail(where, std::to_string(bytes.size()) + " bytes is longer than max_size " +
                              std::to_string(file->max_size) + " of " + nvar.name);
        }
    };
    check_size(nvar.default_value, path + ".default");
    if (nvar.tool_value) {
        check_size(*nvar.tool_value, path + ".tool");
    }
    return nvar;
}

RawFileDescription parse_raw_file(const Parser &p, const json &value, const std::string &path,
                                  const ImageDescription &image, const SkuDescription &sku) {
    p.expect_object(value, path, {"fs", "index", "content"});
    RawFileDescription file;
    const std::string fs = p.string(p.member(value, path, "fs"), path + ".fs");
    if (fs != "afs" && fs != "efs") {
        p.fail(path + ".fs", "expected \"afs\" or \"efs\", got \"" + fs + "\"");
    }
    file.fs = fs == "efs" ? StorageKind::kEfs : StorageKind::kAfs;
    file.index =
        static_cast<uint16_t>(p.number(p.member(value, path, "index"), path + ".index", 0x7FF));
    uint32_t limit = kAfsMaxFileSize;
    if (file.fs == StorageKind::kAfs) {
        if (!image.afs) {
            p.fail(path + ".fs", "the image has no AFS region (no \"afs\" field)");
        }
        if (file.index >= image.afs->files) {
            p.fail(path + ".index", "AFS index " + std::to_string(file.index) +
                                        " is not below afs.files " +
                                        std::to_string(image.afs->files));
        }
    } else {
        if (!image.efs) {
            p.fail(path + ".fs", "the image has no EFS region (no \"efs\" field)");
        }
        // An EFS file exists only where the SKU's layout places one.
        const FileDescription *placed = nullptr;
        for (const FileDescription &f : sku.files) {
            if (f.storage == StorageKind::kEfs && f.index == file.index) {
                placed = &f;
            }
        }
        if (placed == nullptr) {
            p.fail(path + ".index", "EFS index " + std::to_string(file.index) +
                                        " is not an EFS file of SKU " + hex_number(sku.id));
        }
        limit = placed->max_size;
    }
    file.content = p.value_bytes(p.member(value, path, "content"), path + ".content", limit);
    return file;
}

void parse_raw_files(const Parser &p, const json &files, ImageDescription &image,
                     const SkuDescription &sku) {
    std::map<std::pair<int, uint16_t>, size_t> seen;
    for (size_t i = 0; i < files.size(); ++i) {
        image.files.push_back(parse_raw_file(p, files[i], at("files", i), image, sku));
        const RawFileDescription &f = image.files.back();
        const auto key = std::make_pair(static_cast<int>(f.fs), f.index);
        if (!seen.emplace(key, i).second) {
            p.fail(at("files", i) + ".index", std::string(storage_name(f.fs)) + " index " +
                                                  std::to_string(f.index) + " is already " +
                                                  at("files", seen[key]));
        }
    }
}

// The image builder adds the deploy marker's entry to every SKU that does not
// list it; that entry must not share a fileno or an AFS index with a listed file.
void check_deploy_marker_entry(const Parser &p, const ImageDescription &image) {
    for (size_t s = 0; s < image.skus.size(); ++s) {
        const SkuDescription &sku = image.skus[s];
        if (sku.find_file(QUOR_DEPLOY_MARKER_PATH) != nullptr) {
            continue;
        }
        for (size_t i = 0; i < sku.files.size(); ++i) {
            const FileDescription &f = sku.files[i];
            const bool same_index =
                f.storage == StorageKind::kAfs && f.index == image.deploy_marker.index;
            if (f.fileno == image.deploy_marker.fileno || same_index) {
                p.fail("deploy_marker", std::string("the deploy marker's entry (fileno ") +
                                            hex_number(image.deploy_marker.fileno) +
                                            ", AFS index " +
                                            std::to_string(image.deploy_marker.index) +
                                            ") collides with " + at(at("skus", s) + ".files", i));
            }
        }
    }
}

std::string line_column(const std::string &text, size_t byte) {
    size_t line = 1;
    size_t column = 1;
    for (size_t i = 0; i < byte && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return std::to_string(line) + ":" + std::to_string(column);
}

}  // namespace

const char *storage_name(StorageKind kind) {
    switch (kind) {
        case StorageKind::kAfs:
            return "AFS";
        case StorageKind::kEfs:
            return "EFS";
        case StorageKind::kTable:
            return "table";
    }
    return "?";
}

const FileDescription *SkuDescription::find_file(const std::string &name) const {
    auto it = file_by_name.find(name);
    return it == file_by_name.end() ? nullptr : &files[it->second];
}

const SkuDescription *ImageDescription::find_sku(uint32_t id) const {
    for (const SkuDescription &s : skus) {
        if (s.id == id) {
            return &s;
        }
    }
    return nullptr;
}

std::string json_error_text(const std::string &source, const std::string &text,
                            const json::parse_error &error) {
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
        return source + ": empty, not a JSON document";
    }
    // error.byte is one past the offending character.
    const size_t byte = error.byte > 0 ? error.byte - 1 : 0;
    const std::string what = error.what();
    const auto colon = what.find("syntax error");
    return source + ":" + line_column(text, byte) + ": " +
           (colon == std::string::npos ? what : what.substr(colon));
}

ImageDescription parse_description(const std::string &text, const std::string &source,
                                   std::optional<uint32_t> sku_override,
                                   const std::filesystem::path &base) {
    json doc;
    try {
        doc = json::parse(text);
    } catch (const json::parse_error &e) {
        throw ToolError(kCodeBadJson, json_error_text(source, text, e));
    }
    const Parser p(source, base);
    p.expect_object(doc, "(top)",
                    {"version", "sku", "deployed", "afs", "efs", "tool_partition",
                     "tool_partition_size", "deploy_marker", "skus", "nvars", "files"});
    if (doc.contains("version") &&
        p.number(doc["version"], "version") != static_cast<uint32_t>(kDescriptionVersion)) {
        p.fail("version", doc["version"].dump() +
                              " is not supported: this quorstore reads version " +
                              std::to_string(kDescriptionVersion));
    }
    ImageDescription image;
    if (doc.contains("afs")) {
        image.afs = parse_afs(p, doc["afs"], "afs");
    }
    if (doc.contains("efs")) {
        image.efs = parse_efs_layout(p, doc["efs"], "efs");
    }
    if (doc.contains("tool_partition")) {
        image.tool_partition = p.boolean(doc["tool_partition"], "tool_partition");
    }
    if (doc.contains("tool_partition_size")) {
        image.tool_partition_size = p.number(doc["tool_partition_size"], "tool_partition_size");
    }
    if (doc.contains("deploy_marker")) {
        const json &marker = doc["deploy_marker"];
        p.expect_object(marker, "deploy_marker", {"fileno", "index"});
        image.deploy_marker.fileno =
            p.number(p.member(marker, "deploy_marker", "fileno"), "deploy_marker.fileno");
        image.deploy_marker.index = static_cast<uint16_t>(
            p.number(p.member(marker, "deploy_marker", "index"), "deploy_marker.index", 0x7FF));
    }
    image.deployed = doc.contains("deployed") && p.boolean(doc["deployed"], "deployed");
    const json &skus = p.array(p.member(doc, "(top)", "skus"), "skus");
    if (skus.empty() || skus.size() > kMaxSkus) {
        p.fail("skus", "expected 1 to 10 SKUs, got " + std::to_string(skus.size()));
    }
    std::set<uint32_t> ids;
    for (size_t i = 0; i < skus.size(); ++i) {
        image.skus.push_back(parse_sku(p, skus[i], at("skus", i), image));
        if (!ids.insert(image.skus.back().id).second) {
            p.fail(at("skus", i) + ".id",
                   "SKU " + hex_number(image.skus.back().id) + " is listed twice");
        }
    }
    image.sku = sku_override ? *sku_override : p.number(p.member(doc, "(top)", "sku"), "sku");
    const SkuDescription *sku = image.find_sku(image.sku);
    if (sku == nullptr) {
        std::string known;
        for (uint32_t id : ids) {
            known += (known.empty() ? "" : ", ") + hex_number(id);
        }
        p.fail(sku_override ? "--sku" : "sku",
               "SKU " + hex_number(image.sku) + " is not among skus[] (" + known + ")");
    }
    if (doc.contains("nvars")) {
        const json &nvars = p.array(doc["nvars"], "nvars");
        std::set<std::string> names;
        for (size_t i = 0; i < nvars.size(); ++i) {
            image.nvars.push_back(parse_nvar(p, nvars[i], at("nvars", i), *sku));
            if (!names.insert(image.nvars.back().name).second) {
                p.fail(at("nvars", i) + ".name",
                       "\"" + image.nvars.back().name + "\" is listed twice");
            }
        }
    }
    if (image.deployed) {
        for (size_t i = 0; i < image.nvars.size(); ++i) {
            const FileDescription *file = sku->find_file(image.nvars[i].name);
            // A commit writes every NVAR without attribute bit 0 to its file, and
            // refuses file number 0: such an NVAR would make every commit fail.
            if (file->storage == StorageKind::kTable && (file->attributes & 1u) == 0) {
                p.fail(at("nvars", i),
                       "\"" + file->name +
                           "\" is a \"table\" file of a deployed image: it "
                           "needs attribute bit 0 (read-only), or every commit fails");
            }
        }
    }
    if (doc.contains("files")) {
        parse_raw_files(p, p.array(doc["files"], "files"), image, *sku);
    }
    check_deploy_marker_entry(p, image);
    if (image.deployed && !image.afs) {
        p.fail("deployed", "a deployed image needs an \"afs\" region for its deploy marker");
    }
    const FileDescription *marker = sku->find_file(QUOR_DEPLOY_MARKER_PATH);
    if (marker != nullptr && marker->storage != StorageKind::kAfs) {
        p.fail("skus", std::string("the deploy marker \"") + QUOR_DEPLOY_MARKER_PATH +
                           "\" must be stored on AFS");
    }
    return image;
}

ImageDescription load_description(const std::string &path, std::optional<uint32_t> sku_override) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        throw ToolError(kCodeReadingInput, path + ": a folder, not a description file");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ToolError(kCodeReadingInput,
                        path + ": cannot open the description: " + std::strerror(errno));
    }
    std::ostringstream text;
    text << in.rdbuf();
    return parse_description(text.str(), path, sku_override,
                             std::filesystem::path(path).parent_path());
}

json value_json(const Bytes &value) {
    if (auto text = readable_text(value); text && text->size() == value.size()) {
        return *text;
    }
    return json{{"hex", to_hex(value)}};
}

namespace {

nlohmann::ordered_json file_json(const FileDescription &f) {
    nlohmann::ordered_json j = {{"name", f.name}, {"fileno", hex_number(f.fileno)}};
    if (f.attributes != 0) {
        j["attributes"] = f.attributes;
    }
    j["storage"] = f.storage == StorageKind::kEfs   ? "efs"
                   : f.storage == StorageKind::kAfs ? "afs"
                                                    : "table";
    if (f.storage != StorageKind::kTable) {
        j["index"] = f.index;
    }
    j["max_size"] = f.max_size;
    return j;
}

}  // namespace

nlohmann::ordered_json description_json(
    const ImageDescription &image,
    const std::function<json(const RawFileDescription &)> &raw_file) {
    // ordered_json keeps the documented field order; the dump stays readable.
    nlohmann::ordered_json doc;
    doc["version"] = kDescriptionVersion;
    doc["sku"] = image.sku;
    doc["deployed"] = image.deployed;
    if (image.afs) {
        doc["afs"] = {{"size", image.afs->size}, {"files", image.afs->files}};
    }
    if (image.efs) {
        const EfsLayoutDescription &e = *image.efs;
        doc["efs"] = {{"block_maps", e.block_maps},
                      {"blocks", e.blocks},
                      {"spares", e.spares},
                      {"files", e.files},
                      {"wear_threshold", e.wear_threshold},
                      {"layout_id", e.layout_id}};
    }
    doc["tool_partition"] = image.tool_partition;
    doc["tool_partition_size"] = image.tool_partition_size;
    doc["deploy_marker"] = {{"fileno", hex_number(image.deploy_marker.fileno)},
                            {"index", image.deploy_marker.index}};
    nlohmann::ordered_json skus = nlohmann::ordered_json::array();
    for (const SkuDescription &sku : image.skus) {
        nlohmann::ordered_json files = nlohmann::ordered_json::array();
        for (const FileDescription &f : sku.files) {
            files.push_back(file_json(f));
        }
        skus.push_back({{"id", sku.id}, {"files", files}});
    }
    doc["skus"] = skus;
    nlohmann::ordered_json nvars = nlohmann::ordered_json::array();
    for (const NvarDescription &n : image.nvars) {
        nlohmann::ordered_json j = {{"name", n.name}, {"default", value_json(n.default_value)}};
        if (n.tool_value) {
            j["tool"] = value_json(*n.tool_value);
        }
        nvars.push_back(j);
    }
    doc["nvars"] = nvars;
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    for (const RawFileDescription &f : image.files) {
        files.push_back({{"fs", f.fs == StorageKind::kEfs ? "efs" : "afs"},
                         {"index", f.index},
                         {"content", raw_file(f)}});
    }
    doc["files"] = files;
    return doc;
}

}  // namespace quorstore
