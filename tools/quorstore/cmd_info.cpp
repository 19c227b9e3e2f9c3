// quorstore info: what a bundle holds and how full its file systems are.
#include <iostream>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "progress.h"
#include "quorstorage/quorstorage.h"
#include "region_stats.h"

namespace quorstore {

namespace {

using nlohmann::json;

constexpr uint32_t kAfsChunk = 64;

struct FileUsage {
    uint32_t files = 0;
    uint64_t bytes = 0;
    uint32_t chunks = 0;  // AFS only
    uint32_t unreadable = 0;
};

FileUsage afs_usage() {
    FileUsage usage;
    for (uint32_t i = 0; i < dfs_context->fileCount; ++i) {
        uint32_t size = 0;
        const uint32_t status = dfs_getsize(dfs_number(FileSystem::kAfs, i), &size);
        if (status == 2) {
            continue;
        }
        if (status != 0) {
            ++usage.unreadable;
            continue;
        }
        ++usage.files;
        usage.bytes += size;
        usage.chunks += (size + kAfsChunk - 1) / kAfsChunk;
    }
    return usage;
}

FileUsage efs_usage() {
    FileUsage usage;
    for (uint32_t i = 0; i < g_efs_files_num; ++i) {
        uint32_t size = 0;
        const uint32_t status = EFS_get_file_size(i, &size);
        if (status == 2 || status == 22) {
            continue;  // no content, or not in the layout
        }
        if (status != 0) {
            ++usage.unreadable;
            continue;
        }
        ++usage.files;
        usage.bytes += size;
    }
    return usage;
}

json erase_json(const std::optional<EraseCounts> &counts) {
    if (!counts) {
        return nullptr;
    }
    return {{"min", counts->min}, {"max", counts->max}};
}

std::string erase_text(const std::optional<EraseCounts> &counts) {
    if (!counts) {
        return "unknown";
    }
    return std::to_string(counts->min) + " to " + std::to_string(counts->max);
}

json nvar_count() {
    uint32_t count = 0;
    for (const FileTableEntry &e : file_table_entries()) {
        uint8_t *value = nullptr;
        uint32_t size = 0;
        if (kamfsCheckNvarExists(e.name.c_str(), static_cast<uint32_t>(NvarTable::kCurrent)) &&
            kaMfsNvarGet(e.name.c_str(), &value, &size, static_cast<uint32_t>(NvarTable::kCurrent),
                         nullptr, nullptr)) {
            ++count;
        }
    }
    take_reports();  // refusals of files that are not NVARs
    return count;
}

}  // namespace

int run_info(const std::string &folder, bool as_json) {
    Bundle bundle = load_bundle(folder);
    StorageCloser closer;
    open_storage(bundle);
    Progress progress("reading " + folder);
    json j;
    j["bundle"] = folder;
    j["sku"] = bundle.sku;
    j["file_table"] = {{"bytes", bundle.at(kPieceFileTable).size()},
                       {"skus", file_table_skus(bundle.at(kPieceFileTable))},
                       {"entries", g_table_num_files}};
    j["vendor_table_bytes"] = bundle.at(kPieceVendorCfg).size();
    j["tool_partition_bytes"] =
        bundle.has(kPieceToolCfg) ? json(bundle.at(kPieceToolCfg).size()) : json(nullptr);
    j["nvars"] = nvar_count();
    j["deployed"] = kaMfsIsVfsDeployed();
    if (bundle.has(kPieceAfs) && dfs_context != nullptr) {
        const FileUsage usage = afs_usage();
        const Bytes &region = bundle.at(kPieceAfs);
        j["afs"] = {{"bytes", region.size()},
                    {"units", region.size() / kAfsEraseUnit},
                    {"file_slots", dfs_context->fileCount},
                    {"chunks", dfs_context->chunkCount},
                    {"files", usage.files},
                    {"file_bytes", usage.bytes},
                    {"chunks_used", usage.chunks},
                    {"chunks_free", dfs_context->chunkCount -
                                        std::min<uint32_t>(usage.chunks, dfs_context->chunkCount)},
                    {"unreadable_files", usage.unreadable},
                    {"erase_counts", erase_json(afs_erase_counts(region))}};
    } else {
        j["afs"] = nullptr;
    }
    if (bundle.has(kPieceEfs)) {
        const FileUsage usage = efs_usage();
        const Bytes &region = bundle.at(kPieceEfs);
        j["efs"] = {{"bytes", region.size()},
                    {"block_maps", g_efs_bm_num},
                    {"blocks", g_efs_valid_block_num},
                    {"spares", g_efs_non_valid_block_num},
                    {"file_slots", g_efs_files_num},
                    {"layout_id", g_efs_layout_id},
                    {"files", usage.files},
                    {"file_bytes", usage.bytes},
                    {"unreadable_files", usage.unreadable},
                    {"erase_counts", erase_json(efs_erase_counts(region, g_efs_bm_num))}};
    } else {
        j["efs"] = nullptr;
    }
    if (as_json) {
        std::cout << j.dump(2) << "\n";
        return kExitOk;
    }
    std::cout << "bundle      " << folder << "\n"
              << "SKU         " << hex_number(bundle.sku) << "\n"
              << "file table  " << j["file_table"]["bytes"] << " bytes, " << g_table_num_files
              << " entries for this SKU, " << j["file_table"]["skus"].size() << " SKUs\n"
              << "NVARs       " << j["nvars"] << "\n"
              << "deployed    " << (kaMfsIsVfsDeployed() ? "yes" : "no") << "\n";
    if (!j["afs"].is_null()) {
        const json &a = j["afs"];
        std::cout << "AFS         " << a["bytes"] << " bytes, " << a["units"] << " units, "
                  << a["file_slots"] << " file slots, " << a["chunks"] << " chunks of 64 bytes\n"
                  << "  usage     " << a["files"] << " files, " << a["file_bytes"] << " bytes, "
                  << a["chunks_used"] << " chunks used, " << a["chunks_free"] << " free\n"
                  << "  erases    " << erase_text(afs_erase_counts(bundle.at(kPieceAfs)))
                  << " per unit\n";
    } else {
        std::cout << "AFS         none\n";
    }
    if (!j["efs"].is_null()) {
        const json &e = j["efs"];
        std::cout << "EFS         " << e["bytes"] << " bytes, " << e["block_maps"]
                  << " block maps, " << e["blocks"] << " blocks, " << e["spares"] << " spares, "
                  << e["file_slots"] << " file slots, layout " << e["layout_id"] << "\n"
                  << "  usage     " << e["files"] << " files, " << e["file_bytes"] << " bytes\n"
                  << "  erases    "
                  << erase_text(efs_erase_counts(bundle.at(kPieceEfs), g_efs_bm_num))
                  << " per data block\n";
    } else {
        std::cout << "EFS         none\n";
    }
    return kExitOk;
}

}  // namespace quorstore
