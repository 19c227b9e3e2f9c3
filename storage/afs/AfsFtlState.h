// RAM state of the AFS FTL: per-unit bookkeeping (EuInfo), the page map of
// the dynamic area, the allocation bitmap of the reserved area, and where a
// reserved page lives. Counters rebuilt from flash saturate instead of wrapping.
#pragma once

#include <cstdint>

#include "afs/AfsContext.h"
#include "afs/AfsFtlFormat.h"

namespace quor::afs::ftl {

using quor::afs::ftl_control;

inline constexpr uint8_t kPageUnset = 0xFF;
inline constexpr uint32_t kEmptyDynamicInvalid = kFtlDynamicSlots;

inline EuInfo &eu(FtlControl *c, uint32_t unit) {
    return c->euInfo[unit];
}

inline void mark_empty_dynamic(EuInfo &info) {
    info.invalidSlots = kEmptyDynamicInvalid;
    info.freeSlots = 1;
}

inline void mark_empty_reserved(EuInfo &info) {
    info.invalidSlots = kFtlReservedSlots;
    info.freeSlots = kFtlReservedSlots;
}

// Saturating counter arithmetic: counts rebuilt from untrusted flash must
// never wrap.
inline uint8_t add8(uint8_t v, uint32_t n) {
    return static_cast<uint8_t>(v + n > 0xFF ? 0xFF : v + n);
}
inline uint8_t sub8(uint8_t v, uint32_t n) {
    return static_cast<uint8_t>(v > n ? v - n : 0);
}
inline uint8_t dec8(uint8_t v) {
    return sub8(v, 1);
}
inline uint8_t inc8(uint8_t v) {
    return add8(v, 1);
}

inline uint32_t dynamic_pages(const AfsContext *ctx) {
    return ctx->dynamicAreaSize / kFtlPageSize;
}

inline bool page_is_mapped(const FtlControl *c, uint32_t page) {
    return c->pageMap[2 * page + 1] != kPageUnset;
}
inline uint32_t mapped_unit(const FtlControl *c, uint32_t page) {
    return c->pageMap[2 * page];
}
inline uint32_t mapped_slot(const FtlControl *c, uint32_t page) {
    return c->pageMap[2 * page + 1];
}
inline void map_page(FtlControl *c, uint32_t page, uint32_t unit, uint32_t slot) {
    c->pageMap[2 * page] = static_cast<uint8_t>(unit);
    c->pageMap[2 * page + 1] = static_cast<uint8_t>(slot);
}
inline void unmap_page(FtlControl *c, uint32_t page) {
    c->pageMap[2 * page] = kPageUnset;
    c->pageMap[2 * page + 1] = kPageUnset;
}

// Bitmap access bounded by chunkCount: chunks beyond it do not exist.
inline bool chunk_exists(const AfsContext *ctx, uint32_t chunk) {
    return ctx->allocationBitmap != nullptr && chunk < ctx->chunkCount;
}
inline bool chunk_allocated(const AfsContext *ctx, uint32_t chunk) {
    return chunk_exists(ctx, chunk) &&
           ((ctx->allocationBitmap[chunk / 32] >> (chunk % 32)) & 1U) != 0;
}
inline void set_chunk(AfsContext *ctx, uint32_t chunk, bool allocated) {
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
uint32_t unit_with_base(const FtlControl *c, uint16_t base);

// To be called whenever a unit's reserved base or the spare changes: the
// table of which unit carries which group is rebuilt at its next use.
inline void forget_group_units(FtlControl *c) {
    c->groupUnitsValid = 0;
}

// Fills the table of which unit carries which group (c->groupUnit) from the
// units' reserved bases.
void build_group_units(const AfsContext *ctx, FtlControl *c);

inline constexpr uint8_t kNoGroupUnit = 0xFF;

// Where reserved page `index` lives: the unit whose reserved base is the
// page number of its group's first page (as unit_with_base finds it), from
// the table kept for that. Called several times for every chunk written, so
// it stays inline.
inline ReservedPlace locate_index(const AfsContext *ctx, uint32_t index) {
    const uint32_t group = (index & 0xFFFF) / kFtlReservedSlots;
    const uint32_t pages = dynamic_pages(ctx);
    ReservedPlace place{};
    place.index = index;
    place.slot = index % kFtlReservedSlots;
    place.unit = kFtlNone;
    // A group whose base would read as 0 has no unit (0 marks a dynamic unit).
    if (((pages + group * kFtlReservedSlots) & 0xFFFF) != 0) {
        FtlControl *c = ftl_control(ctx);
        if (c->groupUnitsValid == 0 || c->groupUnitsPages != pages) {
            build_group_units(ctx, c);
        }
        const uint8_t unit = c->groupUnit[group];
        place.unit = unit == kNoGroupUnit ? kFtlNone : unit;
    }
    // No unit carries the page: refuse instead of touching unit 0, which
    // holds other data.
    place.found = place.unit != kFtlNone;
    return place;
}

inline ReservedPlace locate_reserved(const AfsContext *ctx, uint32_t va) {
    return locate_index(ctx, (va - ctx->dynamicAreaSize) / kFtlPageSize);
}

inline bool control_usable(const AfsContext *ctx) {
    if (ctx == nullptr || ctx->ftl == nullptr) {
        return false;
    }
    const FtlControl *c = ftl_control(ctx);
    return c->euInfo != nullptr && c->pageMap != nullptr && c->needsRemount == 0;
}

// The trim of reserved page `index` (a data chunk) on a usable control, as
// afs_physical_ftl_trim_page does it: a trim inside the allocator's group
// makes the allocator read the status bytes again; an allocated chunk is
// freed and counted invalid in its unit. Inline for the file layer, which
// trims the old chunks of every write one by one.
inline void trim_reserved_index(AfsContext *ctx, uint32_t index) {
    FtlControl *c = ftl_control(ctx);
    const ReservedPlace place = locate_index(ctx, index);
    if ((place.index & 0xFFFF) / kFtlReservedSlots == c->allocNext / kFtlReservedSlots) {
        c->checkFlashStatus = 1;
    }
    if (chunk_allocated(ctx, place.index)) {
        set_chunk(ctx, place.index, false);
        if (place.found) {
            EuInfo &info = eu(c, place.unit);
            info.invalidSlots = inc8(info.invalidSlots);
        }
    }
}

// Commits a unit that the mount kept in use to complete an interrupted
// reclaim. Its spare-at-write field names the current spare only until the
// next reclaim, so it is committed before the first write or reclaim.
uint32_t commit_pending_open_unit(AfsContext *ctx);

}  // namespace quor::afs::ftl
