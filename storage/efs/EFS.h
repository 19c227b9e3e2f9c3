// EFS: a fixed set of numbered files kept in 4096-byte flash blocks.
//
// A region holds BM block-map blocks followed by V logical and N spare data
// blocks. A change never rewrites a data block in place: the new data area goes
// to a free spare, the spare and the old block trade places in a working copy
// of the block map, and the change becomes the file system's state only when a
// new block-map entry (BME) has been appended and read back.
//
// Crash protocol of a change (EFS_write, EFS_delete, wear levelling). The new
// data area goes to a free spare P (erased, with a valid header); the change
// commits by appending a BME (EFS_commit_BME). What the mount (EfsMount.cpp:
// choose_block_map, try_load_newest_bme, then the data-block scan) makes of
// a power cut after each step:
//
//   cut after step              the mount finds                 outcome
//   1 write P's data area       the newest BME still lists P    the old contents; P reads
//     and footer                as a spare                      dirty and is erased before reuse
//   2 append the BME            the new BME as the newest slot  the new contents
//
// A torn BME fails its CRC: the mount takes the slot before it (the old
// contents) and the next commit starts a fresh block-map block (as every
// commit does when the slot after the one it would fill is not erased).
//
// Crash protocol of a block-map switch (EFS_switch_BM: the current block B is
// full, or a commit must not append to it) to the next block B':
//
//   cut after step              the mount finds                 outcome
//   1 zero the header CRC of    B' without a valid header       the old state, from B
//     B' and erase it (when B'
//     holds old data)
//   2 write the BME at B' + 16  B' header erased: skipped       the old state, from B
//   3 write the header of B'    B and B' valid; B' has the      the new state, from B'
//     with sequence + 1         greater sequence
//   4 zero B's header           B' the only valid block         the new state, from B'
//     (not read back)
//
// A torn header fails its CRC: torn in step 3, B' is skipped (as after 2);
// torn in step 4, B is skipped (as after 4).
//
// This module owns the process-wide context `efs_ctx` (mount state, the two
// 4096-byte staging buffers and the four per-mount arrays) and the two CRC
// tables. One operation at a time, on the caller's thread.
//
// Statuses: 0 ok, 1 not mounted / no layout / no image, 2 file has no content,
// 5 block-map sequence exhausted or flash refused an operation, 12 out of
// memory, 22 invalid argument, 28 no spare can be obtained, 34 out of range,
// 41 stored data fails a check, 99 file offset beyond 4072 met by a format.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/crc.h"
#include "common/export.h"
#include "efs/EFS_phy_win32.h"
#include "efs/efs_tools_utils.h"

