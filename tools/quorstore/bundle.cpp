// Bundles: the manifest and opening (checking every piece, reading through
// or finishing an interrupted commit). The commit itself: bundle_commit.cpp.
#include "bundle.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "bundle_commit.h"
#include "bundle_io.h"
#include "description.h"
#include "errors.h"
#include "piece_checksum.h"

namespace quorstore {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const char kBundleFormat[] = "quorstore-bundle";
const int kBundleVersion = 2;
const int kOldestVersion = 1;

[[noreturn]] void fail_manifest(const fs::path &path, const std::string &what) {
    throw ToolError(kCodeBadJson, path.string() + ": " + what);
}

json parse_manifest(const fs::path &path) {
    Bytes bytes;
    const int error = bundle_io::read_file(path, bytes);
    if (error == ENOENT) {
        throw ToolError(kCodeReadingInput, path.string() + ": missing (not a bundle folder?)");
    }
    if (error != 0) {
        throw ToolError(kCodeReadingInput, path.string() + ": " + std::strerror(error));
    }
    const std::string text(bytes.begin(), bytes.end());
    try {
        return json::parse(text);
    } catch (const json::parse_error &e) {
        throw ToolError(kCodeBadJson, json_error_text(path.string(), text, e));
    }
}

bool is_sha256_hex(const std::string &text) {
    if (text.size() != 64) {
        return false;
    }
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

PieceRecord read_record(const std::string &name, const json &value, int version,
                        const fs::path &path) {
    PieceRecord record;
    if (version == 1) {
        if (!value.is_number_unsigned()) {
            fail_manifest(path, "pieces." + name + ": expected a size in bytes");
        }
        record.size = value.get<uint64_t>();
        return record;
    }
    if (!value.is_object() || !value.contains("size") || !value["size"].is_number_unsigned()) {
        fail_manifest(path, "pieces." + name + ".size: expected a size in bytes");
    }
    if (!value.contains("sha256") || !value["sha256"].is_string() ||
        !is_sha256_hex(value["sha256"].get<std::string>())) {
        fail_manifest(path, "pieces." + name + ".sha256: expected 64 lower-case hex digits");
    }
    record.size = value["size"].get<uint64_t>();
    record.sha256 = value["sha256"].get<std::string>();
    return record;
}

// Fills sku, generation, version and the records from bundle.json.
void read_manifest(Bundle &bundle) {
    const fs::path path = bundle.folder / kBundleJson;
    const json doc = parse_manifest(path);
    if (!doc.is_object() || doc.value("format", std::string()) != kBundleFormat) {
        fail_manifest(path, std::string("format: expected \"") + kBundleFormat + "\"");
    }
    if (!doc.contains("version") || !doc["version"].is_number_unsigned() ||
        doc["version"].get<uint64_t>() < kOldestVersion ||
        doc["version"].get<uint64_t>() > kBundleVersion) {
        fail_manifest(path, "version: expected " + std::to_string(kOldestVersion) + " to " +
                                std::to_string(kBundleVersion));
    }
    bundle.manifest_version = doc["version"].get<int>();
    if (!doc.contains("sku") || !doc["sku"].is_number_unsigned() ||
        doc["sku"].get<uint64_t>() > 0xFFFFFFFFu) {
        fail_manifest(path, "sku: expected an unsigned 32-bit SKU id");
    }
    bundle.sku = doc["sku"].get<uint32_t>();
    if (doc.contains("generation")) {
        if (!doc["generation"].is_number_unsigned()) {
            fail_manifest(path, "generation: expected a commit count");
        }
        bundle.generation = doc["generation"].get<uint64_t>();
    }
    if (!doc.contains("pieces") || !doc["pieces"].is_object()) {
        fail_manifest(path, "pieces: expected an object of file name -> piece");
    }
    for (const auto &item : doc["pieces"].items()) {
        const auto &known = known_pieces();
        if (std::find(known.begin(), known.end(), item.key()) == known.end()) {
            fail_manifest(path, "pieces: unknown piece \"" + item.key() + "\"");
        }
        bundle.records[item.key()] =
            read_record(item.key(), item.value(), bundle.manifest_version, path);
    }
    for (const std::string &name : known_pieces()) {
        if (is_required_piece(name) && bundle.records.count(name) == 0) {
            fail_manifest(path, "pieces: the required piece " + name + " is not listed");
        }
    }
}

bool matches(const PieceRecord &record, const Bytes &bytes, std::string &sha) {
    if (bytes.size() != record.size) {
        return false;
    }
    if (record.sha256.empty()) {
        return true;
    }
    sha = sha256_hex(bytes);
    return sha == record.sha256;
}

std::string size_detail(const PieceRecord &record, size_t found) {
    if (found < record.size) {
        return "truncated: " + std::to_string(found) + " of " + std::to_string(record.size) +
               " bytes";
    }
    return std::to_string(found) + " bytes, bundle.json says " + std::to_string(record.size);
}

// Reads one piece and decides its state; a staged file that matches the
// manifest stands in for a piece a commit did not finish replacing.
void load_piece(Bundle &bundle, const std::string &name, PieceRecord &record, Access access) {
    const fs::path path = bundle.folder / name;
    const fs::path target = bundle_io::resolve_target(path);
    const fs::path staged = bundle_io::staged_path(target);
    Bytes bytes;
    const int error = bundle_io::read_file(target, bytes);
    std::string sha;
    if (error == 0 && matches(record, bytes, sha)) {
        record.state = record.sha256.empty() ? PieceState::kUnchecked : PieceState::kIntact;
        record.actual_sha = sha;
        bundle.pieces[name] = std::move(bytes);
        return;
    }
    Bytes staged_bytes;
    std::string staged_sha;
    if (!record.sha256.empty() && bundle_io::read_file(staged, staged_bytes) == 0 &&
        matches(record, staged_bytes, staged_sha)) {
        record.state = PieceState::kCommitted;
        record.actual_sha = staged_sha;
        bundle.pieces[name] = std::move(staged_bytes);
        if (access == Access::kWrite) {
            const int finished = finish_piece(bundle.folder, staged, target);
            if (finished == 0) {
                bundle.recovered.push_back(name + ": finished an interrupted commit");
                record.state = PieceState::kIntact;
            } else {
                bundle.recovered.push_back(name + ": cannot finish an interrupted commit (" +
                                           std::strerror(finished) + "); read its staged file");
            }
        }
        return;
    }
    if (error != 0) {
        record.read_error = error;
        record.state = error == ENOENT ? PieceState::kMissing : PieceState::kUnreadable;
        std::error_code ec;
        const std::string missing =
            fs::is_symlink(path, ec)
                ? "a link to " + fs::read_symlink(path, ec).string() + ", which does not exist"
                : std::string("missing");
        record.detail = error == ENOENT ? missing + " (bundle.json lists it with " +
                                              std::to_string(record.size) + " bytes)"
                                        : std::string(std::strerror(error));
        return;
    }
    record.actual_sha = sha.empty() ? sha256_hex(bytes) : sha;
    if (bytes.size() != record.size) {
        record.state = PieceState::kWrongSize;
        record.detail = size_detail(record, bytes.size());
    } else {
        record.state = PieceState::kDamaged;
        record.detail = "damaged: its SHA-256 is " + record.actual_sha + ", bundle.json records " +
                        record.sha256;
    }
    bundle.pieces[name] = std::move(bytes);
}

void refuse_damage(const Bundle &bundle) {
    for (const auto &[name, record] : bundle.records) {
        if (!piece_usable(record.state)) {
            throw ToolError(
                record.state == PieceState::kDamaged ? kCodeCorrupted : kCodeReadingInput,
                (bundle.folder / name).string() + ": " + record.detail +
                    (record.state == PieceState::kDamaged
                         ? "; quorstore fsck tells what still reads"
                         : ""));
        }
    }
}

}  // namespace

const std::vector<std::string> &known_pieces() {
    static const std::vector<std::string> pieces = {kPieceFileTable, kPieceVendorCfg, kPieceToolCfg,
                                                    kPieceAfs, kPieceEfs};
    return pieces;
}

bool is_required_piece(const std::string &name) {
    return name == kPieceFileTable || name == kPieceVendorCfg;
}

const char *piece_state_name(PieceState state) {
    switch (state) {
        case PieceState::kIntact:
            return "intact";
        case PieceState::kCommitted:
            return "committed";
        case PieceState::kUnchecked:
            return "unchecked";
        case PieceState::kMissing:
            return "missing";
        case PieceState::kWrongSize:
            return "wrong size";
        case PieceState::kDamaged:
            return "damaged";
        case PieceState::kUnreadable:
            return "unreadable";
    }
    return "?";
}

const Bytes *Bundle::find(const std::string &piece) const {
    auto it = pieces.find(piece);
    return it == pieces.end() ? nullptr : &it->second;
}

std::string not_a_folder_detail(const fs::path &folder) {
    std::error_code ec;
    return folder.string() + (fs::exists(folder, ec)
                                  ? ": not a folder (a bundle is a folder of pieces)"
                                  : ": no such bundle folder");
}

Bundle open_bundle(const fs::path &folder, Access access, Damage damage) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        throw ToolError(kCodeReadingInput, not_a_folder_detail(folder));
    }
    Bundle bundle;
    bundle.folder = folder;
    bundle.lock = std::make_shared<BundleLock>(
        folder, access == Access::kWrite ? LockMode::kExclusive : LockMode::kShared);
    read_manifest(bundle);
    for (auto &[name, record] : bundle.records) {
        load_piece(bundle, name, record, access);
    }
    if (access == Access::kWrite) {
        remove_leftovers(bundle);
    }
    if (damage == Damage::kRefuse) {
        refuse_damage(bundle);
    }
    return bundle;
}

Bundle load_bundle(const fs::path &folder) {
    return open_bundle(folder, Access::kRead);
}

Bundle load_bundle_for_change(const fs::path &folder) {
    return open_bundle(folder, Access::kWrite);
}

std::string bundle_json_text(const Bundle &bundle) {
    json pieces = json::object();
    for (const auto &[name, bytes] : bundle.pieces) {
        pieces[name] = {{"size", bytes.size()}, {"sha256", sha256_hex(bytes)}};
    }
    const json doc = {{"format", kBundleFormat},
                      {"version", kBundleVersion},
                      {"sku", bundle.sku},
                      {"generation", bundle.generation},
                      {"pieces", pieces}};
    return doc.dump(2) + "\n";
}

bool is_bundle_housekeeping(const std::string &file_name) {
    if (file_name == kBundleLockFile || file_name == std::string(".") + kBundleJson + ".new") {
        return true;
    }
    for (const std::string &piece : known_pieces()) {
        if (file_name == "." + piece + ".new") {
            return true;
        }
    }
    return false;
}

}  // namespace quorstore
