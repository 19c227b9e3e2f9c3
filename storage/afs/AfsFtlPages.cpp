// Page operations of the AFS FTL: reads and writes of single pages, trim,
// the chunk allocator of the reserved area and multi-page data reads.
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

#include "afs/AfsFtl.h"
#include "afs/AfsFtlCheckAhead.h"
#include "afs/AfsFtlFlash.h"
#include "afs/AfsFtlFormat.h"
#include "afs/AfsFtlReclaim.h"
#include "afs/AfsFtlState.h"
#include "common/crc_clmul.h"

using namespace quor::afs::ftl;
using quor::afs::_reclaim_eu_wrapper;
using quor::afs::UnitKind;

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
    if (checking_ahead(ctx)) {
        // A bad record or none in place takes the checked read below, which
        // looks at it again and retries through the driver as always.
        const uint8_t *view = quor::afs::spi_read_view(
            unit_address(ctx, unit, dynamic_record_offset(slot)), kFtlRecordSize);
        if (view != nullptr && dynamic_record_good(ctx, page, view)) {
            std::memcpy(out, view, kFtlPageSize);
            return kFtlOk;
        }
    }
    uint8_t staging[kFtlRecordSize];
    const uint8_t *record = nullptr;
    PageSource source;
    source.first = static_cast<uint16_t>(page);
    if (checked_records(ctx, unit, dynamic_record_offset(slot), 1, source, staging, &record) !=
        kFtlOk) {
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
    uint8_t staging[kFtlRecordSize];
    const uint8_t *record = nullptr;
    PageSource source;
    source.first = static_cast<uint16_t>(va / kFtlPageSize);
    if (checked_records(ctx, place.unit, reserved_record_offset(place.slot), 1, source, staging,
                        &record) != kFtlOk) {
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
        const uint32_t status = _reclaim_eu_wrapper(ctx, UnitKind::Dynamic);
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

// Writes the reserved page at `place` (as locate_reserved found it) whose
// record (data and checksum) is built by `build_record(record)` once the
// page is known to be writable.
template <class BuildRecord>
uint32_t write_reserved_at(AfsContext *ctx, const ReservedPlace &place, BuildRecord build_record) {
    FtlControl *c = ftl_control(ctx);
    if (!place.found || (ctx->noAllocationBitmap == 0 && !chunk_exists(ctx, place.index))) {
        return kFtlIoError;
    }
    uint8_t record[kFtlRecordSize];
    build_record(record);
    uint8_t status = 0;
    if (!flash_read_byte(ctx, place.unit, kStatusBytes + place.slot, &status) ||
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

template <class BuildRecord>
uint32_t write_reserved_record(AfsContext *ctx, uint32_t va, BuildRecord build_record) {
    return write_reserved_at(ctx, locate_reserved(ctx, va), build_record);
}

uint32_t write_reserved_page(AfsContext *ctx, uint32_t va, const uint8_t *data) {
    const auto page = static_cast<uint16_t>(va / kFtlPageSize);
    return write_reserved_record(ctx, va,
                                 [&](uint8_t *record) { build_record(record, data, page); });
}

// Allocator step 1 / 3.1: first refusal, then a reserved reclaim.
uint32_t allocator_unit_used_up(AfsContext *ctx) {
    FtlControl *c = ftl_control(ctx);
    if (c->allocRetry == 0) {
        c->allocRetry = 1;
        return kFtlOutOfSlots;
    }
    const uint32_t status = _reclaim_eu_wrapper(ctx, UnitKind::Reserved);
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

namespace quor::afs {

uint32_t ftl_write_chunk(AfsContext *context, uint32_t va, const uint8_t *data, uint16_t dataCrc) {
    if (!control_usable(context) || data == nullptr) {
        return kFtlIoError;
    }
    if (commit_pending_open_unit(context) != kFtlOk) {
        return kFtlIoError;
    }
    if (va < context->dynamicAreaSize) {
        return write_dynamic_page(context, va, data);
    }
    const auto page = static_cast<uint16_t>(va / kFtlPageSize);
    return write_reserved_record(
        context, va, [&](uint8_t *record) { build_record_from(record, data, dataCrc, page); });
}

}  // namespace quor::afs

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
    trim_reserved_index(context, (va - context->dynamicAreaSize) / kFtlPageSize);
    return kFtlOk;
}

namespace {

// The allocator's walk from chunk `x` on, `examined` chunks passed over
// already: the first chunk that exists, is free and (when the allocator
// must confirm it on the flash) reads as free is handed out, its place left
// in `*handed`.
uint32_t allocate_from(AfsContext *context, uint32_t x, uint32_t examined, uint16_t *chunkId,
                       ReservedPlace *handed) {
    FtlControl *c = ftl_control(context);
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
            if (!flash_read_byte(context, place.unit, kStatusBytes + place.slot, &status)) {
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
            *handed = place;
            return kFtlOk;
        }
        ++examined;
        c->allocNext = x;
        if (examined >= context->chunkCount) {
            return kFtlNoSpace;
        }
    }
}

// afs_physical_ftl_allocate_page, leaving the place of the chunk handed out
// in `*handed` (as locate_index finds it) for a writer that fills it next.
uint32_t allocate_at(AfsContext *context, uint16_t *chunkId, ReservedPlace *handed) {
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
    return allocate_from(context, c->allocNext, 0, chunkId, handed);
}

// allocate_at where its first step decides, inline for a run of chunks: the
// next chunk of the allocator's range exists and is free. False (nothing
// read, nothing changed) when the allocator has to look further; otherwise
// *status is what allocate_at answers, the flash status read included.
inline bool allocate_next(AfsContext *context, uint16_t *chunkId, ReservedPlace *handed,
                          uint32_t *status) {
    FtlControl *c = ftl_control(context);
    const uint32_t x = c->allocNext;
    ReservedPlace place{};
    if (x == kFtlNone || context->chunkCount == 0 || x == c->allocEnd ||
        !chunk_can_be_handed_out(context, x, &place) || chunk_allocated(context, x)) {
        return false;
    }
    if (c->checkFlashStatus != 0) {
        uint8_t flashStatus = 0;
        if (!flash_read_byte(context, place.unit, kStatusBytes + place.slot, &flashStatus)) {
            *status = kFtlIoError;
            return true;
        }
        if (flashStatus != kSlotFree) {
            // As the walk goes on past a chunk that is not free.
            c->allocNext = x + 1;
            *status = 1 >= context->chunkCount ? kFtlNoSpace
                                               : allocate_from(context, x + 1, 1, chunkId, handed);
            return true;
        }
    }
    *chunkId = static_cast<uint16_t>(context->fileCount + x);
    c->allocNext = x + 1;
    *handed = place;
    *status = kFtlOk;
    return true;
}

}  // namespace

uint32_t afs_physical_ftl_allocate_page(AfsContext *context, uint16_t *chunkId) {
    if (!control_usable(context) || chunkId == nullptr) {
        return kFtlIoError;
    }
    ReservedPlace place{};
    return allocate_at(context, chunkId, &place);
}

namespace quor::afs {

uint32_t ftl_allocate_and_write_chunks(AfsContext *context, ChunkRun *run) {
    run->done = 0;
    run->allocStatus = kFtlOk;
    for (uint32_t i = 0; i < run->count; ++i) {
        // What afs_physical_ftl_allocate_page checks first, then the
        // allocation itself.
        if (!control_usable(context)) {
            run->allocStatus = kFtlIoError;
            return kFtlOk;
        }
        uint16_t id = 0;
        ReservedPlace place{};
        uint32_t allocStatus = kFtlOk;
        if (!allocate_next(context, &id, &place, &allocStatus)) {
            allocStatus = allocate_at(context, &id, &place);
        }
        if (allocStatus != kFtlOk) {
            run->allocStatus = allocStatus;
            return kFtlOk;
        }
        run->ids[i] = id;
        run->done = i + 1;
        // ftl_write_chunk of the chunk just handed out: nothing ran in
        // between, so the place the allocator found is where it lies.
        if (!control_usable(context) || commit_pending_open_unit(context) != kFtlOk) {
            return kFtlIoError;
        }
        const uint8_t *data = run->data + size_t{i} * kFtlPageSize;
        const auto page = static_cast<uint16_t>(
            (context->dynamicAreaSize + place.index * kFtlPageSize) / kFtlPageSize);
        const uint32_t status = write_reserved_at(context, place, [&](uint8_t *record) {
            build_record_from(record, data, run->crcs[i], page);
        });
        if (status != kFtlOk) {
            return status;
        }
    }
    return kFtlOk;
}

}  // namespace quor::afs

namespace {

// Where the `count` records of a data read from `va` lie: `head` of them in
// `first.unit` from `first.slot`, the other `tail` at the start of the run of
// `next.unit`.
struct DataPlaces {
    ReservedPlace first{};
    ReservedPlace next{};
    uint32_t head = 0;
    uint32_t tail = 0;
    bool unallocated = false;  // an unallocated first chunk: reads as zeros
};

// The opening of both data reads: the first chunk located, an unallocated one
// reported as such before anything else is checked, and the records placed
// (head and tail) for a count above 0. 0, or 5 when the first chunk has no
// unit or the records run past the next unit's run (a longer request would
// read past that unit) or into a unit that is missing.
uint32_t place_data_pages(AfsContext *context, uint32_t va, uint32_t count, DataPlaces *places) {
    places->first = locate_reserved(context, va);
    if (context->noAllocationBitmap == 0 && !chunk_allocated(context, places->first.index)) {
        places->unallocated = true;
        return kFtlOk;
    }
    if (count == 0) {
        return kFtlOk;
    }
    if (!places->first.found) {
        return kFtlIoError;
    }
    const uint32_t slot = places->first.slot;
    places->head = slot + count <= kFtlReservedSlots ? count : kFtlReservedSlots - slot;
    places->tail = count - places->head;
    if (places->tail != 0) {
        places->next = locate_index(context, places->first.index + places->head);
        if (places->tail > kFtlReservedSlots || !places->next.found) {
            return kFtlIoError;
        }
    }
    return kFtlOk;
}

}  // namespace

uint32_t afs_physical_ftl_read_data_pages(AfsContext *context, void *buffer, uint32_t va,
                                          uint32_t count) {
    if (!control_usable(context) || buffer == nullptr || va < context->dynamicAreaSize) {
        return kFtlIoError;
    }
    auto *out = static_cast<uint8_t *>(buffer);
    DataPlaces places;
    const uint32_t status = place_data_pages(context, va, count, &places);
    if (places.unallocated) {
        std::memset(out, 0, kFtlPageSize);
        return kFtlOk;
    }
    if (status != kFtlOk || count == 0) {
        return status;
    }
    PageSource source;
    source.first = static_cast<uint16_t>(va / kFtlPageSize);
    if (checked_read(context, places.first.unit, reserved_record_offset(places.first.slot),
                     places.head, source, out, true) != kFtlOk) {
        return kFtlIoError;
    }
    if (places.tail == 0) {
        return kFtlOk;
    }
    PageSource tailSource;
    tailSource.first = static_cast<uint16_t>(source.first + places.head);
    return checked_read(context, places.next.unit, reserved_record_offset(0), places.tail,
                        tailSource, out + places.head * kFtlPageSize, true);
}

namespace {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// The data of `pages` whole records, one 512-bit move each (the CPUs that
// have the 512-bit CRC code have these moves too).
__attribute__((target("avx512f"))) void copy_pages_wide(const uint8_t *records, uint32_t pages,
                                                        uint8_t *dest) {
    for (uint32_t i = 0; i < pages; ++i) {
        _mm512_storeu_si512(dest + size_t{i} * kFtlPageSize,
                            _mm512_loadu_si512(records + size_t{i} * kFtlRecordSize));
    }
}
#endif

// The data of `pages` whole records at `records` (66 bytes apart) to `dest`.
void copy_pages(const uint8_t *records, uint32_t pages, uint8_t *dest) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    if (pages >= 4 && quor::crc::clmul::supported_wide()) {  // a few pages: not worth the call
        copy_pages_wide(records, pages, dest);
        return;
    }
#endif
    for (uint32_t i = 0; i < pages; ++i) {
        // A constant size: a few vector moves.
        std::memcpy(dest + size_t{i} * kFtlPageSize, records + size_t{i} * kFtlRecordSize,
                    kFtlPageSize);
    }
}

// Copies bytes [skip, skip + length) of the data of the records at
// `records` (66 bytes apart) to `dest`: the part of a first record, the whole
// records, the part of a last one.
void copy_record_data(const uint8_t *records, uint32_t skip, uint32_t length, uint8_t *dest) {
    uint32_t page = skip / kFtlPageSize;
    const uint32_t within = skip % kFtlPageSize;
    if (within != 0 && length != 0) {
        const uint32_t n = kFtlPageSize - within < length ? kFtlPageSize - within : length;
        std::memcpy(dest, records + page * kFtlRecordSize + within, n);
        dest += n;
        length -= n;
        ++page;
    }
    const uint32_t whole = length / kFtlPageSize;
    copy_pages(records + size_t{page} * kFtlRecordSize, whole, dest);
    dest += size_t{whole} * kFtlPageSize;
    length -= whole * kFtlPageSize;
    page += whole;
    if (length != 0) {
        std::memcpy(dest, records + size_t{page} * kFtlRecordSize, length);
    }
}

// Copies the slice of the data of `headCount` records at `head` followed by
// those at `tail` (each group 66 bytes apart; the two groups need not be
// next to each other).
void copy_slice(const uint8_t *head, uint32_t headCount, const uint8_t *tail,
                const quor::afs::DataSlice &slice) {
    const uint32_t headBytes = headCount * kFtlPageSize;
    uint8_t *dest = slice.dest;
    uint32_t skip = slice.skip;
    uint32_t length = slice.length;
    if (skip < headBytes) {
        const uint32_t n = headBytes - skip < length ? headBytes - skip : length;
        copy_record_data(head, skip, n, dest);
        dest += n;
        length -= n;
        skip = headBytes;
    }
    if (length != 0) {
        copy_record_data(tail, skip - headBytes, length, dest);
    }
}

}  // namespace

namespace quor::afs {

// The places and checks of afs_physical_ftl_read_data_pages, one by one; only
// where the data goes differs.
uint32_t ftl_read_data_slice(AfsContext *context, uint32_t va, uint32_t count, uint8_t *staging,
                             const DataSlice &slice) {
    if (!control_usable(context) || staging == nullptr || va < context->dynamicAreaSize ||
        slice.dest == nullptr ||
        uint64_t{slice.skip} + slice.length > uint64_t{count} * kFtlPageSize) {
        return kFtlIoError;
    }
    DataPlaces places;
    const uint32_t status = place_data_pages(context, va, count, &places);
    if (places.unallocated) {
        std::memset(slice.dest, 0, slice.length);
        return kFtlOk;
    }
    if (status != kFtlOk || count == 0) {
        return status;
    }
    PageSource source;
    source.first = static_cast<uint16_t>(va / kFtlPageSize);
    const uint8_t *head = nullptr;
    if (checked_records(context, places.first.unit, reserved_record_offset(places.first.slot),
                        places.head, source, staging, &head) != kFtlOk) {
        return kFtlIoError;
    }
    const uint8_t *tail = nullptr;
    if (places.tail != 0) {
        PageSource tailSource;
        tailSource.first = static_cast<uint16_t>(source.first + places.head);
        if (checked_records(context, places.next.unit, reserved_record_offset(0), places.tail,
                            tailSource, staging + places.head * kFtlRecordSize, &tail) != kFtlOk) {
            return kFtlIoError;
        }
    }
    copy_slice(head, places.head, tail, slice);
    return kFtlOk;
}

}  // namespace quor::afs
