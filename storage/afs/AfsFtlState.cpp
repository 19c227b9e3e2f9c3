// RAM state of the AFS FTL. See AfsFtlState.h.
#include "afs/AfsFtlState.h"

#include "afs/AfsFtlFlash.h"

namespace quor::afs::ftl {

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

}  // namespace quor::afs::ftl
