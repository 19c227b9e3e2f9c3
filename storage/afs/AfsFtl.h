// Flash translation layer (FTL) of AFS.
//
// Maps the volume's virtual address space (VA, 64-byte pages) onto 8192-byte
// erase units of the partition at AfsContext::flashOffset:
//   - dynamic area, VA [0, dynamicAreaSize): each new version of a page goes
//     to the next slot of the current write unit (out-of-place); a RAM page
//     map gives the newest slot of every page;
//   - reserved area, VA [dynamicAreaSize, volumeSize): data chunks; reserved
//     unit j holds the 122 pages from its reservedBase at fixed slots.
// One unit is the spare; every reclaim erases the spare, copies the live
// pages of a victim into it, and turns the victim into the new spare.
//
// The FTL owns FtlControl (AfsContext::ftl) with its EuInfo array and page
// map; afs_physical_ftl_release frees them. Mounting never writes to flash.
// Every on-flash write is read back and compared (up to 7 attempts); every
// checked read is retried up to 7 times. Every address derived from flash
// contents is checked to stay inside the partition (else status 5).
// A reclaim that fails midway leaves RAM out of step with the flash (which
// itself stays mountable): every later operation then answers 5 until the
// volume is mounted again. A unit that a mount kept open to complete an
// interrupted reclaim is committed before the next flash write.
//
// Statuses: 0 ok, 5 I/O (driver failure, bad checksum after 7 reads, write
// that never verifies, unexpected slot state, out-of-range flash data),
// 11 call again, 12 out of memory, 22 invalid argument, 28 no space,
// 0xFFFD out of reserved slots (ask again), 0x9797 reclaim gained no space.
#pragma once

#include <cstdint>

#include "afs/AfsContext.h"

// ---- Status codes -------------------------------------------------------
inline constexpr uint32_t kFtlOk = 0;
inline constexpr uint32_t kFtlIoError = 5;
inline constexpr uint32_t kFtlAgain = 11;
inline constexpr uint32_t kFtlNoMemory = 12;
inline constexpr uint32_t kFtlInvalid = 22;
inline constexpr uint32_t kFtlNoSpace = 28;
inline constexpr uint32_t kFtlOutOfSlots = 0xFFFD;
inline constexpr uint32_t kFtlNoGain = 0x9797;

// ---- Mount options ------------------------------------------------------
inline constexpr uint32_t kFtlMountCreate = 0x10000;      // allocate a new FtlControl
inline constexpr uint32_t kFtlMountInitDriver = 0x20000;  // SpiFlashDrvInitialize(flashImage)

// ---- Geometry -----------------------------------------------------------
inline constexpr uint32_t kFtlUnitSize = 8192;
inline constexpr uint32_t kFtlPageSize = 64;
inline constexpr uint32_t kFtlRecordSize = 66;
inline constexpr uint32_t kFtlDynamicSlots = 120;
inline constexpr uint32_t kFtlReservedSlots = 122;
inline constexpr uint32_t kFtlReservedBytesPerUnit = kFtlReservedSlots * kFtlPageSize;  // 7808
inline constexpr uint32_t kFtlMaxRun = 62;
inline constexpr uint32_t kFtlNone = 0xFFFFFFFF;
// Groups of 122 reserved pages that 16-bit page numbers can name.
inline constexpr uint32_t kFtlReservedGroups = 0xFFFF / kFtlReservedSlots + 1;  // 538

// RAM state of one erase unit (12 bytes).
struct EuInfo {
    uint32_t sequence;      // header sequence; 0 for the spare after a reclaim
    uint32_t eraseCount;    // header erase count
    uint16_t reservedBase;  // first page number of a reserved unit; 0 = dynamic
    uint8_t invalidSlots;   // dynamic: slots of 120 without a live page;
                            // reserved: slots of 122 not allocated
    uint8_t freeSlots;      // dynamic: 1 = empty unit; reserved: unallocated erased slots
};
static_assert(sizeof(EuInfo) == 12, "EuInfo layout");

