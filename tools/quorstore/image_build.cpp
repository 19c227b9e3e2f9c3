#include "image_build.h"

#include <map>

#include "progress.h"
#include "quorstorage/quorstorage.h"
#include "storage_session.h"
#include "wire.h"

namespace quorstore {

namespace {

// The tool partition: 16-byte header with the FCS buffer's length at 8.
constexpr size_t kPartitionHeader = 16;
constexpr size_t kPartitionLength = 8;
constexpr uint32_t kEfsMinFiles = 16;

uint8_t storage_byte(StorageKind kind) {
    return kind == StorageKind::kEfs ? imagekit::kStorageEfs : imagekit::kStorageAfs;
}

imagekit::FileSpec to_file_spec(const FileDescription &file, const NvarDescription *nvar) {
    imagekit::FileSpec built;
    built.name = file.name;
    built.fileno = file.fileno;
    built.attributes = file.attributes;
    built.fileIndex = file.index;
    built.storage = storage_byte(file.storage);
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

[[noreturn]] void fail_table(const Bundle &bundle, const std::string &why) {
    throw ToolError(kCodeLoadFileTable, (bundle.folder / kPieceFileTable).string() + ": " + why);
}

StorageKind storage_of(const imagekit::FileSpec &f) {
    if (f.storage == imagekit::kStorageEfs) {
        return StorageKind::kEfs;
    }
    // The builder writes a "table" file as AFS index 0 with tag nibble 0:
    // file number 0, which no AFS file other than the deploy marker has.
    if ((f.fileIndex & QUOR_DFS_INDEX_MASK) == 0 && (f.fileno >> QUOR_DFS_TAG_SHIFT) == 0 &&
        f.name != QUOR_DEPLOY_MARKER_PATH) {
        return StorageKind::kTable;
    }
    return StorageKind::kAfs;
}

FileDescription to_file_description(const imagekit::FileSpec &f) {
    FileDescription file;
    file.name = f.name;
    file.fileno = f.fileno;
    file.attributes = f.attributes;
    file.index = f.fileIndex;
    file.storage = storage_of(f);
    file.max_size = f.maxSize;
    return file;
}

// The entry the builder adds for the deploy marker of `image`.
bool is_builders_marker(const imagekit::FileSpec &f, const DeployMarkerDescription &marker) {
    return f.name == QUOR_DEPLOY_MARKER_PATH && f.storage == imagekit::kStorageAfs &&
           f.attributes == 0 && f.fileno == marker.fileno && f.fileIndex == marker.index &&
           f.maxSize == imagekit::DeployMarkerSpec().content.size();
}

void describe_skus(const imagekit::DecodedFileTable &table, ImageDescription &image) {
    for (const imagekit::SkuSpec &sku_spec : table.skus) {
        if (sku_spec.skuId != image.sku) {
            continue;
        }
        for (const imagekit::FileSpec &f : sku_spec.files) {
            if (f.name == QUOR_DEPLOY_MARKER_PATH) {
                image.deploy_marker.fileno = f.fileno;
                image.deploy_marker.index = f.fileIndex;
            }
        }
    }
    for (const imagekit::SkuSpec &sku_spec : table.skus) {
        SkuDescription sku;
        sku.id = sku_spec.skuId;
        for (const imagekit::FileSpec &f : sku_spec.files) {
            if (!is_builders_marker(f, image.deploy_marker)) {
                sku.file_by_name.emplace(f.name, sku.files.size());
                sku.files.push_back(to_file_description(f));
            }
        }
        image.skus.push_back(std::move(sku));
    }
}

// EFS geometry: "blocks" and "files" are 0 (let the builder size them) when
// every SKU's layout has what the builder would choose.
void describe_efs(const imagekit::DecodedFileTable &table, ImageDescription &image) {
    const imagekit::DecodedEfsLayout *built = nullptr;
    bool auto_blocks = true;
    bool auto_files = true;
    for (const imagekit::DecodedEfsLayout &layout : table.efsLayouts) {
        if (layout.skuId == image.sku) {
            built = &layout;
        }
        for (const imagekit::SkuSpec &sku_spec : table.skus) {
            if (sku_spec.skuId != layout.skuId) {
                continue;
            }
            uint32_t used = 0;
            bool ok = true;
            uint32_t highest = 0;
            for (const imagekit::EfsPlacement &p : imagekit::placeEfsFiles(sku_spec, &used, &ok)) {
                highest = std::max<uint32_t>(highest, p.fileIndex + 1u);
            }
            auto_blocks = auto_blocks && layout.validBlocks == std::max<uint32_t>(used, 1);
            auto_files = auto_files && layout.filesNum == std::max(highest, kEfsMinFiles);
        }
    }
    if (built == nullptr) {
        return;
    }
    EfsLayoutDescription efs;
    efs.block_maps = built->blockMapBlocks;
    efs.blocks = auto_blocks ? 0 : built->validBlocks;
    efs.spares = built->spareBlocks;
    efs.files = auto_files ? 0 : built->filesNum;
    efs.wear_threshold = built->wearLevelingThreshold;
    efs.layout_id = built->layoutId;
    image.efs = efs;
}

std::map<uint32_t, Bytes> fcs_values(const uint8_t *data, size_t size, const std::string &piece) {
    std::vector<imagekit::FcsFile> files;
    if (!imagekit::decodeFcsBuffer(data, size, files)) {
        throw ToolError(kCodeReadingInput, piece + ": not a configuration table");
    }
    std::map<uint32_t, Bytes> values;
    for (imagekit::FcsFile &f : files) {
        values[f.fileno] = std::move(f.payload);
    }
    return values;
}

void describe_tables(const Bundle &bundle, BundleDescription &out) {
    ImageDescription &image = out.image;
    const Bytes *vendor_piece = bundle.find(kPieceVendorCfg);
    const auto vendor = fcs_values(vendor_piece->data(), vendor_piece->size(),
                                   (bundle.folder / kPieceVendorCfg).string());
    std::map<uint32_t, Bytes> tool;
    const Bytes *partition = bundle.find(kPieceToolCfg);
    image.tool_partition = partition != nullptr;
    if (partition != nullptr) {
        const std::string path = (bundle.folder / kPieceToolCfg).string();
        if (partition->size() < kPartitionHeader) {
            throw ToolError(kCodeReadingInput, path + ": shorter than its 16-byte header");
        }
        const uint32_t length = wire::le32(partition->data() + kPartitionLength);
        if (length > partition->size() - kPartitionHeader) {
            throw ToolError(kCodeReadingInput, path + ": its header gives more bytes than it has");
        }
        tool = fcs_values(partition->data() + kPartitionHeader, length, path);
        if (partition->size() > kPartitionHeader + length) {
            image.tool_partition_size = static_cast<uint32_t>(partition->size());
        }
    }
    const SkuDescription *sku = image.find_sku(image.sku);
    for (const FileDescription &file : sku->files) {
        auto value = vendor.find(file.fileno);
        auto tool_value = tool.find(file.fileno);
        if (value == vendor.end()) {
            if (tool_value != tool.end()) {
                out.left_out.push_back(file.name + ": a tool value without a default");
            }
            continue;
        }
        NvarDescription nvar;
        nvar.name = file.name;
        nvar.default_value = value->second;
        if (tool_value != tool.end()) {
            nvar.tool_value = tool_value->second;
        }
        image.nvars.push_back(std::move(nvar));
    }
}

// The files of one mounted file system, by index.
std::map<uint16_t, Bytes> read_files(FileSystem fs, uint32_t count, const Bundle &bundle) {
    std::map<uint16_t, Bytes> files;
    for (uint32_t i = 0; i < count; ++i) {
        Bytes content;
        const uint32_t status = fs == FileSystem::kEfs ? read_efs_file(i, content)
                                                       : read_dfs_file(dfs_number(fs, i), content);
        if (status == 2 || (fs == FileSystem::kEfs && status == 22)) {
            continue;  // no file, or not in the EFS layout
        }
        if (status != 0) {
            throw ToolError(kCodeReadNvar, bundle.folder.string() + ": " + file_system_name(fs) +
                                               " file " + std::to_string(i) + ": " +
                                               (fs == FileSystem::kEfs ? efs_status_text(status)
                                                                       : dfs_status_text(status)));
        }
        files[static_cast<uint16_t>(i)] = std::move(content);
    }
    return files;
}

// Raw files: every file whose content is not what the builder writes for
// the description as it stands.
void describe_files(Bundle &bundle, BundleDescription &out) {
    ImageDescription &image = out.image;
    const MountStatus mounted = mount_file_systems(bundle);
    std::map<uint16_t, Bytes> afs;
    std::map<uint16_t, Bytes> efs;
    if (mounted.afs) {
        if (*mounted.afs != 0) {
            throw ToolError(kCodeReadingInput,
                            (bundle.folder / kPieceAfs).string() +
                                ": AFS does not mount: " + dfs_status_text(*mounted.afs));
        }
        image.afs = AfsDescription{static_cast<uint32_t>(bundle.at(kPieceAfs).size()),
                                   dfs_context->fileCount};
        afs = read_files(FileSystem::kAfs, dfs_context->fileCount, bundle);
    }
    if (mounted.efs) {
        if (*mounted.efs != 0) {
            throw ToolError(kCodeReadingInput,
                            (bundle.folder / kPieceEfs).string() +
                                ": EFS does not mount: " + efs_status_text(*mounted.efs));
        }
        efs = read_files(FileSystem::kEfs, g_efs_files_num, bundle);
    }
    auto marker = afs.find(image.deploy_marker.index);
    image.deployed = image.afs && marker != afs.end() && !marker->second.empty();

    std::map<std::pair<bool, uint16_t>, std::pair<std::string, Bytes>> expected;
    if (image.deployed) {
        const imagekit::ImageDescription built = to_imagekit(image);
        for (const imagekit::SkuSpec &sku_spec : built.skus) {
            if (sku_spec.skuId != image.sku) {
                continue;
            }
            for (const imagekit::FileSpec &f : imagekit::effectiveFiles(built, sku_spec)) {
                if (f.inFileSystem) {
                    expected[{f.storage == imagekit::kStorageEfs,
                              f.fileIndex & QUOR_DFS_INDEX_MASK}] = {
                        f.name, imagekit::fileSystemContent(f)};
                }
            }
        }
    }
    for (const auto &[on_efs, files] : {std::make_pair(false, &afs), std::make_pair(true, &efs)}) {
        for (const auto &[index, content] : *files) {
            auto it = expected.find({on_efs, index});
            if (it == expected.end() || it->second.second != content) {
                image.files.push_back(RawFileDescription{
                    on_efs ? StorageKind::kEfs : StorageKind::kAfs, index, content});
            }
        }
    }
    for (const auto &[where, what] : expected) {
        const auto &files = where.first ? efs : afs;
        // EFS keeps no empty file: an empty value reads back as no file.
        const bool empty_efs = where.first && what.second.empty();
        if (files.count(where.second) == 0 && !empty_efs) {
            out.left_out.push_back(std::string(where.first ? "EFS" : "AFS") + " file " +
                                   std::to_string(where.second) + " (" + what.first +
                                   ") is missing");
        }
    }
}

}  // namespace

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
    for (const RawFileDescription &file : image.files) {
        out.rawFiles.push_back(
            imagekit::RawFileSpec{storage_byte(file.fs), file.index, file.content});
    }
    return out;
}

Bundle build_bundle(const ImageDescription &image, const std::filesystem::path &folder) {
    imagekit::ImagePieces pieces;
    std::string error;
    bool built = false;
    {
        Progress progress("building " + folder.string());
        built = imagekit::buildImage(to_imagekit(image), pieces, &error);
    }
    if (!built) {
        throw ToolError(kCodeWriteOutput, "the image builder failed: " + error);
    }
    Bundle bundle;
    bundle.folder = folder;
    bundle.sku = image.sku;
    auto put = [&bundle](const char *name, imagekit::Bytes &bytes) {
        if (!bytes.empty()) {
            bundle.pieces[name] = std::move(bytes);
        }
    };
    put(kPieceFileTable, pieces.fileTable);
    put(kPieceVendorCfg, pieces.vendorCfg);
    put(kPieceToolCfg, pieces.toolPartition);
    put(kPieceAfs, pieces.afs);
    put(kPieceEfs, pieces.efs);
    return bundle;
}

BundleDescription describe_bundle(Bundle &bundle) {
    imagekit::DecodedFileTable table;
    std::string error;
    if (!imagekit::decodeFileTableBuffer(bundle.at(kPieceFileTable), table, &error)) {
        fail_table(bundle, error);
    }
    BundleDescription out;
    out.image.sku = bundle.sku;
    describe_skus(table, out.image);
    if (out.image.find_sku(bundle.sku) == nullptr) {
        fail_table(bundle, "SKU " + hex_number(bundle.sku) + " of bundle.json is not listed");
    }
    describe_efs(table, out.image);
    describe_tables(bundle, out);
    describe_files(bundle, out);
    return out;
}

}  // namespace quorstore
