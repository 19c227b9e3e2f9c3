// Mount, format and release of the AFS FTL: the scan that rebuilds the RAM
// state from the unit headers and slot tables (never writing), recovery of an
// interrupted reclaim, the format, and the allocation map of the reserved area.
#include <cstdlib>
#include <cstring>

#include "afs/AfsFtl.h"
#include "afs/AfsFtlFlash.h"
#include "afs/AfsFtlFormat.h"
#include "afs/AfsFtlState.h"
#include "afs/AfsPhysicalWin32Spi.h"

using namespace quor::afs::ftl;

namespace {

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
    forget_group_units(c);
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
    forget_group_units(c);
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
    forget_group_units(c);
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
            forget_group_units(c);
        } else {
            status = scan_committed_unit(ctx, i, raw, s);
        }
        if (status != kFtlOk) {
            return status;
        }
    }
    return kFtlOk;
}

// Completes or drops an interrupted reclaim found by the scan: the recovery
// side of the crash protocol in AfsFtlReclaim.h.
uint32_t resolve_open_unit(AfsContext *ctx, ScanState &s) {
    FtlControl *c = ftl_control(ctx);
    if (s.open == kFtlNone) {
        return s.spare == s.newestSpareAtWrite ? kFtlOk : kFtlIoError;
    }
    if (s.spare == kFtlNone) {
        // The reclaim's source was never invalidated: drop its work. Its
        // header may be a torn program whose checksum byte (still 0xFF)
        // matched by chance, its erase count then reading 0xFFFFFFFF or half
        // written: the spare gets the mean count, as a damaged spare does.
        c->spareUnit = static_cast<uint16_t>(s.open);
        eu(c, s.open).reservedBase = 0;
        s.repairSpareEraseCount = true;
        forget_group_units(c);
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

}  // namespace

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
