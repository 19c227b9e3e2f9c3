// quorstore mkimage: builds a bundle from a JSON description with the image
// builder.
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "description.h"
#include "image_build.h"

namespace quorstore {

namespace fs = std::filesystem;

namespace {

void check_output_folder(const fs::path &folder, bool force) {
    std::error_code ec;
    if (!fs::exists(folder, ec)) {
        return;
    }
    if (!fs::is_directory(folder, ec)) {
        throw ToolError(kCodeWriteOutput, folder.string() + ": exists and is not a folder");
    }
    if (fs::exists(folder / kBundleJson, ec)) {
        if (!force) {
            throw ToolError(kCodeWriteOutput,
                            folder.string() + ": already holds a bundle; --force replaces it");
        }
        return;
    }
    // A build that failed leaves the lock file (and nothing else) behind; a
    // retry must not trip over it.
    for (const auto &entry : fs::directory_iterator(folder, ec)) {
        if (!is_bundle_housekeeping(entry.path().filename().string())) {
            throw ToolError(kCodeWriteOutput,
                            folder.string() + ": exists, is not empty and holds no bundle");
        }
    }
}

// A folder this build made and that holds nothing but the lock file (no
// other process has committed a bundle into it since) goes again.
void remove_if_only_housekeeping(const fs::path &folder) {
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(folder, ec)) {
        if (!is_bundle_housekeeping(entry.path().filename().string())) {
            return;
        }
    }
    fs::remove_all(folder, ec);
}

}  // namespace

Bundle build_bundle(const ImageDescription &image, const std::string &source,
                    const fs::path &folder, bool force) {
    (void)source;  // the builder's errors name the folder
    check_output_folder(folder, force);
    std::error_code ec;
    const bool created = !fs::exists(folder, ec);
    try {
        Bundle bundle = build_bundle(image, folder);
        std::set<std::string> all;
        for (const auto &piece : bundle.pieces) {
            all.insert(piece.first);
        }
        save_bundle(bundle, all, /*remove_stale=*/true);
        return bundle;
    } catch (...) {
        if (created) {
            remove_if_only_housekeeping(folder);  // a failed build leaves no folder behind
        }
        throw;
    }
}

int run_mkimage(const MkimageOptions &options) {
    const ImageDescription image = load_description(options.description, options.sku);
    const fs::path folder(options.output);
    const Bundle bundle = build_bundle(image, options.description, folder, options.force);

    if (options.json) {
        nlohmann::json pieces_json = nlohmann::json::object();
        for (const auto &[name, bytes] : bundle.pieces) {
            pieces_json[name] = bytes.size();
        }
        std::cout << nlohmann::json{{"bundle", folder.string()},
                                    {"sku", image.sku},
                                    {"nvars", image.nvars.size()},
                                    {"deployed", image.deployed},
                                    {"pieces", pieces_json}}
                         .dump(2)
                  << "\n";
        return kExitOk;
    }
    std::cout << "built " << folder.string() << ": SKU " << hex_number(image.sku) << ", "
              << image.nvars.size() << " NVARs, " << (image.deployed ? "deployed" : "not deployed")
              << "\n";
    for (const auto &[name, bytes] : bundle.pieces) {
        std::cout << "  " << name << "  " << bytes.size() << " bytes\n";
    }
    return kExitOk;
}

}  // namespace quorstore
