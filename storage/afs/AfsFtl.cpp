// Flash translation layer of AFS: on-flash format, mount, format, page
// operations, allocation and reclaim. See AfsFtl.h for the contract.
#include "afs/AfsFtl.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "afs/AfsCrc.h"
#include "afs/AfsPhysicalWin32Spi.h"
#include "common/bytes.h"

namespace {

using quor::afs::ftl_control;

// ---- On-flash format ----------------------------------------------------------
//
// Erase unit header (bytes 0..17 of every unit), little-endian:
//   0  u32 magic          kUnitMagic in use, 0 for the spare
//   4  u32 sequence       generation, never 0; highest = newest
//   8  u32 erase count    never 0
//  12  u16 spare-at-write index of the spare when the header was written
//  14  u16 reserved base  first page of a reserved unit; 0 = dynamic
//  16  u8  checksum       crc8 of bytes 0..15 computed with kUnitMagic
//  17  u8  commit         0xFF open (reclaim under way), 0x00 committed
// Dynamic unit: slot table E[0..120] (u16) at 18; record k (64 data bytes +
//   crc16 with the page number as tail) at 260 + 66k, k < 120.
// Reserved unit: status bytes S[0..121] at 18 (0xFF free, 0x7F started,
//   0x00 written); record s at 140 + 66s.
constexpr uint32_t kUnitMagic = 0xAA557887;
constexpr uint32_t kMagicLegacyA = 0x82416801;
constexpr uint32_t kMagicLegacyB = 0xAA050887;
constexpr uint32_t kSpareMagic = 0;

constexpr uint32_t kHdrMagic = 0;
constexpr uint32_t kHdrSequence = 4;
constexpr uint32_t kHdrEraseCount = 8;
constexpr uint32_t kHdrSpareAtWrite = 12;
constexpr uint32_t kHdrReservedBase = 14;
constexpr uint32_t kHdrChecksum = 16;
constexpr uint32_t kHdrCommit = 17;
constexpr uint32_t kHdrChecksummed = 16;  // bytes covered by the checksum
constexpr uint32_t kHdrWritten = 17;      // bytes written before the commit byte
constexpr uint32_t kHdrScan = 20;         // header plus E[0]
constexpr uint8_t kCommitted = 0x00;
constexpr uint8_t kOpen = 0xFF;

constexpr uint32_t kSlotTable = 18;
constexpr uint32_t kSlotEntries = 121;
constexpr uint32_t kDynamicRecords = 260;
constexpr uint16_t kEntryUnused = 0xFFFF;
constexpr uint16_t kEntryCommitBit = 0x8000;
constexpr uint16_t kEntryCommittedUnused = 0x7FFF;
constexpr uint8_t kCommitMark = 0x7F;

constexpr uint32_t kStatusBytes = 18;
constexpr uint32_t kReservedRecords = 140;
constexpr uint8_t kSlotFree = 0xFF;
constexpr uint8_t kSlotStarted = 0x7F;
constexpr uint8_t kSlotWritten = 0x00;

constexpr uint8_t kPageUnset = 0xFF;
constexpr uint32_t kVerifyAttempts = 7;
constexpr uint32_t kReadAttempts = 7;
constexpr uint32_t kMaxDynamicPages = 0x10000;  // page numbers are 16 bits
constexpr uint32_t kEmptyDynamicInvalid = kFtlDynamicSlots;
constexpr uint32_t kMaxUnits = 255;
constexpr uint32_t kKindDynamic = 0;
constexpr uint32_t kKindReserved = 1;
constexpr uint32_t kModeSwitch = 0;
constexpr uint32_t kModeReclaim = 1;
constexpr uint32_t kIdleDynamicFreeLow = 29;
constexpr uint32_t kIdleReservedFreeLow = 63;
constexpr uint32_t kIdleReservedInvalidHigh = 96;
constexpr uint32_t kWearSpread = 100;
constexpr uint32_t kWearPeriod = 10;
constexpr uint32_t kHalfBuffer = 4096;

static_assert(kFtlMaxRun * kFtlRecordSize <= kHalfBuffer, "a run fits a buffer half");
static_assert(kReservedRecords + kFtlReservedSlots * kFtlRecordSize == kFtlUnitSize,
              "reserved records end at the unit end");
static_assert(kDynamicRecords + kFtlDynamicSlots * kFtlRecordSize <= kFtlUnitSize,
              "dynamic records fit the unit");

struct UnitHeader {
    uint32_t magic;
    uint32_t sequence;
    uint32_t eraseCount;
    uint16_t spareAtWrite;
    uint16_t reservedBase;
    uint8_t checksum;
    uint8_t commit;
};

UnitHeader parse_header(const uint8_t *raw) {
    UnitHeader h{};
    h.magic = quor::load_le32(raw + kHdrMagic);
    h.sequence = quor::load_le32(raw + kHdrSequence);
    h.eraseCount = quor::load_le32(raw + kHdrEraseCount);
    h.spareAtWrite = quor::load_le16(raw + kHdrSpareAtWrite);
    h.reservedBase = quor::load_le16(raw + kHdrReservedBase);
    h.checksum = raw[kHdrChecksum];
    h.commit = raw[kHdrCommit];
    return h;
}

// crc8 of the first 16 header bytes with `magic` in place of the stored one.
uint8_t header_checksum_with(const uint8_t *raw, uint32_t magic) {
    uint8_t bytes[kHdrChecksummed];
    std::memcpy(bytes, raw, kHdrChecksummed);
    quor::store_le32(bytes + kHdrMagic, magic);
    return static_cast<uint8_t>(crc8(bytes, kHdrChecksummed));
}

// Serializes a header (bytes 0..16) with its checksum over kUnitMagic.
void build_header(uint8_t *raw, uint32_t magic, uint32_t sequence, uint32_t eraseCount,
                  uint16_t spareAtWrite, uint16_t reservedBase) {
    quor::store_le32(raw + kHdrMagic, kUnitMagic);
    quor::store_le32(raw + kHdrSequence, sequence);
    quor::store_le32(raw + kHdrEraseCount, eraseCount);
    quor::store_le16(raw + kHdrSpareAtWrite, spareAtWrite);
    quor::store_le16(raw + kHdrReservedBase, reservedBase);
    raw[kHdrChecksum] = static_cast<uint8_t>(crc8(raw, kHdrChecksummed));
    quor::store_le32(raw + kHdrMagic, magic);
}

// Header validity test of the mount.
bool header_is_valid(const uint8_t *raw) {
    const UnitHeader h = parse_header(raw);
    if (h.sequence == 0 || h.eraseCount == 0) {
        return false;
    }
    switch (h.magic) {
        case kUnitMagic:
            return header_checksum_with(raw, kUnitMagic) == h.checksum;
        case kMagicLegacyA:
            return header_checksum_with(raw, kMagicLegacyA) == h.checksum ||
                   header_checksum_with(raw, kUnitMagic) == h.checksum;
        case kMagicLegacyB:
            return header_checksum_with(raw, kUnitMagic) == h.checksum;
        default:
            return false;
    }
}

uint32_t dynamic_record_offset(uint32_t slot) {
    return kDynamicRecords + kFtlRecordSize * slot;
}
uint32_t reserved_record_offset(uint32_t slot) {
    return kReservedRecords + kFtlRecordSize * slot;
}
uint32_t entry_offset(uint32_t slot) {
    return kSlotTable + 2 * slot;
}
// High byte of E[slot + 1]: its bit 7 is the commit mark of `slot`.
uint32_t commit_mark_offset(uint32_t slot) {
    return kSlotTable + 2 * (slot + 1) + 1;
}

// Builds a 66-byte page record: the data, then crc16 with the page number.
void build_record(uint8_t *record, const uint8_t *data, uint16_t page) {
    std::memcpy(record, data, kFtlPageSize);
    quor::store_le16(record + kFtlPageSize, quor::afs::crc16_of_record(data, page));
}

bool record_is_valid(const uint8_t *record, uint16_t page) {
    return quor::load_le16(record + kFtlPageSize) == quor::afs::crc16_of_record(record, page);
}

// ---- Flash access -------------------------------------------------------------
// Units are below unitCount and offsets inside a unit; the mount checked that
// flashOffset + unitCount * 8192 fits 32 bits, so addresses never wrap.

uint32_t unit_address(const AfsContext *ctx, uint32_t unit, uint32_t offset) {
    return ctx->flashOffset + unit * kFtlUnitSize + offset;
}

bool flash_read(const AfsContext *ctx, uint32_t unit, uint32_t offset, uint32_t length, void *out) {
    return SpiDrvRead(unit_address(ctx, unit, offset), length, out) == 0;
}

// One driver write, then up to 7 read-and-compare attempts. 0 or 5.
uint32_t verified_write(const AfsContext *ctx, uint32_t unit, uint32_t offset, uint32_t length,
                        const void *data) {
    const uint32_t address = unit_address(ctx, unit, offset);
    if (SpiDrvWrite(address, length, data) != 0) {
        return kFtlIoError;
    }
    const auto *expected = static_cast<const uint8_t *>(data);
    uint8_t chunk[256];
    for (uint32_t attempt = 0; attempt < kVerifyAttempts; ++attempt) {
        bool same = true;
        for (uint32_t done = 0; done < length && same; done += sizeof(chunk)) {
            const uint32_t n = length - done < sizeof(chunk) ? length - done : sizeof(chunk);
            if (SpiDrvRead(address + done, n, chunk) != 0) {
                return kFtlIoError;
            }
            same = std::memcmp(chunk, expected + done, n) == 0;
        }
        if (same) {
            return kFtlOk;
        }
    }
    return kFtlIoError;
}

uint32_t verified_write_byte(const AfsContext *ctx, uint32_t unit, uint32_t offset, uint8_t value) {
    return verified_write(ctx, unit, offset, 1, &value);
}

uint32_t erase_unit(const AfsContext *ctx, uint32_t unit) {
    if (SpiDrvEraseBlock(unit_address(ctx, unit, 0)) != 0 ||
        SpiDrvEraseBlock(unit_address(ctx, unit, kSpiEraseBlockSize)) != 0) {
        return kFtlIoError;
    }
    return kFtlOk;
}

// Page number of record i of a checked read.
struct PageSource {
    uint16_t first = 0;               // consecutive pages from `first` ...
    const uint16_t *pages = nullptr;  // ... or one page number per record
    uint16_t page(uint32_t i) const {
        return pages != nullptr ? pages[i] : static_cast<uint16_t>(first + i);
    }
};

// Checked read of `count` records at `offset` of `unit` into `buffer`
// (count * 66 bytes). With `compact`, record i's data ends at buffer + 64 i.
uint32_t checked_read(const AfsContext *ctx, uint32_t unit, uint32_t offset, uint32_t count,
                      PageSource source, uint8_t *buffer, bool compact) {
    if (count == 0) {
        return kFtlOk;
    }
    for (uint32_t attempt = 0; attempt < kReadAttempts; ++attempt) {
        if (!flash_read(ctx, unit, offset, count * kFtlRecordSize, buffer)) {
            return kFtlIoError;
        }
        bool good = true;
        for (uint32_t i = 0; i < count && good; ++i) {
            uint8_t *record = buffer + i * kFtlRecordSize;
            good = record_is_valid(record, source.page(i));
            if (good && compact && i != 0) {
                std::memmove(buffer + i * kFtlPageSize, record, kFtlPageSize);
            }
        }
        if (good) {
            return kFtlOk;
        }
    }
    return kFtlIoError;
}

// ---- RAM helpers ---------------------------------------------------------------

EuInfo &eu(FtlControl *c, uint32_t unit) {
    return c->euInfo[unit];
}

void mark_empty_dynamic(EuInfo &info) {
    info.invalidSlots = kEmptyDynamicInvalid;
    info.freeSlots = 1;
}

void mark_empty_reserved(EuInfo &info) {
    info.invalidSlots = kFtlReservedSlots;
    info.freeSlots = kFtlReservedSlots;
}

// Saturating counter arithmetic: counts rebuilt from untrusted flash must
// never wrap.
uint8_t add8(uint8_t v, uint32_t n) {
    return static_cast<uint8_t>(v + n > 0xFF ? 0xFF : v + n);
}
uint8_t sub8(uint8_t v, uint32_t n) {
    return static_cast<uint8_t>(v > n ? v - n : 0);
}
uint8_t dec8(uint8_t v) {
    return sub8(v, 1);
}
uint8_t inc8(uint8_t v) {
    return add8(v, 1);
}

uint32_t dynamic_pages(const AfsContext *ctx) {
    return ctx->dynamicAreaSize / kFtlPageSize;
}

bool page_is_mapped(const FtlControl *c, uint32_t page) {
    return c->pageMap[2 * page + 1] != kPageUnset;
}
uint32_t mapped_unit(const FtlControl *c, uint32_t page) {
    return c->pageMap[2 * page];
}
uint32_t mapped_slot(const FtlControl *c, uint32_t page) {
    return c->pageMap[2 * page + 1];
}
void map_page(FtlControl *c, uint32_t page, uint32_t unit, uint32_t slot) {
    c->pageMap[2 * page] = static_cast<uint8_t>(unit);
    c->pageMap[2 * page + 1] = static_cast<uint8_t>(slot);
}
void unmap_page(FtlControl *c, uint32_t page) {
    c->pageMap[2 * page] = kPageUnset;
    c->pageMap[2 * page + 1] = kPageUnset;
}

// Bitmap access bounded by chunkCount: chunks beyond it do not exist.
bool chunk_exists(const AfsContext *ctx, uint32_t chunk) {
    return ctx->allocationBitmap != nullptr && chunk < ctx->chunkCount;
}
bool chunk_allocated(const AfsContext *ctx, uint32_t chunk) {
    return chunk_exists(ctx, chunk) &&
           ((ctx->allocationBitmap[chunk / 32] >> (chunk % 32)) & 1U) != 0;
}
void set_chunk(AfsContext *ctx, uint32_t chunk, bool allocated) {
    if (!chunk_exists(ctx, chunk)) {
        return;
    }
    const uint32_t bit = 1U << (chunk % 32);
    if (allocated) {
        ctx->allocationBitmap[chunk / 32] |= bit;
    } else {
        ctx->allocationBitmap[chunk / 32] &= ~bit;
    }
}

// The reserved unit, slot and page index of a VA in the reserved area.
struct ReservedPlace {
    uint32_t unit;
    uint32_t slot;
    uint32_t index;  // reserved page index = chunk index
    bool found;
};

// Unit whose reserved base equals `base`, first in index order; kFtlNone if none.
uint32_t unit_with_base(const FtlControl *c, uint16_t base) {
    if (base == 0) {
        return kFtlNone;
    }
    for (uint32_t u = 0; u < c->unitCount; ++u) {
        if (u != c->spareUnit && c->euInfo[u].reservedBase == base) {
            return u;
        }
    }
    return kFtlNone;
}

ReservedPlace locate_index(const AfsContext *ctx, uint32_t index) {
    const FtlControl *c = ftl_control(ctx);
    const uint32_t group = (index & 0xFFFF) / kFtlReservedSlots;
    const auto base =
        static_cast<uint16_t>((dynamic_pages(ctx) + group * kFtlReservedSlots) & 0xFFFF);
    ReservedPlace place{};
    place.index = index;
    place.slot = index % kFtlReservedSlots;
    place.unit = unit_with_base(c, base);
    // No unit carries the page: refuse instead of touching unit 0, which
    // holds other data.
    place.found = place.unit != kFtlNone;
    return place;
}

ReservedPlace locate_reserved(const AfsContext *ctx, uint32_t va) {
    return locate_index(ctx, (va - ctx->dynamicAreaSize) / kFtlPageSize);
}

bool control_usable(const AfsContext *ctx) {
    if (ctx == nullptr || ctx->ftl == nullptr) {
        return false;
    }
    const FtlControl *c = ftl_control(ctx);
    return c->euInfo != nullptr && c->pageMap != nullptr && c->needsRemount == 0;
}

// Commits a unit that the mount kept in use to complete an interrupted
// reclaim. Its spare-at-write field names the current spare only until the
// next reclaim, so it is committed before the first write or reclaim.
uint32_t commit_pending_open_unit(AfsContext *ctx) {
    FtlControl *c = ftl_control(ctx);
    if (c->openUnitPending == 0) {
        return kFtlOk;
    }
    if (verified_write_byte(ctx, c->openUnit, kHdrCommit, kCommitted) != kFtlOk) {
        return kFtlIoError;
    }
    c->openUnitPending = 0;
    return kFtlOk;
}

// ---- Mount ---------------------------------------------------------------------

void release_arrays(FtlControl *c) {
    std::free(c->euInfo);
    std::free(c->pageMap);
    c->euInfo = nullptr;
    c->pageMap = nullptr;
    c->euInfoEntries = 0;
    c->pageMapEntries = 0;
}

// Creates or reuses FtlControl and its arrays for `units` units. A reused
// block whose arrays were sized for another geometry gets new arrays.
uint32_t prepare_control(AfsContext *ctx, uint32_t units, uint32_t options) {
    if ((options & kFtlMountCreate) != 0 || ctx->ftl == nullptr) {
        // A block that is still attached is released first rather than
        // leaked when a new one is asked for.
        afs_physical_ftl_release(ctx);
        ctx->ftl = std::calloc(1, sizeof(FtlControl));
        if (ctx->ftl == nullptr) {
            return kFtlNoMemory;
        }
    }
    FtlControl *c = ftl_control(ctx);
    const uint32_t pages = dynamic_pages(ctx);
    const uint32_t euEntries = units != 0 ? units : 1;
    const uint32_t mapEntries = pages != 0 ? pages : 1;
    if (c->euInfo == nullptr || c->euInfoEntries != euEntries) {
        std::free(c->euInfo);
        c->euInfo = static_cast<EuInfo *>(std::calloc(euEntries, sizeof(EuInfo)));
        c->euInfoEntries = c->euInfo != nullptr ? euEntries : 0;
        if (c->euInfo == nullptr) {
            return kFtlNoMemory;
        }
    }
    if (c->pageMap == nullptr || c->pageMapEntries != mapEntries) {
        std::free(c->pageMap);
        c->pageMap = static_cast<uint8_t *>(std::malloc(2 * static_cast<size_t>(mapEntries)));
        c->pageMapEntries = c->pageMap != nullptr ? mapEntries : 0;
        if (c->pageMap == nullptr) {
            return kFtlNoMemory;
        }
    }
    return kFtlOk;
}

uint8_t first_reserved_unit(const AfsContext *ctx, uint32_t units) {
    const uint32_t reservedUnits =
        ctx->volumeSize > ctx->dynamicAreaSize
            ? (ctx->volumeSize - ctx->dynamicAreaSize) / kFtlReservedBytesPerUnit
            : 0;
    return static_cast<uint8_t>(units - 1 - reservedUnits);
}

void reset_control(AfsContext *ctx, uint32_t units) {
    FtlControl *c = ftl_control(ctx);
    std::memset(c->pageMap, kPageUnset, 2 * static_cast<size_t>(c->pageMapEntries));
    std::memset(c->euInfo, 0, sizeof(EuInfo) * c->euInfoEntries);
    c->maxSequence = units - 1;
    c->writeUnit = kFtlNone;
    c->writeSlot = 0;
    c->allocNext = 0;
    c->allocEnd = 0;
    c->spareUnit = 0xFF;
    c->lastPage = 0;
    c->checkFlashStatus = 0;
    c->allocRetry = 0;
    c->fullReclaimCursor = 0;
    c->unitCount = static_cast<uint8_t>(units);
    c->firstReservedUnit = first_reserved_unit(ctx, units);
    c->openUnitPending = 0;
    c->openUnit = 0;
    c->needsRemount = 0;
}

// Reads the slot table E[0..120] of dynamic unit u. False on a read failure.
bool read_slot_table(const AfsContext *ctx, uint32_t u, uint16_t *entries) {
    uint8_t raw[2 * kSlotEntries];
    if (!flash_read(ctx, u, kSlotTable, sizeof(raw), raw)) {
        return false;
    }
    for (uint32_t k = 0; k < kSlotEntries; ++k) {
        entries[k] = quor::load_le16(raw + 2 * k);
    }
    return true;
}

// True when slots from `slot` on can be written without the chain running
// into old bits: E[slot] is unused (0x7FFF if it carries the previous slot's
// commit mark) and every later entry is erased.
bool slots_unwritten_from(const uint16_t *entries, uint32_t slot) {
    if (slot >= kFtlDynamicSlots) {
        return true;
    }
    if (entries[slot] != kEntryUnused && entries[slot] != kEntryCommittedUnused) {
        return false;
    }
    for (uint32_t k = slot + 1; k < kSlotEntries; ++k) {
        if (entries[k] != kEntryUnused) {
            return false;
        }
    }
    return true;
}

// Decodes the slot chain of dynamic unit u: fills the page map, counts
// invalid slots; as write unit it also sets writeSlot.
uint32_t decode_slot_chain(AfsContext *ctx, uint32_t u, const uint16_t *entries, bool asWriteUnit) {
    FtlControl *c = ftl_control(ctx);
    EuInfo &info = eu(c, u);
    const uint32_t pages = dynamic_pages(ctx);
    c->lastPage = 0;
    if (asWriteUnit) {
        c->writeSlot = kFtlDynamicSlots;  // a unit whose last slot is committed is full
    }
    uint32_t k = 0;
    while (k < kFtlDynamicSlots) {
        if ((entries[k + 1] & kEntryCommitBit) == 0) {
            const auto page =
                static_cast<uint16_t>(entries[k] ^ quor::afs::crc14_of_page(c->lastPage));
            c->lastPage = page;
            if (page >= pages) {
                return kFtlIoError;
            }
            if (page_is_mapped(c, page)) {
                const uint32_t v = mapped_unit(c, page);
                if (v < c->unitCount && eu(c, v).sequence > info.sequence) {
                    info.invalidSlots = inc8(info.invalidSlots);
                } else {
                    if (v < c->unitCount) {
                        eu(c, v).invalidSlots = inc8(eu(c, v).invalidSlots);
                    }
                    map_page(c, page, u, k);
                }
            } else {
                map_page(c, page, u, k);
            }
            if (entries[k + 1] == kEntryCommittedUnused) {
                if (asWriteUnit) {
                    c->writeSlot = k + 1;
                }
                info.invalidSlots = add8(info.invalidSlots, 119 - k);
                return kFtlOk;
            }
            ++k;
        } else {
            info.invalidSlots = inc8(info.invalidSlots);
            if (entries[k] == kEntryUnused) {
                ++k;
                continue;
            }
            // Torn slot: the slot after it is never used, because writing its
            // entry would commit the torn slot.
            if (k + 1 == kFtlDynamicSlots) {
                if (asWriteUnit) {
                    c->writeSlot = kFtlDynamicSlots;
                }
                return kFtlOk;
            }
            info.invalidSlots = inc8(info.invalidSlots);
            k += 2;
            if (asWriteUnit) {
                c->writeSlot = k;
            }
        }
    }
    return kFtlOk;
}

// Slot processing of dynamic unit u (decode_slot_chain on its slot table).
// Old bits past the end of a write unit's chain (a damaged region) would be
// committed by the next writes and make the next mount refuse the volume.
uint32_t process_slots(AfsContext *ctx, uint32_t u, bool asWriteUnit) {
    FtlControl *c = ftl_control(ctx);
    uint16_t entries[kSlotEntries];
    if (!read_slot_table(ctx, u, entries)) {
        return kFtlIoError;
    }
    const uint32_t status = decode_slot_chain(ctx, u, entries, asWriteUnit);
    // A write unit takes new slots only where its slot table is erased; else it counts as full.
    if (status == kFtlOk && asWriteUnit && !slots_unwritten_from(entries, c->writeSlot)) {
        c->writeSlot = kFtlDynamicSlots;
    }
    return status;
}

// A dynamic unit whose E[0] is unused holds no page. It is empty (a unit to
// switch writes to) only when its whole slot table is erased; otherwise it
// holds nothing live and is left to a reclaim, which erases it as the spare.
uint32_t classify_unused_dynamic_unit(AfsContext *ctx, uint32_t u) {
    FtlControl *c = ftl_control(ctx);
    uint16_t entries[kSlotEntries];
    if (!read_slot_table(ctx, u, entries)) {
        return kFtlIoError;
    }
    if (slots_unwritten_from(entries, 0)) {
        mark_empty_dynamic(eu(c, u));
    } else {
        eu(c, u).invalidSlots = kEmptyDynamicInvalid;
        eu(c, u).freeSlots = 0;
    }
    return kFtlOk;
}

struct ScanState {
    uint32_t spare = kFtlNone;
    uint32_t open = kFtlNone;
    uint32_t newestSpareAtWrite = 0;
    uint16_t openSpareAtWrite = 0;
    uint16_t openEntry0 = 0;
    bool repairSpareEraseCount = false;
    uint16_t chainSeed = 0;
};

// Records a unit without a valid header as the spare. 0, or 5 for a second one.
uint32_t scan_absent_unit(FtlControl *c, uint32_t i, const uint8_t *raw, ScanState &s) {
    if (s.spare != kFtlNone) {
        return kFtlIoError;
    }
    s.spare = i;
    c->spareUnit = static_cast<uint16_t>(i);
    const UnitHeader h = parse_header(raw);
    if (h.magic != kSpareMagic || (header_checksum_with(raw, kUnitMagic) != h.checksum &&
                                   header_checksum_with(raw, kMagicLegacyA) != h.checksum)) {
        s.repairSpareEraseCount = true;
    }
    return kFtlOk;
}

uint32_t scan_committed_unit(AfsContext *ctx, uint32_t i, const uint8_t *raw, ScanState &s) {
    FtlControl *c = ftl_control(ctx);
    const UnitHeader h = parse_header(raw);
    eu(c, i).reservedBase = h.reservedBase;
    if (c->maxSequence <= h.sequence) {
        c->maxSequence = h.sequence;
        s.newestSpareAtWrite = h.spareAtWrite;
    }
    if (h.reservedBase != 0) {
        return kFtlOk;
    }
    if (quor::load_le16(raw + kSlotTable) == kEntryUnused) {
        return classify_unused_dynamic_unit(ctx, i);
    }
    if (c->writeUnit == kFtlNone || eu(c, c->writeUnit).sequence <= h.sequence) {
        c->writeUnit = i;
        const uint32_t status = process_slots(ctx, i, true);
        s.chainSeed = c->lastPage;
        return status;
    }
    return process_slots(ctx, i, false);
}

uint32_t scan_units(AfsContext *ctx, ScanState &s) {
    FtlControl *c = ftl_control(ctx);
    for (uint32_t i = 0; i < c->unitCount; ++i) {
        uint8_t raw[kHdrScan];
        if (!flash_read(ctx, i, 0, kHdrScan, raw)) {
            return kFtlIoError;
        }
        const UnitHeader h = parse_header(raw);
        eu(c, i).sequence = h.sequence;
        eu(c, i).eraseCount = h.eraseCount;
        uint32_t status = kFtlOk;
        if (!header_is_valid(raw)) {
            status = scan_absent_unit(c, i, raw, s);
        } else if (h.commit == kOpen) {
            if (s.open != kFtlNone) {
                return kFtlIoError;
            }
            s.open = i;
            s.openSpareAtWrite = h.spareAtWrite;
            s.openEntry0 = quor::load_le16(raw + kSlotTable);
            eu(c, i).reservedBase = h.reservedBase;
        } else {
            status = scan_committed_unit(ctx, i, raw, s);
        }
        if (status != kFtlOk) {
            return status;
        }
    }
    return kFtlOk;
}

// Completes or drops an interrupted reclaim found by the scan.
uint32_t resolve_open_unit(AfsContext *ctx, ScanState &s) {
    FtlControl *c = ftl_control(ctx);
    if (s.open == kFtlNone) {
        return s.spare == s.newestSpareAtWrite ? kFtlOk : kFtlIoError;
    }
    if (s.spare == kFtlNone) {
        // The reclaim's source was never invalidated: drop its work.
        c->spareUnit = static_cast<uint16_t>(s.open);
        eu(c, s.open).reservedBase = 0;
        return kFtlOk;
    }
    if (s.openSpareAtWrite != s.spare) {
        return kFtlIoError;
    }
    c->maxSequence = eu(c, s.open).sequence;
    // The open unit stays in use and is committed before the next flash write
    // (see commit_pending_open_unit); the mount itself never writes.
    c->openUnitPending = 1;
    c->openUnit = static_cast<uint16_t>(s.open);
    if (eu(c, s.open).reservedBase != 0) {
        return kFtlOk;
    }
    if (s.openEntry0 == kEntryUnused) {
        return classify_unused_dynamic_unit(ctx, s.open);
    }
    c->writeUnit = s.open;
    // Keeps the open unit's own chain seed: the next mount decodes its chain
    // from its own slots, so the next write must continue that chain.
    return process_slots(ctx, s.open, true);
}

// Lowest-sequence dynamic unit, preferring empty ones; a unit that is not
// empty (its slot table is damaged) is taken as full, so that the first
// dynamic write reclaims it instead of writing into it.
void choose_initial_write_unit(FtlControl *c) {
    uint32_t best = kFtlNone;
    for (uint32_t u = 0; u < c->unitCount; ++u) {
        // The spare is excluded: its stale header sequence must not make it a
        // write unit.
        if (u == c->spareUnit || eu(c, u).reservedBase != 0 || eu(c, u).sequence == kFtlNone) {
            continue;
        }
        const bool empty = eu(c, u).freeSlots != 0;
        const bool bestEmpty = best != kFtlNone && eu(c, best).freeSlots != 0;
        if (best == kFtlNone || (empty && !bestEmpty) ||
            (empty == bestEmpty && eu(c, u).sequence < eu(c, best).sequence)) {
            best = u;
        }
    }
    c->writeUnit = best;
    c->writeSlot = best != kFtlNone && eu(c, best).freeSlots == 0 ? kFtlDynamicSlots : 0;
}

void repair_spare_erase_count(FtlControl *c) {
    if (c->unitCount < 2 || c->spareUnit >= c->unitCount) {
        return;  // no other unit to average over
    }
    uint64_t sum = 0;
    for (uint32_t u = 0; u < c->unitCount; ++u) {
        if (u != c->spareUnit) {
            sum += eu(c, u).eraseCount;
        }
    }
    eu(c, c->spareUnit).eraseCount = static_cast<uint32_t>(sum / (c->unitCount - 1U));
}

// ---- Reclaim --------------------------------------------------------------------

using Buffer = std::unique_ptr<uint8_t[]>;

Buffer make_reclaim_buffer() {
    return Buffer(new (std::nothrow) uint8_t[2 * kHalfBuffer]);
}

// Header step: newUnit becomes the successor of oldUnit, oldUnit the spare.
uint32_t write_eu_header(AfsContext *ctx, uint32_t newUnit, uint32_t oldUnit) {
    FtlControl *c = ftl_control(ctx);
    const uint32_t sequence = c->maxSequence + 1;
    const uint32_t eraseCount = eu(c, newUnit).eraseCount + 1;
    const uint16_t base = eu(c, oldUnit).reservedBase;
    uint8_t header[kHdrWritten];
    build_header(header, kUnitMagic, sequence, eraseCount, static_cast<uint16_t>(oldUnit), base);
    c->maxSequence = sequence;
    eu(c, newUnit).eraseCount = eraseCount;
    if (verified_write(ctx, newUnit, 0, kHdrWritten, header) != kFtlOk) {
        return kFtlIoError;  // old unit intact: the mount drops the work
    }
    const uint8_t zeros[4] = {0, 0, 0, 0};
    if (verified_write(ctx, oldUnit, kHdrMagic, sizeof(zeros), zeros) != kFtlOk) {
        return kFtlIoError;
    }
    eu(c, oldUnit).sequence = 0;
    const uint32_t commit = verified_write_byte(ctx, newUnit, kHdrCommit, kCommitted);
    c->spareUnit = static_cast<uint16_t>(oldUnit);
    eu(c, oldUnit).invalidSlots = 0;
    eu(c, newUnit).reservedBase = base;
    eu(c, oldUnit).reservedBase = 0;
    eu(c, newUnit).sequence = sequence;
    if (commit != kFtlOk) {
        // The work is kept on flash (old magic zeroed); finish the commit
        // before anything else writes.
        c->openUnitPending = 1;
        c->openUnit = static_cast<uint16_t>(newUnit);
        return kFtlIoError;
    }
    return kFtlOk;
}

// Copies n reserved records from victim slot a into the spare at the same
// slots, and marks them written there.
uint32_t ftl_copy_pages(AfsContext *ctx, uint32_t victim, uint32_t spare, uint32_t a, uint32_t n,
                        uint8_t *buffer) {
    FtlControl *c = ftl_control(ctx);
    PageSource source;
    source.first = static_cast<uint16_t>(eu(c, victim).reservedBase + a);
    if (checked_read(ctx, victim, reserved_record_offset(a), n, source, buffer, false) != kFtlOk) {
        return kFtlIoError;
    }
    if (verified_write(ctx, spare, reserved_record_offset(a), n * kFtlRecordSize, buffer) !=
        kFtlOk) {
        return kFtlIoError;
    }
    uint8_t *status = buffer + kHalfBuffer;
    std::memset(status, kSlotWritten, n);
    if (verified_write(ctx, spare, kStatusBytes + a, n, status) != kFtlOk) {
        return kFtlIoError;
    }
    eu(c, spare).freeSlots = sub8(eu(c, spare).freeSlots, n);
    return kFtlOk;
}

// A reserved slot holds a live chunk when its bitmap bit is set. A volume
// without a bitmap cannot tell, so every written slot is kept.
bool slot_is_live(const AfsContext *ctx, uint32_t chunk, uint8_t status) {
    if (ctx->noAllocationBitmap != 0 || ctx->allocationBitmap == nullptr) {
        return status == kSlotWritten;
    }
    return chunk_allocated(ctx, chunk);
}

uint32_t reclaim_reserved(AfsContext *ctx, uint32_t victim, uint8_t *buffer) {
    FtlControl *c = ftl_control(ctx);
    const uint32_t spare = c->spareUnit;
    c->allocRetry = 0;
    if (erase_unit(ctx, spare) != kFtlOk) {
        return kFtlIoError;
    }
    const uint16_t base = eu(c, victim).reservedBase;
    const auto r0 = static_cast<uint32_t>(static_cast<uint16_t>(base - dynamic_pages(ctx)));
    uint8_t status[kFtlReservedSlots];
    if (!flash_read(ctx, victim, kStatusBytes, kFtlReservedSlots, status)) {
        return kFtlIoError;
    }
    mark_empty_reserved(eu(c, spare));
    bool reseek = false;
    if (c->allocNext == c->allocEnd || c->allocNext == kFtlNone) {
        reseek = true;
        c->allocNext = kFtlNone;
        c->allocEnd = r0 + kFtlReservedSlots;
    }
    uint32_t runLength = 0;  // run of allocated slots just above slot s
    for (uint32_t step = 0; step < kFtlReservedSlots; ++step) {
        const uint32_t s = kFtlReservedSlots - 1 - step;
        const bool allocated = slot_is_live(ctx, r0 + s, status[s]);
        if (allocated) {
            ++runLength;
            eu(c, spare).invalidSlots = dec8(eu(c, spare).invalidSlots);
        } else if (reseek) {
            c->allocNext = r0 + s;
        }
        const bool flush = runLength != 0 && (!allocated || runLength == kFtlMaxRun || s == 0);
        if (flush) {
            const uint32_t start = allocated ? s : s + 1;
            if (ftl_copy_pages(ctx, victim, spare, start, runLength, buffer) != kFtlOk) {
                return kFtlIoError;
            }
            runLength = 0;
        }
    }
    if (write_eu_header(ctx, spare, victim) != kFtlOk) {
        return kFtlIoError;
    }
    return c->allocNext == kFtlNone ? kFtlNoGain : kFtlOk;
}

// Empty dynamic unit with the lowest sequence other than the spare, the write
// unit and the victim; the spare when there is none.
uint32_t switch_candidate(const FtlControl *c, uint32_t victim) {
    uint32_t best = kFtlNone;
    for (uint32_t u = 0; u < c->unitCount; ++u) {
        const EuInfo &info = c->euInfo[u];
        if (info.reservedBase != 0 || info.freeSlots == 0 || u == c->spareUnit ||
            u == c->writeUnit || u == victim) {
            continue;
        }
        if (best == kFtlNone || info.sequence < c->euInfo[best].sequence) {
            best = u;
        }
    }
    return best != kFtlNone ? best : c->spareUnit;
}

void switch_write_unit(FtlControl *c, uint32_t unit) {
    c->writeUnit = unit;
    c->writeSlot = 0;
    c->lastPage = 0;
}

// Copies the run of n live slots starting at victim slot a to the write unit.
uint32_t copy_dynamic_run(AfsContext *ctx, uint32_t victim, uint32_t a, uint32_t n,
                          const uint16_t *reverse, uint8_t *buffer) {
    FtlControl *c = ftl_control(ctx);
    PageSource source;
    source.pages = reverse + a;
    if (checked_read(ctx, victim, dynamic_record_offset(a), n, source, buffer, false) != kFtlOk) {
        return kFtlIoError;
    }
    const uint32_t w = c->writeUnit;
    const uint32_t slot = c->writeSlot;
    if (verified_write(ctx, w, dynamic_record_offset(slot), n * kFtlRecordSize, buffer) != kFtlOk) {
        return kFtlIoError;
    }
    uint8_t *entries = buffer + kHalfBuffer;
    uint16_t last = c->lastPage;
    for (uint32_t i = 0; i < n; ++i) {
        const uint16_t page = reverse[a + i];
        quor::store_le16(entries + 2 * i,
                         static_cast<uint16_t>(page ^ quor::afs::crc14_of_page(last)));
        last = page;
    }
    if (verified_write(ctx, w, entry_offset(slot), 2 * n, entries) != kFtlOk) {
        return kFtlIoError;
    }
    for (uint32_t i = 0; i < n; ++i) {
        map_page(c, reverse[a + i], w, slot + i);
    }
    c->lastPage = last;
    eu(c, w).freeSlots = 0;
    c->writeSlot = slot + n;
    eu(c, w).invalidSlots = sub8(eu(c, w).invalidSlots, n);
    return kFtlOk;
}

uint32_t reclaim_dynamic(AfsContext *ctx, uint32_t victim, uint8_t *buffer) {
    FtlControl *c = ftl_control(ctx);
    const uint32_t spare = c->spareUnit;
    const uint32_t target = switch_candidate(c, victim);
    if (erase_unit(ctx, spare) != kFtlOk) {
        return kFtlIoError;
    }
    mark_empty_dynamic(eu(c, spare));
    const uint32_t stale = eu(c, victim).invalidSlots;
    if (c->writeSlot >= kFtlDynamicSlots || victim == c->writeUnit || c->writeUnit == kFtlNone) {
        switch_write_unit(c, target);
    }
    uint16_t reverse[kFtlDynamicSlots];
    for (uint16_t &r : reverse) {
        r = kEntryUnused;
    }
    for (uint32_t p = 0; p < c->pageMapEntries && p < dynamic_pages(ctx); ++p) {
        if (page_is_mapped(c, p) && mapped_unit(c, p) == victim &&
            mapped_slot(c, p) < kFtlDynamicSlots) {
            reverse[mapped_slot(c, p)] = static_cast<uint16_t>(p);
        }
    }
    // Every mapped page is copied; the walk does not stop early on the
    // invalid count, which a miscount could make too small.
    uint32_t copied = 0;
    uint32_t runStart = 0;
    uint32_t runLength = 0;
    for (uint32_t k = 0; k < kFtlDynamicSlots; ++k) {
        const bool isLive = reverse[k] != kEntryUnused;
        if (isLive) {
            if (runLength == 0) {
                runStart = k;
            }
            ++runLength;
        }
        const bool flush =
            runLength != 0 && (!isLive || runLength == kFtlMaxRun || k == kFtlDynamicSlots - 1 ||
                               runLength == kFtlDynamicSlots - c->writeSlot);
        if (!flush) {
            continue;
        }
        if (copy_dynamic_run(ctx, victim, runStart, runLength, reverse, buffer) != kFtlOk) {
            return kFtlIoError;
        }
        copied += runLength;
        runLength = 0;
        if (c->writeSlot >= kFtlDynamicSlots) {
            if (verified_write_byte(ctx, c->writeUnit, commit_mark_offset(kFtlDynamicSlots - 1),
                                    kCommitMark) != kFtlOk) {
                return kFtlIoError;
            }
            switch_write_unit(c, target);
        }
    }
    if (copied != 0 && c->writeSlot != 0) {
        if (verified_write_byte(ctx, c->writeUnit, commit_mark_offset(c->writeSlot - 1),
                                kCommitMark) != kFtlOk) {
            return kFtlIoError;
        }
    }
    if (write_eu_header(ctx, spare, victim) != kFtlOk) {
        return kFtlIoError;
    }
    return stale == 0 ? kFtlNoGain : kFtlOk;
}

// Slots of a unit that a reclaim would turn into free space: invalid slots
// minus those that are still unwritten.
uint32_t stale_slots(const FtlControl *c, uint32_t u) {
    const EuInfo &info = c->euInfo[u];
    if (info.reservedBase != 0) {
        return info.invalidSlots > info.freeSlots ? info.invalidSlots - info.freeSlots : 0U;
    }
    if (info.freeSlots != 0) {
        return 0;  // empty unit
    }
    const uint32_t unwritten = u == c->writeUnit ? kFtlDynamicSlots - c->writeSlot : 0U;
    return info.invalidSlots > unwritten ? info.invalidSlots - unwritten : 0U;
}

bool unit_has_kind(const FtlControl *c, uint32_t u, uint32_t kind) {
    if (kind == kKindDynamic) {
        return c->euInfo[u].reservedBase == 0;
    }
    if (kind == kKindReserved) {
        return c->euInfo[u].reservedBase != 0;
    }
    return true;
}

// Empty unit of the kind with the lowest sequence; kFtlNone when none.
uint32_t empty_unit_of_kind(const FtlControl *c, uint32_t kind) {
    uint32_t best = kFtlNone;
    for (uint32_t u = 0; u < c->unitCount; ++u) {
        if (u == c->spareUnit || !unit_has_kind(c, u, kind) || c->euInfo[u].freeSlots == 0) {
            continue;
        }
        if (best == kFtlNone || c->euInfo[u].sequence < c->euInfo[best].sequence) {
            best = u;
        }
    }
    return best;
}

}  // namespace

