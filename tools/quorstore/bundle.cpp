#include "bundle.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "errors.h"

namespace quorstore {

namespace fs = std::filesystem;
using nlohmann::json;

const char kBundleJson[] = "bundle.json";
const char kPieceFileTable[] = "ftbl.bin";
const char kPieceVendorCfg[] = "ostra.cfg";
const char kPieceToolCfg[] = "tavc.cfg";
const char kPieceAfs[] = "mfs.bin";
const char kPieceEfs[] = "efs.bin";

namespace {

const char kBundleFormat[] = "quorstore-bundle";
const int kBundleVersion = 1;

struct PieceKind {
    const char *file;
    bool required;
};

const PieceKind kPieceKinds[] = {
    {kPieceFileTable, true}, {kPieceVendorCfg, true}, {kPieceToolCfg, false},
    {kPieceAfs, false},      {kPieceEfs, false},
};

bool is_known_piece(const std::string &name) {
    for (const PieceKind &kind : kPieceKinds) {
        if (name == kind.file) {
            return true;
        }
    }
    return false;
}

Bytes read_file_bytes(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ToolError(kCodeReadingInput, path.string() + ": " + std::strerror(errno));
    }
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw ToolError(kCodeReadingInput, path.string() + ": read failed");
    }
    return bytes;
}

json parse_bundle_json(const fs::path &path) {
    if (!fs::exists(path)) {
        throw ToolError(kCodeReadingInput, path.string() + ": missing (not a bundle folder?)");
    }
    const Bytes bytes = read_file_bytes(path);
    try {
        return json::parse(bytes.begin(), bytes.end());
    } catch (const json::parse_error &e) {
        throw ToolError(kCodeBadJson, path.string() + ": " + e.what());
    }
}

void fail_bundle_json(const fs::path &path, const std::string &what) {
    throw ToolError(kCodeBadJson, path.string() + ": " + what);
}

// Reads the "pieces" object: file name -> expected size.
std::map<std::string, uint64_t> read_piece_sizes(const json &doc, const fs::path &path) {
    if (!doc.contains("pieces") || !doc["pieces"].is_object()) {
        fail_bundle_json(path, "pieces: expected an object of file name -> size");
    }
    std::map<std::string, uint64_t> sizes;
    for (const auto &item : doc["pieces"].items()) {
        if (!is_known_piece(item.key())) {
            fail_bundle_json(path, "pieces: unknown piece \"" + item.key() + "\"");
        }
        if (!item.value().is_number_unsigned()) {
            fail_bundle_json(path, "pieces." + item.key() + ": expected a size in bytes");
        }
        sizes[item.key()] = item.value().get<uint64_t>();
    }
    for (const PieceKind &kind : kPieceKinds) {
        if (kind.required && sizes.count(kind.file) == 0) {
            fail_bundle_json(
                path, std::string("pieces: the required piece ") + kind.file + " is not listed");
        }
    }
    return sizes;
}

Bytes load_piece(const fs::path &path, uint64_t expected) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        throw ToolError(kCodeReadingInput, path.string() + ": missing (bundle.json lists it with " +
                                               std::to_string(expected) + " bytes)");
    }
    Bytes bytes = read_file_bytes(path);
    if (bytes.size() < expected) {
        throw ToolError(kCodeReadingInput, path.string() +
                                               ": truncated: " + std::to_string(bytes.size()) +
                                               " of " + std::to_string(expected) + " bytes");
    }
    if (bytes.size() > expected) {
        throw ToolError(kCodeReadingInput, path.string() + ": " + std::to_string(bytes.size()) +
                                               " bytes, bundle.json says " +
                                               std::to_string(expected));
    }
    return bytes;
}

// A temporary file beside its target, removed unless committed.
class StagedFile {
  public:
    StagedFile(fs::path target, const Bytes &bytes) : target_(std::move(target)) {
        temp_ = target_.parent_path() /
                ("." + target_.filename().string() + ".tmp." + std::to_string(::getpid()));
        write(bytes);
    }
    StagedFile(const StagedFile &) = delete;
    StagedFile &operator=(const StagedFile &) = delete;
    ~StagedFile() {
        if (!committed_) {
            std::error_code ec;
            fs::remove(temp_, ec);
        }
    }