// Mount state of the FTL, created by afs_physical_ftl_init.
struct FtlControl {
    uint32_t maxSequence;       // highest unit sequence in use
    uint32_t writeUnit;         // dynamic unit receiving writes; kFtlNone = none
    uint32_t writeSlot;         // next free slot of writeUnit, 0..120
    uint32_t allocNext;         // next reserved page index the allocator examines; kFtlNone
    uint32_t allocEnd;          // reserved page index where the allocator's unit ends
    EuInfo *euInfo;             // one per unit
    uint8_t *pageMap;           // 2 bytes per dynamic page: unit, slot (0xFF = unset)
    uint16_t spareUnit;         // index of the spare unit
    uint16_t lastPage;          // crc14 chain seed: page number written last
    uint8_t checkFlashStatus;   // allocator must confirm a slot is erased on flash
    uint8_t allocRetry;         // allocator has answered kFtlOutOfSlots once
    uint8_t unitCount;          // number of units (flashSize >> 13, 8 bits)
    uint8_t firstReservedUnit;  // unitCount - 1 - reserved units
    uint8_t fullReclaimCursor;  // next unit for afs_physical_ftl_force_full_reclaim
    // Additions after the documented fields:
    uint8_t openUnitPending;  // 1 = a recovered open unit still needs its commit byte
    uint16_t openUnit;        // index of that unit
    uint32_t pageMapEntries;  // dynamic pages pageMap was sized for
    uint32_t euInfoEntries;   // units euInfo was sized for
    uint8_t needsRemount;     // 1 = a reclaim failed midway; RAM no longer matches flash
    // Which unit carries each group of reserved pages, derived from the units'
    // reserved bases so that finding a chunk's unit does not walk every unit.
    // Valid only while groupUnitsValid is 1 and for groupUnitsPages dynamic
    // pages; every change of a unit's base or of the spare clears it.
    uint8_t groupUnitsValid;
    uint32_t groupUnitsPages;
    uint8_t groupUnit[kFtlReservedGroups];  // unit index; 0xFF = no unit
};

// ---- Mount and format -------------------------------------------------------

// Formats the partition: every unit gets a committed header; the last unit
// becomes the spare. eraseFirst != 0 erases each unit first. Needs a prior
// mount attempt (reads unitCount / firstReservedUnit). 0, or 5.
extern "C" uint32_t afs_physical_ftl_format(AfsContext *context, uint8_t eraseFirst);

// Mounts: scans the unit headers and dynamic slot tables, rebuilds the RAM
// state and recovers interrupted reclaims and torn slots. Never writes flash.
// options: kFtlMountCreate, kFtlMountInitDriver. 0, 5, 12 (22: no context).
extern "C" uint32_t afs_physical_ftl_init(AfsContext *context, uint32_t flashSize,
                                          uint32_t options);

// Rebuilds reserved-unit bookkeeping and the allocator cursor from
// context->allocationBitmap (filled by the file layer). 0, or 5.
extern "C" uint32_t afs_physical_ftl_set_allocation_map(AfsContext *context);

// Data bytes the partition would hold: (U - 1 - U/12) * 7808 for U > 11 units,
// (U - 2) * 7808 otherwise, 0 for U = 0 or 1.
extern "C" uint32_t afs_physical_ftl_get_data_vas(AfsContext *context);

// Frees FtlControl, its euInfo and pageMap, and clears context->ftl.
extern "C" void afs_physical_ftl_release(AfsContext *context);

// ---- Page operations (also reached through afs_physical_spi_handler) --------
// `length` and `flashOffset` are not used: one 64-byte page at `va` is moved,
// the partition offset comes from the context.

// Reads the page at va into 64 bytes of `buffer`; unwritten dynamic pages and
// unallocated chunks read as zeros. 0, or 5.
extern "C" uint32_t afs_physical_ftl_read_page(AfsContext *context, uint32_t va, uint32_t length,
                                               void *buffer, uint32_t flashOffset);
// Writes 64 bytes of `data` as the page at va. 0, 5, or a reclaim status.
extern "C" uint32_t afs_physical_ftl_write_page(AfsContext *context, uint32_t va, uint32_t length,
                                                const void *data, uint32_t flashOffset);
// Forgets the page at va (RAM only). Always 0.
extern "C" uint32_t afs_physical_ftl_trim_page(AfsContext *context, uint32_t va, uint32_t length,
                                               uint32_t flashOffset);

// Hands out the next free data chunk as chunk id fileCount + index (the
// bitmap bit is set by its first write). 0, 0xFFFD (first refusal: ask again
// for a reclaim), 28, 5, or a reclaim status.
extern "C" uint32_t afs_physical_ftl_allocate_page(AfsContext *context, uint16_t *chunkId);