// ---- Internal steps (namespace quor::afs) ------------------------------------------

namespace quor::afs {

uint32_t _reclaim_eu(AfsContext *ctx, uint32_t victim, uint32_t mode) {
    if (!control_usable(ctx)) {
        return kFtlIoError;
    }
    FtlControl *c = ftl_control(ctx);
    if (victim >= c->unitCount || c->spareUnit >= c->unitCount) {
        return kFtlIoError;
    }
    if (victim == c->spareUnit) {
        return kFtlNoSpace;
    }
    if (commit_pending_open_unit(ctx) != kFtlOk) {
        return kFtlIoError;
    }
    EuInfo &info = eu(c, victim);
    if (mode == kModeSwitch) {
        if (info.reservedBase == 0) {
            switch_write_unit(c, victim);
        } else {
            c->allocRetry = 0;
            const auto r0 = static_cast<uint32_t>(
                static_cast<uint16_t>(info.reservedBase - dynamic_pages(ctx)));
            c->allocNext = r0;
            c->allocEnd = r0 + kFtlReservedSlots;
        }
        return kFtlOk;
    }
    Buffer buffer = make_reclaim_buffer();
    if (!buffer) {
        return kFtlNoMemory;
    }
    const uint32_t status = info.reservedBase != 0 ? reclaim_reserved(ctx, victim, buffer.get())
                                                   : reclaim_dynamic(ctx, victim, buffer.get());
    if (status != kFtlOk && status != kFtlNoGain) {
        // RAM no longer describes the flash; only a new mount rebuilds it.
        c->needsRemount = 1;
    }
    return status;
}

uint32_t _choose_eu_to_reclaim(AfsContext *ctx, uint32_t kind, bool allowWearLevelling,
                               uint32_t *mode, bool idle) {
    FtlControl *c = ftl_control(ctx);
    uint32_t preferred = kFtlNone;
    if (idle) {
        uint32_t idleKind = kind;
        if (afs_physical_ftl_idle_reclaim_needed(ctx, &preferred, &idleKind) == 0) {
            *mode = kModeSwitch;
            return kFtlNone;
        }
        kind = idleKind;
    } else if (kind == kKindDynamic || kind == kKindReserved) {
        const uint32_t empty = empty_unit_of_kind(c, kind);
        if (empty != kFtlNone) {
            *mode = kModeSwitch;
            return empty;
        }
    }
    uint32_t best = 0;
    uint32_t bestInvalid = 0;
    uint32_t bestErase = kFtlNone;
    uint32_t lowest = kFtlNone;
    uint32_t highest = 0;
    uint32_t leastErased = kFtlNone;
    for (uint32_t u = 0; u < c->unitCount; ++u) {
        if (u == c->spareUnit || !unit_has_kind(c, u, kind)) {
            continue;
        }
        const EuInfo &info = c->euInfo[u];
        // Idle reclaim ranks by the space a reclaim would actually free, so
        // that repeated idle reclaims converge.
        const uint32_t score = idle ? stale_slots(c, u) : info.invalidSlots;
        if (score > bestInvalid || (score == bestInvalid && info.eraseCount < bestErase)) {
            best = u;
            bestInvalid = score;
            bestErase = info.eraseCount;
        }
        if (info.eraseCount < lowest) {
            lowest = info.eraseCount;
            leastErased = u;
        }
        if (info.eraseCount > highest) {
            highest = info.eraseCount;
        }
    }
    *mode = kModeReclaim;
    if (allowWearLevelling && leastErased != kFtlNone && highest - lowest > kWearSpread &&
        highest % kWearPeriod == 0) {
        return leastErased;
    }
    return preferred != kFtlNone ? preferred : best;
}

uint32_t _reclaim_eu_wrapper(AfsContext *ctx, uint32_t kind) {
    uint32_t mode = kModeReclaim;
    uint32_t victim = _choose_eu_to_reclaim(ctx, kind, true, &mode, false);
    FtlControl *c = ftl_control(ctx);
    // With no unit of the kind the choice falls back to unit 0; reclaiming a
    // unit of the other area would gain nothing, so report no space instead.
    if (victim >= c->unitCount || victim == c->spareUnit || !unit_has_kind(c, victim, kind)) {
        return kFtlNoSpace;
    }
    const uint32_t status = _reclaim_eu(ctx, victim, mode);
    if (status != kFtlNoGain) {
        return status;
    }
    victim = _choose_eu_to_reclaim(ctx, kind, false, &mode, false);
    if (victim < c->unitCount && eu(c, victim).invalidSlots == 0 && mode == kModeReclaim) {
        return kFtlNoSpace;
    }
    return _reclaim_eu(ctx, victim, mode);
}

}  // namespace quor::afs

