// RAM state of the AFS FTL. See AfsFtlState.h.
#include "afs/AfsFtlState.h"

#include <cstring>

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

// Fills the group table from the units' bases, with what unit_with_base
// would answer for each group: units are entered from the last to the
// first, so that the first in index order wins where two carry one base.
void build_group_units(const AfsContext *ctx, FtlControl *c) {
    std::memset(c->groupUnit, kNoGroupUnit, sizeof(c->groupUnit));
    const uint32_t pages = dynamic_pages(ctx);
    for (uint32_t u = c->unitCount; u-- > 0;) {
        const uint16_t base = c->euInfo[u].reservedBase;
        if (u == c->spareUnit || base == 0 || u >= kNoGroupUnit) {
            continue;
        }
        const uint32_t offset = static_cast<uint16_t>(base - pages);
        if (offset % kFtlReservedSlots == 0 && offset / kFtlReservedSlots < kFtlReservedGroups) {
            c->groupUnit[offset / kFtlReservedSlots] = static_cast<uint8_t>(u);
        }
    }
    c->groupUnitsPages = pages;
    c->groupUnitsValid = 1;
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