    void commit() {
        std::error_code ec;
        fs::rename(temp_, target_, ec);
        if (ec) {
            throw ToolError(kCodeWriteOutput, target_.string() + ": " + ec.message());
        }
        committed_ = true;
    }

  private:
    void write(const Bytes &bytes) {
        const int fd = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            throw ToolError(kCodeWriteOutput, temp_.string() + ": " + std::strerror(errno));
        }
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                const int saved = errno;
                ::close(fd);
                throw ToolError(kCodeWriteOutput, temp_.string() + ": " + std::strerror(saved));
            }
            done += static_cast<size_t>(n);
        }
        // The data must be on disk before the rename makes it the piece.
        const bool synced = ::fsync(fd) == 0;
        const int saved = errno;
        if (::close(fd) != 0 || !synced) {
            throw ToolError(kCodeWriteOutput, temp_.string() + ": " + std::strerror(saved));
        }
    }

    fs::path target_;
    fs::path temp_;
    bool committed_ = false;
};

void sync_folder(const fs::path &folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

const Bytes *Bundle::find(const std::string &piece) const {
    auto it = pieces.find(piece);
    return it == pieces.end() ? nullptr : &it->second;
}

Bundle load_bundle(const fs::path &folder) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        throw ToolError(kCodeReadingInput, folder.string() + ": no such bundle folder");
    }
    const fs::path json_path = folder / kBundleJson;
    const json doc = parse_bundle_json(json_path);
    if (!doc.is_object() || doc.value("format", std::string()) != kBundleFormat) {
        fail_bundle_json(json_path, std::string("format: expected \"") + kBundleFormat + "\"");
    }
    if (!doc.contains("version") || doc["version"] != kBundleVersion) {
        fail_bundle_json(json_path, "version: expected " + std::to_string(kBundleVersion));
    }
    if (!doc.contains("sku") || !doc["sku"].is_number_unsigned() ||
        doc["sku"].get<uint64_t>() > 0xFFFFFFFFu) {
        fail_bundle_json(json_path, "sku: expected an unsigned 32-bit SKU id");
    }
    Bundle bundle;
    bundle.folder = folder;
    bundle.sku = doc["sku"].get<uint32_t>();
    for (const auto &[name, size] : read_piece_sizes(doc, json_path)) {
        bundle.pieces[name] = load_piece(folder / name, size);
    }
    return bundle;
}

std::string bundle_json_text(const Bundle &bundle) {
    json pieces = json::object();
    for (const auto &[name, bytes] : bundle.pieces) {
        pieces[name] = bytes.size();
    }
    const json doc = {{"format", kBundleFormat},
                      {"version", kBundleVersion},
                      {"sku", bundle.sku},
                      {"pieces", pieces}};
    return doc.dump(2) + "\n";
}

void save_bundle(const Bundle &bundle, const std::set<std::string> &changed, bool remove_stale) {
    std::error_code ec;
    fs::create_directories(bundle.folder, ec);
    if (ec) {
        throw ToolError(kCodeWriteOutput, bundle.folder.string() + ": " + ec.message());
    }
    std::vector<std::unique_ptr<StagedFile>> staged;
    for (const std::string &name : changed) {
        const Bytes *bytes = bundle.find(name);
        if (bytes != nullptr) {
            staged.push_back(std::make_unique<StagedFile>(bundle.folder / name, *bytes));
        }
    }
    const std::string text = bundle_json_text(bundle);
    staged.push_back(
        std::make_unique<StagedFile>(bundle.folder / kBundleJson, Bytes(text.begin(), text.end())));
    for (auto &file : staged) {
        file->commit();
    }
    if (remove_stale) {
        for (const PieceKind &kind : kPieceKinds) {
            if (!bundle.has(kind.file)) {
                fs::remove(bundle.folder / kind.file, ec);
            }
        }
    }
    sync_folder(bundle.folder);
}

}  // namespace quorstore