using quor::afs::_choose_eu_to_reclaim;
using quor::afs::_reclaim_eu;
using quor::afs::_reclaim_eu_wrapper;

// ---- Mount, format, allocation map ---------------------------------------------------

uint32_t afs_physical_ftl_init(AfsContext *context, uint32_t flashSize, uint32_t options) {
    if (context == nullptr) {
        return kFtlInvalid;
    }
    const uint32_t fullUnits = flashSize / kFtlUnitSize;
    const uint32_t units = fullUnits & 0xFF;  // the unit count is held in 8 bits
    const uint32_t status = prepare_control(context, units, options);
    if (status != kFtlOk) {
        return status;
    }
    reset_control(context, units);
    if ((options & kFtlMountInitDriver) != 0) {
        SpiFlashDrvInitialize(context->flashImage);
    }
    if (units == 0) {
        return kFtlIoError;
    }
    // A unit count that did not fit 8 bits, a partition whose end passes the
    // 32-bit address space, or page numbers beyond 16 bits cannot be mounted.
    if (fullUnits > kMaxUnits ||
        static_cast<uint64_t>(context->flashOffset) + static_cast<uint64_t>(units) * kFtlUnitSize >
            0x100000000ULL ||
        dynamic_pages(context) > kMaxDynamicPages) {
        return kFtlIoError;
    }
    FtlControl *c = ftl_control(context);
    ScanState scan;
    uint32_t result = scan_units(context, scan);
    if (result == kFtlOk) {
        c->lastPage = scan.chainSeed;
        result = resolve_open_unit(context, scan);
    }
    if (result != kFtlOk) {
        return result;
    }
    if (c->writeUnit == kFtlNone) {
        choose_initial_write_unit(c);
    }
    if (scan.repairSpareEraseCount) {
        repair_spare_erase_count(c);
    }
    return kFtlOk;
}

