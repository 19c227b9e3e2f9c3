// EFS layout data: the process-wide geometry and file placement of the EFS
// region, loaded from the EFS layout table inside the configuration file table
// buffer.
//
// Owns the layout globals below and the file table `EFS_files` (allocated by
// load_autogen_data, replaced by the next successful load). The globals keep
// their defaults (2 block-map blocks, 7 logical blocks, 3 spares, 16 files,
// threshold 100) until a layout is loaded.
#pragma once

#include <cstdint>

#include "common/export.h"
#include "include/quorstorage/quorstorage.h"

// Layout parameters.
QUOR_C_DATA uint32_t g_efs_bm_num;                   // block-map blocks at the start of the region
QUOR_C_DATA uint32_t g_efs_valid_block_num;          // logical data blocks (V)
QUOR_C_DATA uint32_t g_efs_non_valid_block_num;      // spare data blocks (N)
QUOR_C_DATA uint32_t g_efs_files_num;                // entries of the file table
QUOR_C_DATA uint32_t g_efs_wear_leveling_threshold;  // erase-count gap that triggers levelling
QUOR_C_DATA uint8_t g_efs_autogen_data_loaded;       // 1 once a layout has been loaded
QUOR_C_DATA uint8_t g_efs_sku_id;                    // low byte of the SKU of the loaded layout
QUOR_C_DATA uint8_t g_efs_layout_id;                 // layout id of the loaded layout

// File table: g_efs_files_num entries of kEfsFileEntrySize bytes (see below).
extern "C" uint8_t *EFS_files;

// The EFS region (attached by EFS_init_tools or allocated by EFS_physical_init).
QUOR_C_DATA uint8_t *efs_image;
QUOR_C_DATA uint32_t efs_size;

namespace quor::efs {

// File table entry, 8 bytes, little-endian, u16 fields unaligned:
//   +0 u8  logical data block where the file begins
//   +1 u16 offset of the file's first record in that block's data area
//   +3 u16 maximum file size in bytes
//   +5 u8  flags, bit 0 = file present in this layout
//   +6 u8  0
//   +7 u8  bits 0..6 cleared when filled, bit 7 kept
inline constexpr uint32_t kEfsFileEntrySize = 8;
inline constexpr uint32_t kFileEntryBlock = 0;
inline constexpr uint32_t kFileEntryOffset = 1;
inline constexpr uint32_t kFileEntryMaxSize = 3;
inline constexpr uint32_t kFileEntryFlags = 5;
inline constexpr uint32_t kFileEntryReserved = 6;
inline constexpr uint32_t kFileEntryLast = 7;
inline constexpr uint8_t kFileEntryPresent = 0x01;

// Layout table magics ("FTBL" outer header, "EFST" EFS layout header).
inline constexpr uint32_t kFileTableMagic = QUOR_FILE_TABLE_MAGIC;
inline constexpr uint32_t kEfsLayoutMagic = 0x54534645u;
inline constexpr uint32_t kOuterHeaderSize = 16;
inline constexpr uint32_t kOuterCountOffset = 12;
inline constexpr uint32_t kSkuEntrySize = 16;
inline constexpr uint32_t kLayoutHeaderSize = 16;
inline constexpr uint32_t kLayoutCountOffset = 12;

// Layout entry, 40 bytes, all u32.
inline constexpr uint32_t kLayoutEntrySize = 40;
inline constexpr uint32_t kLayoutSku = 0;
inline constexpr uint32_t kLayoutRecordOffset = 4;
inline constexpr uint32_t kLayoutRecordCount = 8;
inline constexpr uint32_t kLayoutRecordAreaSize = 12;
inline constexpr uint32_t kLayoutBmNum = 16;
inline constexpr uint32_t kLayoutValidNum = 20;
inline constexpr uint32_t kLayoutSpareNum = 24;
inline constexpr uint32_t kLayoutFilesNum = 28;
inline constexpr uint32_t kLayoutThreshold = 32;
inline constexpr uint32_t kLayoutId = 36;

// File record, 60 bytes.
inline constexpr uint32_t kFileRecordSize = 60;
inline constexpr uint32_t kRecordFileIndex = 0;
inline constexpr uint32_t kRecordBlock = 50;
inline constexpr uint32_t kRecordOffset = 52;
inline constexpr uint32_t kRecordMaxSize = 54;

// Status codes of load_autogen_data.
inline constexpr uint32_t kLayoutOk = 0;
inline constexpr uint32_t kLayoutMalformed = 1;
inline constexpr uint32_t kLayoutNoMemory = 12;

// The file table entry of `index` (nullptr when `index` is outside the table).
const uint8_t *file_entry(uint32_t index);

// Where a file lives, read from its table entry in one lookup. The fields
// are the entry's even when the file is not in this layout, and zero when
// `index` is outside the table.
struct FilePlacement {
    bool present = false;  // the file is in this layout
    uint32_t block = 0;    // logical data block of its first record
    uint32_t offset = 0;   // offset of that record in the block's data area
    uint32_t maxSize = 0;  // largest content in bytes
};
FilePlacement file_placement(uint32_t index);

}  // namespace quor::efs

// Loads the EFS layout of `sku` from the configuration file table buffer
// `table` of `tableSize` bytes. 0 = loaded, or the table has no EFS layout or
// none for `sku` (nothing changes); 1 = malformed table; 12 = out of memory.
QUOR_C_API uint32_t load_autogen_data(const void *table, uint32_t sku, uint32_t tableSize);
