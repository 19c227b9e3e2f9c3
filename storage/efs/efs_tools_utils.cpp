#include "efs/efs_tools_utils.h"

#include <cstdlib>

#include "common/bytes.h"

uint32_t g_efs_bm_num = 2;
uint32_t g_efs_valid_block_num = 7;
uint32_t g_efs_non_valid_block_num = 3;
uint32_t g_efs_files_num = 16;
uint32_t g_efs_wear_leveling_threshold = 100;
uint8_t g_efs_autogen_data_loaded = 0;
uint8_t g_efs_sku_id = 0;
uint8_t g_efs_layout_id = 0;
uint8_t *EFS_files = nullptr;
uint8_t *efs_image = nullptr;
uint32_t efs_size = 0;

namespace quor::efs {
namespace {

// Entries actually allocated in EFS_files; a rejected load may change
// g_efs_files_num without replacing the table, so lookups check both.
uint32_t s_files_allocated = 0;

// File indices of the layout records are 16-bit, so a larger table could
// never be filled; such a count is treated as a malformed table rather than
// allocated.
constexpr uint64_t kMaxFilesNum = 0x10000;

// Finds the layout entry of `sku`; its offset in *entry. false when none.
bool find_layout_entry(const uint8_t *table, uint64_t tableSize, uint64_t header, uint32_t count,
                       uint32_t sku, uint64_t *entry, bool *truncated) {
    *truncated = false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t at = header + kLayoutHeaderSize + uint64_t{i} * kLayoutEntrySize;
        // An entry that runs past the table makes it malformed: never read beyond it.
        if (!range_fits(at, kLayoutEntrySize, tableSize)) {
            *truncated = true;
            return false;
        }
        if (load_le32(table + at + kLayoutSku) == sku) {
            *entry = at;
            return true;
        }
    }
    return false;
}

void copy_layout_parameters(const uint8_t *entry) {
    g_efs_bm_num = load_le32(entry + kLayoutBmNum);
    g_efs_valid_block_num = load_le32(entry + kLayoutValidNum);
    g_efs_non_valid_block_num = load_le32(entry + kLayoutSpareNum);
    g_efs_files_num = load_le32(entry + kLayoutFilesNum);
    g_efs_wear_leveling_threshold = load_le32(entry + kLayoutThreshold);
    g_efs_layout_id = static_cast<uint8_t>(load_le32(entry + kLayoutId));
}

void fill_file_entry(uint8_t *files, const uint8_t *record) {
    const uint32_t index = load_le16(record + kRecordFileIndex);
    // A record naming an index outside the table is skipped: the table is never written past.
    if (index >= g_efs_files_num) {
        return;
    }
    uint8_t *e = files + uint64_t{index} * kEfsFileEntrySize;
    e[kFileEntryBlock] = static_cast<uint8_t>(load_le16(record + kRecordBlock));
    store_le16(e + kFileEntryOffset, load_le16(record + kRecordOffset));
    store_le16(e + kFileEntryMaxSize, load_le16(record + kRecordMaxSize));
    e[kFileEntryFlags] = static_cast<uint8_t>(e[kFileEntryFlags] | kFileEntryPresent);
    e[kFileEntryReserved] = 0;
    e[kFileEntryLast] = static_cast<uint8_t>(e[kFileEntryLast] & 0x80);
}

}  // namespace

const uint8_t *file_entry(uint32_t index) {
    if (EFS_files == nullptr || index >= g_efs_files_num || index >= s_files_allocated) {
        return nullptr;
    }
    return EFS_files + uint64_t{index} * kEfsFileEntrySize;
}

FilePlacement file_placement(uint32_t index) {
    FilePlacement placement;
    const uint8_t *e = file_entry(index);
    if (e != nullptr) {
        placement.present = (e[kFileEntryFlags] & kFileEntryPresent) != 0;
        placement.block = e[kFileEntryBlock];
        placement.offset = load_le16(e + kFileEntryOffset);
        placement.maxSize = load_le16(e + kFileEntryMaxSize);
    }
    return placement;
}

}  // namespace quor::efs

uint32_t load_autogen_data(const void *table, uint32_t sku, uint32_t tableSize) {
    using namespace quor;
    using namespace quor::efs;
    const auto *t = static_cast<const uint8_t *>(table);
    // A null table or one too short for its outer header is malformed: nothing is read.
    if (t == nullptr || tableSize < kOuterHeaderSize) {
        return kLayoutMalformed;
    }
    if (load_le32(t) != kFileTableMagic) {
        return kLayoutMalformed;
    }
    const uint64_t header = (uint64_t{load_le32(t + kOuterCountOffset)} + 1) * kSkuEntrySize;
    if (header > tableSize) {
        return kLayoutMalformed;
    }
    // Fewer than four bytes left for the layout magic: the table has no EFS layout.
    if (!range_fits(header, 4, tableSize) || load_le32(t + header) != kEfsLayoutMagic) {
        return kLayoutOk;
    }
    // A layout magic without room for the rest of its header is a malformed table.
    if (!range_fits(header, kLayoutHeaderSize, tableSize)) {
        return kLayoutMalformed;
    }
    const uint32_t count = load_le32(t + header + kLayoutCountOffset);
    uint64_t entry = 0;
    bool truncated = false;
    if (!find_layout_entry(t, tableSize, header, count, sku, &entry, &truncated)) {
        return truncated ? kLayoutMalformed : kLayoutOk;
    }
    const uint8_t *e = t + entry;
    const uint64_t records = load_le32(e + kLayoutRecordCount);
    if (records * kFileRecordSize < load_le32(e + kLayoutRecordAreaSize)) {
        return kLayoutMalformed;
    }
    copy_layout_parameters(e);
    const uint32_t recordOffset = load_le32(e + kLayoutRecordOffset);
    // All R records must lie inside the table, not only their start.
    if (!range_fits(recordOffset, records * kFileRecordSize, tableSize)) {
        return kLayoutMalformed;
    }
    if (g_efs_files_num > kMaxFilesNum) {
        return kLayoutMalformed;
    }
    // calloc(0) may return null; one byte keeps "allocated" unambiguous for an empty table.
    auto *files = static_cast<uint8_t *>(
        std::calloc(g_efs_files_num == 0 ? 1 : g_efs_files_num, kEfsFileEntrySize));
    if (files == nullptr) {
        return kLayoutNoMemory;
    }
    std::free(EFS_files);
    EFS_files = files;
    s_files_allocated = g_efs_files_num;
    for (uint64_t r = 0; r < records; ++r) {
        fill_file_entry(files, t + recordOffset + r * kFileRecordSize);
    }
    g_efs_autogen_data_loaded = 1;
    g_efs_sku_id = static_cast<uint8_t>(sku);
    return kLayoutOk;
}