uint32_t afs_physical_ftl_format(AfsContext *context, uint8_t eraseFirst) {
    if (context == nullptr || context->ftl == nullptr) {
        return kFtlIoError;  // a mount attempt must precede the format
    }
    const FtlControl *c = ftl_control(context);
    const uint32_t units = context->flashSize / kFtlUnitSize;
    if (units == 0) {
        return kFtlOk;
    }
    if (units > kMaxUnits ||
        static_cast<uint64_t>(context->flashOffset) + static_cast<uint64_t>(units) * kFtlUnitSize >
            0x100000000ULL) {
        return kFtlIoError;
    }
    const int64_t reservedUnits =
        context->volumeSize > context->dynamicAreaSize
            ? (context->volumeSize - context->dynamicAreaSize) / kFtlReservedBytesPerUnit
            : 0;
    for (uint32_t i = 0; i < units; ++i) {
        if (eraseFirst != 0 && SpiDrvEraseBlock(unit_address(context, i, 0)) == 0) {
            SpiDrvEraseBlock(unit_address(context, i, kSpiEraseBlockSize));
        }
        uint16_t base = 0;
        if (static_cast<int64_t>(units) - 1 - reservedUnits <= static_cast<int64_t>(i) &&
            i + 1 < c->unitCount) {
            const int64_t offset =
                (static_cast<int64_t>(i) - c->firstReservedUnit) * kFtlReservedBytesPerUnit +
                context->dynamicAreaSize;
            base = static_cast<uint16_t>(static_cast<uint64_t>(offset) / kFtlPageSize);
        }
        const uint32_t magic = i + 1 == units ? kSpareMagic : kUnitMagic;
        uint8_t header[kHdrWritten];
        build_header(header, magic, i + 1, 1, static_cast<uint16_t>(i + 1), base);
        if (verified_write(context, i, 0, kHdrWritten, header) != kFtlOk ||
            verified_write_byte(context, i, kHdrCommit, kCommitted) != kFtlOk) {
            return kFtlIoError;
        }
    }
    return kFtlOk;
}