namespace quor::efs {

inline constexpr uint32_t EFS_OK = 0;
inline constexpr uint32_t EFS_ERR_NOT_MOUNTED = 1;
inline constexpr uint32_t EFS_ERR_NO_CONTENT = 2;
inline constexpr uint32_t EFS_ERR_IO = 5;
inline constexpr uint32_t EFS_ERR_SLOT_ERASED = 11;  // internal to mount
inline constexpr uint32_t EFS_ERR_NO_MEMORY = 12;
inline constexpr uint32_t EFS_ERR_INVALID = 22;
inline constexpr uint32_t EFS_ERR_NO_SPACE = 28;
inline constexpr uint32_t EFS_ERR_RANGE = 34;
inline constexpr uint32_t EFS_ERR_CHECK = 41;
inline constexpr uint32_t EFS_ERR_BAD_OFFSET = 99;

// Block-map block (4096 bytes):
//   +0 u16 format value (1)   +2 u16 SKU id   +4 u32 sequence number
//   +8 u8 BM  +9 u8 V  +10 u8 N  +11 u8 layout id  +12 u32 CRC-32 of bytes 0..11
//   +16 BMEs of S = V + N + 12 bytes each, appended; a slot is used only if it
//       ends at or before byte 4095.
// BME: V bytes valid map, N bytes spare map, u32 tag A, u32 tag B,
//      u32 CRC-32 of the preceding V + N + 8 bytes.
inline constexpr uint32_t kHeaderSize = 16;
inline constexpr uint32_t kBmFormatValue = 1;
inline constexpr uint32_t kBmHdrFormat = 0;
inline constexpr uint32_t kBmHdrSku = 2;
inline constexpr uint32_t kBmHdrSequence = 4;
inline constexpr uint32_t kBmHdrBmNum = 8;
inline constexpr uint32_t kBmHdrValidNum = 9;
inline constexpr uint32_t kBmHdrSpareNum = 10;
inline constexpr uint32_t kBmHdrLayoutId = 11;
inline constexpr uint32_t kHdrCrc = 12;  // same place in block-map and data-block headers
inline constexpr uint32_t kFirstBmeOffset = 16;
inline constexpr uint32_t kBmSlotLimit = 4095;  // a slot must end at or before this byte
inline constexpr uint32_t kBmeFixedBytes = 12;  // two tags and the CRC
inline constexpr uint32_t kMaxSequence = 0xFFFFFFFFu;

// Data block (4096 bytes):
//   +0 u32 erase count  +4 8 bytes 0x00  +12 u32 CRC-32 of bytes 0..11
//   +16 data area of 4076 bytes  +4092 u32 CRC-32 of the data area (footer)
inline constexpr uint32_t kDataAreaOffset = 16;
inline constexpr uint32_t kDataAreaSize = 4076;
inline constexpr uint32_t kFooterOffset = 4092;
inline constexpr uint32_t kFooterSize = 4;

// File record inside a data area: +0 u16 length (0xFFFF = no content, and the
// value of every continuation record), +2 u16 CRC-16 seeded with the logical
// block number over the two length bytes and the data bytes, +4 data.
inline constexpr uint32_t kRecordHeaderSize = 4;
inline constexpr uint32_t kRecordRoom = kDataAreaSize - kRecordHeaderSize;  // 4072
inline constexpr uint16_t kNoContentLength = 0xFFFF;

inline constexpr uint32_t kDefaultReadAttempts = 7;
inline constexpr uint32_t kIdleBmEraseMark = 2856;  // newest BME end that triggers idle BM erase

// Spare slot states.
inline constexpr uint8_t kSpareDirty = 1;
inline constexpr uint8_t kSpareFree = 2;

// next_bm_state values.
inline constexpr uint8_t kNextBmUnknown = 0;
inline constexpr uint8_t kNextBmErased = 1;
inline constexpr uint8_t kNextBmNeedsErase = 2;

}  // namespace quor::efs

#pragma pack(push, 1)
// Mount state of the one EFS region of the process (packed, fields in order).
struct EfsContext {
    uint8_t mounted;
    uint8_t block_buf[4096];  // block or record last read; staging of a new data area
    uint8_t check_buf[4096];  // read-back buffer of verified writes
    uint32_t read_attempts;   // R
    uint8_t bm_switch_pending;
    uint32_t current_bm;
    uint32_t bm_sequence;
    uint8_t next_bm_state;
    uint32_t *erase_counts;  // V + N words, valid once scanned
    uint32_t bme_offset;     // newest BME inside the current block-map block
    uint8_t *valid_map;      // V bytes
    uint8_t *spare_map;      // N bytes
    uint32_t bme_tag_a;
    uint32_t bme_tag_b;
    uint32_t bme_crc;
    uint32_t free_spares;
    uint8_t *spare_states;  // N bytes: 1 dirty, 2 free
    uint8_t scanned;
};
#pragma pack(pop)
static_assert(sizeof(EfsContext) ==
                  1 + 4096 + 4096 + 4 + 1 + 4 + 4 + 1 + 8 + 4 + 8 + 8 + 12 + 4 + 8 + 1,
              "EfsContext is packed");
static_assert(offsetof(EfsContext, block_buf) == 1, "block_buf follows mounted");

// A block-map entry under construction, owned by the operation building it.
struct WorkingBme {
    uint8_t *valid_map;
    uint8_t *spare_map;
    uint32_t bme_tag_a;
    uint32_t bme_tag_b;
    uint32_t bme_crc;
};

extern "C" EfsContext efs_ctx;

// Checksums: reflected CRC-32 (0xEDB88320, no final XOR) and MSB-first CRC-16
// (0x1021), each continuing from `crc` over `length` bytes (common/crc.h,
// which also declares their byte tables gCrc32_table and gCrc16_table).
QUOR_C_API uint32_t EFS_crc32(uint32_t crc, const uint8_t *data, uint32_t length);
QUOR_C_API uint16_t EFS_crc16(uint16_t crc, const uint8_t *data, uint32_t length);