// Reads `count` consecutive reserved pages from `va` into `buffer` (at least
// count * 66 bytes; page i ends up at buffer + 64 i). If the first chunk is
// unallocated, only the first 64 bytes are zeroed. 0, or 5.
extern "C" uint32_t afs_physical_ftl_read_data_pages(AfsContext *context, void *buffer, uint32_t va,
                                                     uint32_t count);

// Idle policy: 1 when a reclaim is due (kind 0 dynamic / 1 reserved, preferred
// unit or 0xFFFFFFFF), else 0. Either out pointer may be null.
extern "C" uint32_t afs_physical_ftl_idle_reclaim_needed(AfsContext *context,
                                                         uint32_t *preferredUnit, uint32_t *kind);
// One idle reclaim when due. 0 or a reclaim status (0x9797 passes through).
extern "C" uint32_t afs_physical_ftl_idle_reclaim(AfsContext *context);
// Reclaims the next reserved unit: 11 (call again), 0 (done), or a reclaim status.
extern "C" uint32_t afs_physical_ftl_force_full_reclaim(AfsContext *context);
// Zeroes the records of the spare and of trimmed reserved slots. 0, 5, 22.
extern "C" uint32_t afs_physical_ftl_force_dirty_erase(AfsContext *context);
// Reclaims units 0 and 1 so that neither holds stale data. 0 or a reclaim status.
extern "C" uint32_t afs_physical_ftl_end_reserved_files_mode(AfsContext *context);

// ---- For the FTL's own files and its tests (reclaim steps: AfsFtlReclaim.h) ----
namespace quor::afs {

// The FtlControl of a context (null when not mounted).
inline FtlControl *ftl_control(const AfsContext *context) {
    return static_cast<FtlControl *>(context->ftl);
}

// Bytes [skip, skip + length) of the data of a run of pages, to be put at
// `dest` once every page of the run has read correctly.
struct DataSlice {
    uint8_t *dest = nullptr;
    uint32_t skip = 0;
    uint32_t length = 0;
};

// afs_physical_ftl_read_data_pages that hands the data straight to the
// caller: the `count` records are checked where they lie in the flash (or,
// when the driver must copy them, read into `staging`, count * 66 bytes), all
// of them (with the same retries), and only then the slice copied.
// An unallocated first chunk delivers zeros. 0, or 5 (nothing copied).
uint32_t ftl_read_data_slice(AfsContext *context, uint32_t va, uint32_t count, uint8_t *staging,
                             const DataSlice &slice);

// The records of dynamic pages that a file read of `context` misses in the
// cache are checked several pages at a time until ftl_check_ahead_end, which
// comes before anything is written (AfsFtlCheckAhead.h).
void ftl_check_ahead_begin(const AfsContext *context);
void ftl_check_ahead_end();

// afs_physical_ftl_write_page of a data chunk (va in the reserved area) whose
// record checksum is already half done: `dataCrc` is the CRC-16 register
// after the 64 bytes at `data` (crc16_each64 from 0xFFFF), so that a writer of
// many chunks computes their checksums together; the page number is added
// here. The same checks, flash operations and statuses as a write_page.
uint32_t ftl_write_chunk(AfsContext *context, uint32_t va, const uint8_t *data, uint16_t dataCrc);

// A run of new data chunks, each handed out and then written as the file
// layer does it one at a time (afs_physical_ftl_allocate_page, then
// ftl_write_chunk of the chunk handed out), with the same flash operations
// and reads in the same order: `count` chunks whose 64 bytes lie one after
// another from `data`, `crcs[i]` the CRC-16 register after chunk i's bytes.
struct ChunkRun {
    const uint8_t *data = nullptr;
    const uint16_t *crcs = nullptr;
    uint32_t count = 0;
    uint16_t *ids = nullptr;  // the ids handed out, `done` of them
    uint32_t done = 0;
    uint32_t allocStatus = 0;  // non-zero: the allocation of chunk `done` answered this
};

// Allocates and writes the chunks of `run` until all are written, an
// allocation answers non-zero (left in run->allocStatus, 0 returned, chunk
// `done` neither handed out nor written) or a write fails (its status
// returned; its chunk is among the `done` handed out). Only for volumes
// whose chunks the FTL hands out (ftlAllocation).
uint32_t ftl_allocate_and_write_chunks(AfsContext *context, ChunkRun *run);

}  // namespace quor::afs