uint32_t afs_physical_ftl_set_allocation_map(AfsContext *context) {
    if (!control_usable(context) || context->allocationBitmap == nullptr) {
        return kFtlIoError;
    }
    FtlControl *c = ftl_control(context);
    c->allocRetry = 0;
    c->allocNext = kFtlNone;
    uint32_t bestSequence = 0;
    for (uint32_t j = 0; j < c->unitCount; ++j) {
        EuInfo &info = eu(c, j);
        if (info.reservedBase == 0 || j == c->spareUnit) {
            continue;
        }
        info.invalidSlots = kFtlReservedSlots;
        info.freeSlots = 0;
        const auto r0 = static_cast<uint32_t>(
            static_cast<uint16_t>(info.reservedBase - dynamic_pages(context)));
        uint8_t status[kFtlReservedSlots];
        if (!flash_read(context, j, kStatusBytes, kFtlReservedSlots, status)) {
            c->needsRemount = 1;
            return kFtlIoError;
        }
        uint32_t firstFree = kFtlNone;
        for (uint32_t s = 0; s < kFtlReservedSlots; ++s) {
            if (chunk_allocated(context, r0 + s)) {
                if (status[s] != kSlotWritten) {
                    c->needsRemount = 1;
                    return kFtlIoError;
                }
                info.invalidSlots = dec8(info.invalidSlots);
            } else if (status[s] == kSlotFree) {
                info.freeSlots = inc8(info.freeSlots);
                if (bestSequence < info.sequence && firstFree == kFtlNone) {
                    firstFree = s;
                }
            }
        }
        if (info.freeSlots != 0 && info.sequence > bestSequence) {
            bestSequence = info.sequence;
            if (firstFree != kFtlNone) {
                c->allocNext = r0 + firstFree;
                c->allocEnd = r0 + kFtlReservedSlots;
            }
        }
    }
    c->checkFlashStatus = 1;
    return kFtlOk;
}

