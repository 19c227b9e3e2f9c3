// quorstore mkimage: builds a bundle from a JSON description with the image
// builder.
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "description.h"
#include "imagekit/imagekit.h"
#include "progress.h"

namespace quorstore {

namespace fs = std::filesystem;

namespace {

imagekit::FileSpec to_file_spec(const FileDescription &file, const NvarDescription *nvar) {
    imagekit::FileSpec built;
    built.name = file.name;
    built.fileno = file.fileno;
    built.attributes = file.attributes;
    built.fileIndex = file.index;
    built.storage =
        file.storage == StorageKind::kEfs ? imagekit::kStorageEfs : imagekit::kStorageAfs;
    built.maxSize = file.max_size;
    built.flags = imagekit::kFlagNvar;
    // Only NVARs get a file in the file system; a "table" file never does.
    built.inFileSystem = nvar != nullptr && file.storage != StorageKind::kTable;
    if (nvar != nullptr) {
        built.vendorValue = nvar->default_value;
        built.toolValue = nvar->tool_value;
    }
    if (file.name == QUOR_DEPLOY_MARKER_PATH) {
        // A listed marker is written like the builder's own: non-empty content.
        built.inFileSystem = true;
        built.fsContent = imagekit::DeployMarkerSpec().content;
    }
    return built;
}

imagekit::ImageDescription to_imagekit(const ImageDescription &image) {
    imagekit::ImageDescription out;
    out.buildSku = image.sku;
    std::map<std::string, const NvarDescription *> nvars;
    for (const NvarDescription &n : image.nvars) {
        nvars.emplace(n.name, &n);
    }
    for (const SkuDescription &sku : image.skus) {
        imagekit::SkuSpec built;
        built.skuId = sku.id;
        for (const FileDescription &file : sku.files) {
            // NVAR values belong to the SKU the bundle is built for.
            auto nvar = sku.id == image.sku ? nvars.find(file.name) : nvars.end();
            built.files.push_back(to_file_spec(file, nvar != nvars.end() ? nvar->second : nullptr));
        }
        out.skus.push_back(std::move(built));
    }
    out.afs.regionSize = image.afs ? image.afs->size : 0;
    out.afs.fileCount = image.afs ? image.afs->files : imagekit::AfsSpec().fileCount;
    if (image.efs) {
        out.efs.present = true;
        out.efs.blockMapBlocks = image.efs->block_maps;
        out.efs.validBlocks = image.efs->blocks;
        out.efs.spareBlocks = image.efs->spares;
        out.efs.filesNum = image.efs->files;
        out.efs.wearLevelingThreshold = image.efs->wear_threshold;
        out.efs.layoutId = image.efs->layout_id;
    }
    out.deployed = image.deployed;
    out.toolPartition = image.tool_partition;
    out.toolPartitionSize = image.tool_partition_size;
    out.deployMarker.fileno = image.deploy_marker.fileno;
    out.deployMarker.fileIndex = image.deploy_marker.index;
    return out;
}

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

void put_piece(Bundle &bundle, const char *name, imagekit::Bytes &bytes) {
    if (!bytes.empty()) {
        bundle.pieces[name] = std::move(bytes);
    }
}

}  // namespace

Bundle build_bundle(const ImageDescription &image, const std::string &source,
                    const fs::path &folder, bool force) {
    check_output_folder(folder, force);
    imagekit::ImagePieces pieces;
    std::string error;
    bool built = false;
    {
        Progress progress("building " + folder.string());
        built = imagekit::buildImage(to_imagekit(image), pieces, &error);
    }
    if (!built) {
        throw ToolError(kCodeWriteOutput, source + ": the image builder failed: " + error);
    }
    Bundle bundle;
    bundle.folder = folder;
    bundle.sku = image.sku;
    put_piece(bundle, kPieceFileTable, pieces.fileTable);
    put_piece(bundle, kPieceVendorCfg, pieces.vendorCfg);
    put_piece(bundle, kPieceToolCfg, pieces.toolPartition);
    put_piece(bundle, kPieceAfs, pieces.afs);
    put_piece(bundle, kPieceEfs, pieces.efs);
    std::set<std::string> all;
    for (const auto &piece : bundle.pieces) {
        all.insert(piece.first);
    }
    save_bundle(bundle, all, /*remove_stale=*/true);
    return bundle;
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