// Mount and format.
// Attaches the caller's `image` (at least EFS_get_efs_size() bytes) and mounts
// it without formatting. 22 for a null image; else the status of EFS_init.
QUOR_C_API uint32_t EFS_init_tools(void *image);
// Mounts `efs_image`; with `format`, first allocates a fresh image and formats
// it. 1 no layout/no image, 12, 22 unusable geometry, 41 nothing valid to mount.
QUOR_C_API uint32_t EFS_init(bool format);
// 1 after a successful mount, 0 before and after EFS_erase.
QUOR_C_API uint8_t EFS_is_initialized(void);
// Writes an empty file system over the region (mount in progress). 12, 99, or a write status.
extern "C" uint32_t EFS_do_format(void);
// Learns spare states and erase counts; repairs one damaged spare. 41 on a bad region.
extern "C" uint32_t EFS_scan_for_Data_Blocks_status_and_EC(void);
// Erases physical data block `physicalBlock`, giving it erase count `eraseCount` + 1.
extern "C" uint32_t EFS_erase_data_block(uint32_t physicalBlock, uint32_t eraseCount);
// Writes and reads back; with `requireErased` refuses (41) a target that is not all 0xFF.
extern "C" uint32_t EFS_write_with_read_check(uint32_t address, uint32_t length, const void *data,
                                              bool requireErased);
// Writes the CRC-32 of the 4076-byte `dataArea` at byte 4092 of the block (verified).
extern "C" uint32_t EFS_write_data_footer(uint32_t physicalBlock, const void *dataArea);
// Writes the data area at byte 16 of an erased block, then its footer (verified).
extern "C" uint32_t EFS_write_data_block(uint32_t physicalBlock, const void *dataArea);
// Erases every block-map block and unmounts. 1 when no image is attached.
QUOR_C_API uint32_t EFS_erase(void);
// Invalidates and erases block-map block `index` (22 when index >= BM).
extern "C" uint32_t EFS_erase_next_BM(uint32_t index);
// Sets next_bm_state to 1 when block-map block `index` reads erased, else 2.
extern "C" uint32_t EFS_check_next_BM_state(uint32_t index);
// Writes "RDFS" at byte 0 of the region. 1 when no image is attached.
extern "C" uint32_t EFS_write_RTFD_marker(void);
// Size in bytes of the region of the current layout (0 if it does not fit 32 bits).
QUOR_C_API uint32_t EFS_get_efs_size(void);

// File operations.
// On 0, *size is the file's length. 2 no content, 22 bad index/pointer, 41 bad record.
QUOR_C_API uint32_t EFS_get_file_size(uint32_t fileIndex, uint32_t *size);
// Reads up to *count bytes from `offset`; *count returns the number delivered
// (0 on every failure). 2, 22, 34 offset beyond the length, 41.
QUOR_C_API uint32_t EFS_read(uint32_t fileIndex, uint32_t offset, uint32_t *count, void *buffer);
// Replaces the whole file by `length` bytes (offset must be 0). 22, 28, 34 too long, 41.
QUOR_C_API uint32_t EFS_write(uint32_t fileIndex, uint32_t offset, uint32_t length,
                              const void *data);
// Makes the file content-less. 2 when it already is.
QUOR_C_API uint32_t EFS_delete(uint32_t fileIndex);
// Stores the tags and CRC in `bme`, appends it (or switches block map) and makes it current.
extern "C" uint32_t EFS_commit_BME(WorkingBme *bme, uint32_t tagA, uint32_t tagB);
// Writes `bme` as the first BME of the next block-map block and makes that block current.
extern "C" uint32_t EFS_switch_BM(WorkingBme *bme);
// Writes the data area of `logicalBlock` to the least-worn free spare and swaps them in `bme`.
extern "C" uint32_t EFS_bme_swap_and_write_new_block(WorkingBme *bme, uint32_t logicalBlock,
                                                     const void *dataArea);
// The free spare slot the swap-and-write would choose. 22 for null, 28 when none is free.
extern "C" uint32_t EFS_select_free_page_for_write(uint32_t *slot);
// Erases the least-worn dirty spare. 28 when no spare is dirty.
extern "C" uint32_t EFS_erase_dirty_block(void);

// Wear levelling and background work.
// Moves the least-worn logical block onto the most-worn spare when their erase
// counts differ by at least the threshold (at most one move).
extern "C" uint32_t EFS_wear_leveling(uint32_t tagA, uint32_t tagB);
// One unit of background work: pre-erase the next block map, level wear, or
// erase a dirty spare. 1 when not mounted.
QUOR_C_API uint32_t EFS_idle_reclaim(void);