uint32_t afs_physical_ftl_get_data_vas(AfsContext *context) {
    if (context == nullptr) {
        return 0;
    }
    const uint32_t units = context->flashSize / kFtlUnitSize;
    if (units <= 1) {
        return 0;
    }
    const uint32_t dataUnits = units > 11 ? units - 1 - units / 12 : units - 2;
    return dataUnits * kFtlReservedBytesPerUnit;
}

void afs_physical_ftl_release(AfsContext *context) {
    if (context == nullptr || context->ftl == nullptr) {
        return;
    }
    FtlControl *c = ftl_control(context);
    release_arrays(c);
    std::free(c);
    context->ftl = nullptr;
}

// ---- Page operations ------------------------------------------------------------------

namespace {

uint32_t read_dynamic_page(AfsContext *ctx, uint32_t va, uint8_t *out) {
    FtlControl *c = ftl_control(ctx);
    const uint32_t page = va / kFtlPageSize;
    if (page >= c->pageMapEntries) {
        return kFtlIoError;
    }
    if (!page_is_mapped(c, page)) {
        std::memset(out, 0, kFtlPageSize);
        return kFtlOk;
    }
    const uint32_t unit = mapped_unit(c, page);
    const uint32_t slot = mapped_slot(c, page);
    if (unit >= c->unitCount || slot >= kFtlDynamicSlots) {
        return kFtlIoError;
    }
    uint8_t record[kFtlRecordSize];
    PageSource source;
    source.first = static_cast<uint16_t>(page);
    if (checked_read(ctx, unit, dynamic_record_offset(slot), 1, source, record, true) != kFtlOk) {
        return kFtlIoError;
    }
    std::memcpy(out, record, kFtlPageSize);
    return kFtlOk;
}

uint32_t read_reserved_page(AfsContext *ctx, uint32_t va, uint8_t *out) {
    // An unallocated chunk reads as zeros: its unit is looked for only when
    // it is allocated (the unit search walks every unit).
    const uint32_t index = (va - ctx->dynamicAreaSize) / kFtlPageSize;
    if (ctx->noAllocationBitmap == 0 && !chunk_allocated(ctx, index)) {
        std::memset(out, 0, kFtlPageSize);
        return kFtlOk;
    }
    const ReservedPlace place = locate_index(ctx, index);
    if (!place.found) {
        return kFtlIoError;
    }
    uint8_t record[kFtlRecordSize];
    PageSource source;
    source.first = static_cast<uint16_t>(va / kFtlPageSize);
    if (checked_read(ctx, place.unit, reserved_record_offset(place.slot), 1, source, record,
                     true) != kFtlOk) {
        return kFtlIoError;
    }
    std::memcpy(out, record, kFtlPageSize);
    return kFtlOk;
}

// RAM side of a dynamic page now held by committed slot `slot` of `unit`.
void record_dynamic_write(FtlControl *c, uint32_t page, uint32_t unit, uint32_t slot) {
    if (page_is_mapped(c, page) && mapped_unit(c, page) < c->unitCount) {
        EuInfo &old = eu(c, mapped_unit(c, page));
        old.invalidSlots = inc8(old.invalidSlots);
    }
    map_page(c, page, unit, slot);
    c->writeSlot = slot + 1;
    c->lastPage = static_cast<uint16_t>(page);
    eu(c, unit).invalidSlots = dec8(eu(c, unit).invalidSlots);
}

// After a failed dynamic write, makes RAM agree with what the next mount
// will decode from the slot table: an untouched entry leaves the slot free;
// a torn slot is skipped together with the slot after it; a slot whose
// commit mark did reach the flash (only its read-back failed) holds the page.
void recover_failed_slot(AfsContext *ctx, uint32_t unit, uint32_t slot, uint32_t page) {
    FtlControl *c = ftl_control(ctx);
    uint8_t raw[4];
    if (!flash_read(ctx, unit, entry_offset(slot), sizeof(raw), raw)) {
        return;  // unknown: keep the slot, the next write finds out
    }
    // 0x7FFF is the untouched entry carrying the previous slot's commit mark.
    const uint16_t entry = quor::load_le16(raw);
    if (entry == kEntryUnused || entry == kEntryCommittedUnused) {
        return;
    }
    eu(c, unit).freeSlots = 0;
    const uint16_t next = quor::load_le16(raw + 2);
    const auto expected = static_cast<uint16_t>(page ^ quor::afs::crc14_of_page(c->lastPage));
    if ((next & kEntryCommitBit) == 0 && entry == expected) {
        record_dynamic_write(c, page, unit, slot);
        return;
    }
    c->writeSlot = slot + 2 < kFtlDynamicSlots ? slot + 2 : kFtlDynamicSlots;
}

uint32_t write_dynamic_page(AfsContext *ctx, uint32_t va, const uint8_t *data) {
    FtlControl *c = ftl_control(ctx);
    if (c->writeUnit == kFtlNone) {
        return kFtlNoSpace;  // no dynamic unit at all
    }
    if (c->writeSlot >= kFtlDynamicSlots) {
        const uint32_t status = _reclaim_eu_wrapper(ctx, kKindDynamic);
        if (status != kFtlOk) {
            return status;
        }
        if (c->writeUnit >= c->unitCount || c->writeSlot >= kFtlDynamicSlots) {
            return kFtlNoSpace;
        }
    }
    const uint32_t unit = c->writeUnit;
    const uint32_t slot = c->writeSlot;
    if (va / kFtlPageSize >= c->pageMapEntries) {
        return kFtlIoError;
    }
    const auto page = static_cast<uint16_t>(va / kFtlPageSize);
    uint8_t entry[2];
    quor::store_le16(entry, static_cast<uint16_t>(page ^ quor::afs::crc14_of_page(c->lastPage)));
    uint8_t record[kFtlRecordSize];
    build_record(record, data, page);
    eu(c, unit).freeSlots = 0;
    if (verified_write(ctx, unit, entry_offset(slot), 2, entry) != kFtlOk ||
        verified_write(ctx, unit, dynamic_record_offset(slot), kFtlRecordSize, record) != kFtlOk ||
        verified_write_byte(ctx, unit, commit_mark_offset(slot), kCommitMark) != kFtlOk) {
        recover_failed_slot(ctx, unit, slot, page);
        return kFtlIoError;
    }
    record_dynamic_write(c, page, unit, slot);
    return kFtlOk;
}

uint32_t write_reserved_page(AfsContext *ctx, uint32_t va, const uint8_t *data) {
    FtlControl *c = ftl_control(ctx);
    const ReservedPlace place = locate_reserved(ctx, va);
    if (!place.found || (ctx->noAllocationBitmap == 0 && !chunk_exists(ctx, place.index))) {
        return kFtlIoError;
    }
    uint8_t record[kFtlRecordSize];
    build_record(record, data, static_cast<uint16_t>(va / kFtlPageSize));
    uint8_t status = 0;
    if (!flash_read(ctx, place.unit, kStatusBytes + place.slot, 1, &status) ||
        status != kSlotFree) {
        return kFtlIoError;
    }
    EuInfo &info = eu(c, place.unit);
    if (verified_write_byte(ctx, place.unit, kStatusBytes + place.slot, kSlotStarted) != kFtlOk) {
        return kFtlIoError;
    }
    info.freeSlots = dec8(info.freeSlots);
    if (verified_write(ctx, place.unit, reserved_record_offset(place.slot), kFtlRecordSize,
                       record) != kFtlOk ||
        verified_write_byte(ctx, place.unit, kStatusBytes + place.slot, kSlotWritten) != kFtlOk) {
        return kFtlIoError;
    }
    set_chunk(ctx, place.index, true);
    info.invalidSlots = dec8(info.invalidSlots);
    return kFtlOk;
}

// Allocator step 1 / 3.1: first refusal, then a reserved reclaim.
uint32_t allocator_unit_used_up(AfsContext *ctx) {
    FtlControl *c = ftl_control(ctx);
    if (c->allocRetry == 0) {
        c->allocRetry = 1;
        return kFtlOutOfSlots;
    }
    const uint32_t status = _reclaim_eu_wrapper(ctx, kKindReserved);
    if (status != kFtlOk) {
        return status;
    }
    // Only a reclaim of a reserved unit clears allocRetry and gives the
    // allocator a new range; anything else would send it round forever.
    if (c->allocRetry != 0 || c->allocNext == kFtlNone || c->allocNext == c->allocEnd) {
        return kFtlNoSpace;
    }
    return kFtlOk;
}

// True when chunk x may be handed out: it exists in this volume (below
// chunkCount, with a unit carrying it, and an id that fits 16 bits). The
// unit carrying it is left in `*place` for the caller, so that it is
// searched for once.
bool chunk_can_be_handed_out(const AfsContext *ctx, uint32_t x, ReservedPlace *place) {
    if (x >= ctx->chunkCount || static_cast<uint32_t>(ctx->fileCount) + x > 0xFFFF) {
        return false;
    }
    *place = locate_index(ctx, x);
    return place->found;
}

}  // namespace

uint32_t afs_physical_ftl_read_page(AfsContext *context, uint32_t va, uint32_t length, void *buffer,
                                    uint32_t flashOffset) {
    (void)length;
    (void)flashOffset;
    if (!control_usable(context) || buffer == nullptr) {
        return kFtlIoError;
    }
    auto *out = static_cast<uint8_t *>(buffer);
    return va < context->dynamicAreaSize ? read_dynamic_page(context, va, out)
                                         : read_reserved_page(context, va, out);
}

uint32_t afs_physical_ftl_write_page(AfsContext *context, uint32_t va, uint32_t length,
                                     const void *data, uint32_t flashOffset) {
    (void)length;
    (void)flashOffset;
    if (!control_usable(context) || data == nullptr) {
        return kFtlIoError;
    }
    if (commit_pending_open_unit(context) != kFtlOk) {
        return kFtlIoError;
    }
    const auto *bytes = static_cast<const uint8_t *>(data);
    return va < context->dynamicAreaSize ? write_dynamic_page(context, va, bytes)
                                         : write_reserved_page(context, va, bytes);
}

uint32_t afs_physical_ftl_trim_page(AfsContext *context, uint32_t va, uint32_t length,
                                    uint32_t flashOffset) {
    (void)length;
    (void)flashOffset;
    if (!control_usable(context)) {
        return kFtlOk;
    }
    FtlControl *c = ftl_control(context);
    if (va < context->dynamicAreaSize) {
        const uint32_t page = va / kFtlPageSize;
        if (page < c->pageMapEntries && page_is_mapped(c, page)) {
            if (mapped_unit(c, page) < c->unitCount) {
                EuInfo &info = eu(c, mapped_unit(c, page));
                info.invalidSlots = inc8(info.invalidSlots);
            }
            unmap_page(c, page);
        }
        return kFtlOk;
    }
    const ReservedPlace place = locate_reserved(context, va);
    if ((place.index & 0xFFFF) / kFtlReservedSlots == c->allocNext / kFtlReservedSlots) {
        c->checkFlashStatus = 1;
    }
    if (chunk_allocated(context, place.index)) {
        set_chunk(context, place.index, false);
        if (place.found) {
            EuInfo &info = eu(c, place.unit);
            info.invalidSlots = inc8(info.invalidSlots);
        }
    }
    return kFtlOk;
}

uint32_t afs_physical_ftl_allocate_page(AfsContext *context, uint16_t *chunkId) {
    if (!control_usable(context) || chunkId == nullptr) {
        return kFtlIoError;
    }
    FtlControl *c = ftl_control(context);
    if (c->allocNext == kFtlNone) {
        const uint32_t status = allocator_unit_used_up(context);
        if (status != kFtlOk) {
            return status;
        }
    }
    if (context->chunkCount == 0) {
        return kFtlNoSpace;
    }
    uint32_t examined = 0;
    uint32_t x = c->allocNext;
    for (;;) {
        if (x == c->allocEnd) {
            const uint32_t status = allocator_unit_used_up(context);
            if (status != kFtlOk) {
                return status;
            }
            x = c->allocNext;
            continue;
        }
        bool handOut = false;
        ReservedPlace place{};
        if (!chunk_can_be_handed_out(context, x, &place) || chunk_allocated(context, x)) {
            ++x;
        } else if (c->checkFlashStatus == 0) {
            handOut = true;
        } else {
            uint8_t status = 0;
            if (!flash_read(context, place.unit, kStatusBytes + place.slot, 1, &status)) {
                return kFtlIoError;
            }
            if (status == kSlotFree) {
                handOut = true;
            } else {
                ++x;
            }
        }
        if (handOut) {
            *chunkId = static_cast<uint16_t>(context->fileCount + x);
            c->allocNext = x + 1;
            return kFtlOk;
        }
        ++examined;
        c->allocNext = x;
        if (examined >= context->chunkCount) {
            return kFtlNoSpace;
        }
    }
}

uint32_t afs_physical_ftl_read_data_pages(AfsContext *context, void *buffer, uint32_t va,
                                          uint32_t count) {
    if (!control_usable(context) || buffer == nullptr || va < context->dynamicAreaSize) {
        return kFtlIoError;
    }
    auto *out = static_cast<uint8_t *>(buffer);
    const ReservedPlace first = locate_reserved(context, va);
    if (context->noAllocationBitmap == 0 && !chunk_allocated(context, first.index)) {
        std::memset(out, 0, kFtlPageSize);
        return kFtlOk;
    }
    if (count == 0) {
        return kFtlOk;
    }
    if (!first.found) {
        return kFtlIoError;
    }
    PageSource source;
    source.first = static_cast<uint16_t>(va / kFtlPageSize);
    if (first.slot + count <= kFtlReservedSlots) {
        return checked_read(context, first.unit, reserved_record_offset(first.slot), count, source,
                            out, true);
    }
    const uint32_t head = kFtlReservedSlots - first.slot;
    const uint32_t tail = count - head;
    // The tail must lie in the next unit's run: a longer request would read
    // past that unit.
    const ReservedPlace next = locate_index(context, first.index + head);
    if (tail > kFtlReservedSlots || !next.found) {
        return kFtlIoError;
    }
    if (checked_read(context, first.unit, reserved_record_offset(first.slot), head, source, out,
                     true) != kFtlOk) {
        return kFtlIoError;
    }
    PageSource tailSource;
    tailSource.first = static_cast<uint16_t>(source.first + head);
    return checked_read(context, next.unit, reserved_record_offset(0), tail, tailSource,
                        out + head * kFtlPageSize, true);
}

// ---- Idle policy and forced reclaims ---------------------------------------------------

uint32_t afs_physical_ftl_idle_reclaim_needed(AfsContext *context, uint32_t *preferredUnit,
                                              uint32_t *kind) {
    uint32_t unitOut = kFtlNone;
    uint32_t kindOut = kKindDynamic;
    uint32_t answer = 0;
    if (context == nullptr || context->ftl == nullptr || ftl_control(context)->euInfo == nullptr) {
        answer = 0;
    } else if (ftl_control(context)->unitCount == 0) {
        answer = 1;
    } else {
        const FtlControl *c = ftl_control(context);
        uint32_t reservedFree = 0;
        uint32_t reservedInvalid = 0;
        uint32_t reservedStale = 0;
        uint32_t dynamicFree = 0;
        uint32_t dynamicStale = 0;
        uint32_t candidate = kFtlNone;
        for (uint32_t u = 0; u < c->unitCount; ++u) {
            if (u == c->spareUnit) {
                continue;
            }
            const EuInfo &info = c->euInfo[u];
            bool isCandidate = false;
            if (info.reservedBase != 0) {
                reservedFree += info.freeSlots;
                reservedInvalid += info.invalidSlots;
                reservedStale += stale_slots(c, u);
                isCandidate = info.invalidSlots == kFtlReservedSlots && info.freeSlots == 0;
            } else {
                if (u == c->writeUnit) {
                    dynamicFree += kFtlDynamicSlots - c->writeSlot;
                } else if (info.freeSlots != 0) {
                    dynamicFree += kFtlDynamicSlots;
                }
                dynamicStale += stale_slots(c, u);
                // An empty unit holds nothing to reclaim and is no candidate.
                isCandidate = info.invalidSlots == kFtlDynamicSlots && info.freeSlots == 0 &&
                              stale_slots(c, u) != 0;
            }
            if (isCandidate &&
                (candidate == kFtlNone || info.eraseCount < c->euInfo[candidate].eraseCount)) {
                candidate = u;
            }
        }
        // The space rules also need stale slots to free, otherwise a full
        // volume would ask for reclaims that gain nothing, forever.
        if (dynamicFree <= kIdleDynamicFreeLow && dynamicStale != 0) {
            answer = 1;
        } else if (reservedFree <= kIdleReservedFreeLow &&
                   reservedInvalid > kIdleReservedInvalidHigh && reservedStale != 0) {
            kindOut = kKindReserved;
            answer = 1;
        } else if (candidate != kFtlNone) {
            kindOut = c->euInfo[candidate].reservedBase != 0 ? kKindReserved : kKindDynamic;
            unitOut = candidate;
            answer = 1;
        }
    }
    if (preferredUnit != nullptr) {
        *preferredUnit = unitOut;
    }
    if (kind != nullptr) {
        *kind = kindOut;
    }
    return answer;
}

uint32_t afs_physical_ftl_idle_reclaim(AfsContext *context) {
    if (!control_usable(context)) {
        return kFtlOk;
    }
    uint32_t mode = kModeSwitch;
    const uint32_t victim = _choose_eu_to_reclaim(context, kKindDynamic, true, &mode, true);
    if (victim < ftl_control(context)->unitCount && mode == kModeReclaim) {
        return _reclaim_eu(context, victim, kModeReclaim);
    }
    return kFtlOk;
}

uint32_t afs_physical_ftl_force_full_reclaim(AfsContext *context) {
    if (!control_usable(context)) {
        return kFtlIoError;
    }
    FtlControl *c = ftl_control(context);
    uint32_t unit = c->fullReclaimCursor;
    while (unit < c->unitCount && (eu(c, unit).reservedBase == 0 || unit == c->spareUnit)) {
        ++unit;
    }
    if (unit >= c->unitCount) {
        c->fullReclaimCursor = 0;
        return kFtlOk;
    }
    const uint32_t status = _reclaim_eu(context, unit, kModeReclaim);
    if (status != kFtlOk && status != kFtlNoGain) {
        return status;
    }
    c->fullReclaimCursor = static_cast<uint8_t>(unit + 1);
    if (unit + 1 == c->unitCount) {
        c->fullReclaimCursor = 0;
        return kFtlOk;
    }
    return kFtlAgain;
}

uint32_t afs_physical_ftl_force_dirty_erase(AfsContext *context) {
    if (context == nullptr || context->ftl == nullptr || ftl_control(context)->euInfo == nullptr) {
        return kFtlInvalid;
    }
    FtlControl *c = ftl_control(context);
    if (c->unitCount == 0) {
        return kFtlOk;
    }
    const uint8_t zeros[kFtlRecordSize] = {};
    for (uint32_t u = 0; u < c->unitCount; ++u) {
        const bool isSpare = u == c->spareUnit;
        if (!isSpare && eu(c, u).reservedBase == 0) {
            continue;
        }
        uint8_t status[kFtlReservedSlots];
        if (!flash_read(context, u, kStatusBytes, kFtlReservedSlots, status)) {
            return kFtlIoError;
        }
        const auto r0 = static_cast<uint32_t>(
            static_cast<uint16_t>(eu(c, u).reservedBase - dynamic_pages(context)));
        for (uint32_t s = 0; s < kFtlReservedSlots; ++s) {
            // Without a bitmap nothing tells a trimmed chunk from a live one,
            // so only the spare is scrubbed then.
            const bool trimmed =
                !isSpare && status[s] != kSlotFree && context->allocationBitmap != nullptr &&
                context->noAllocationBitmap == 0 && !chunk_allocated(context, r0 + s);
            if (isSpare || trimmed) {
                // Scrubbing trusts the driver result without a read-back: the
                // zeros protect no data, and a failure is still reported.
                if (SpiDrvWrite(unit_address(context, u, reserved_record_offset(s)), kFtlRecordSize,
                                zeros) != 0) {
                    return kFtlIoError;
                }
            }
        }
    }
    return kFtlOk;
}

uint32_t afs_physical_ftl_end_reserved_files_mode(AfsContext *context) {
    if (!control_usable(context)) {
        return kFtlIoError;
    }
    FtlControl *c = ftl_control(context);
    if (c->spareUnit != 0) {
        const uint32_t status = _reclaim_eu(context, 0, kModeReclaim);
        if (status != kFtlOk && status != kFtlNoGain) {
            return status;
        }
        if (c->spareUnit == 1) {
            return kFtlOk;
        }
    }
    if (c->unitCount < 2) {
        return kFtlOk;
    }
    const uint32_t status = _reclaim_eu(context, 1, kModeReclaim);
    if (status != kFtlOk && status != kFtlNoGain) {
        return status;
    }
    return kFtlOk;
}
