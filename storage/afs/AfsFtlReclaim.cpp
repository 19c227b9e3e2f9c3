// Reclaim of the AFS FTL: victim choice, copying live pages through the
// spare, the unit header step, the idle policy and the forced reclaims.
#include "afs/AfsFtlReclaim.h"

#include <cstring>
#include <memory>
#include <new>

#include "afs/AfsFtl.h"
#include "afs/AfsFtlFlash.h"
#include "afs/AfsFtlFormat.h"
#include "afs/AfsFtlState.h"
#include "afs/AfsPhysicalWin32Spi.h"

using namespace quor::afs::ftl;
using quor::afs::ReclaimMode;
using quor::afs::UnitKind;

namespace {

// Idle policy thresholds, in slots summed over the units of an area (the
// spare left out). The values are fixed; what each one guards is said here.
// Dynamic area: a new volume keeps 30 slots beyond its FAT pages
// (kDynamicSlack of the file layer). Once no more than 29 are left to write,
// part of that slack holds stale page versions, which a reclaim wins back
// before a write has to reclaim in the foreground.
constexpr uint32_t kIdleDynamicFreeLow = 29;
// Reserved area: a reclaim is due when no more than 63 erased slots are left
// to hand out, fewer than the 64 chunks of a 4 KiB file, ...
constexpr uint32_t kIdleReservedFreeLow = 63;
// ... and more than 96 slots (over three quarters of one unit's 122) hold no
// live chunk, so that reclaiming can win back about a unit.
constexpr uint32_t kIdleReservedInvalidHigh = 96;
// Wear levelling: the least-erased unit is reclaimed instead of the best one
// when the erase counts of the units spread by more than 100 ...
constexpr uint32_t kWearSpread = 100;
// ... and only when the highest count is a multiple of 10, so that levelling
// takes about one reclaim in ten while the spread lasts instead of all of them.
constexpr uint32_t kWearPeriod = 10;
// The reclaim buffer has two halves: the records of one run, then the slot
// entries or status bytes written after them.
constexpr uint32_t kHalfBuffer = 4096;

static_assert(kFtlMaxRun * kFtlRecordSize <= kHalfBuffer, "a run fits a buffer half");

// ---- Reclaim --------------------------------------------------------------------

using Buffer = std::unique_ptr<uint8_t[]>;

Buffer make_reclaim_buffer() {
    return Buffer(new (std::nothrow) uint8_t[2 * kHalfBuffer]);
}

// Header step: newUnit becomes the successor of oldUnit, oldUnit the spare.
// Steps 3 to 5 of the crash protocol in AfsFtlReclaim.h.
uint32_t write_eu_header(AfsContext *ctx, uint32_t newUnit, uint32_t oldUnit) {
    FtlControl *c = ftl_control(ctx);
    const uint32_t sequence = c->maxSequence + 1;
    // An erase count of 0 would make the header invalid: the count saturates.
    const uint32_t eraseCount = eu(c, newUnit).eraseCount + (eu(c, newUnit).eraseCount != ~0U);
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
    forget_group_units(c);
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

// Survey of a dynamic victim: reverse[k] = the page that victim slot k holds
// live, kEntryUnused where the slot holds none. Every mapped page counts;
// the victim's invalid count is not trusted to end the walk early, since a
// miscount could make it too small.
void live_pages_of(AfsContext *ctx, uint32_t victim, uint16_t *reverse) {
    const FtlControl *c = ftl_control(ctx);
    for (uint32_t k = 0; k < kFtlDynamicSlots; ++k) {
        reverse[k] = kEntryUnused;
    }
    for (uint32_t p = 0; p < c->pageMapEntries && p < dynamic_pages(ctx); ++p) {
        if (page_is_mapped(c, p) && mapped_unit(c, p) == victim &&
            mapped_slot(c, p) < kFtlDynamicSlots) {
            reverse[mapped_slot(c, p)] = static_cast<uint16_t>(p);
        }
    }
}

// True when the run of live slots ending at victim slot k is copied now: the
// next slot is dead, the run is as long as a copy may be, the victim ends, or
// the run fills the rest of the write unit.
bool run_complete(const FtlControl *c, uint32_t k, bool isLive, uint32_t runLength) {
    return runLength != 0 && (!isLive || runLength == kFtlMaxRun || k == kFtlDynamicSlots - 1 ||
                              runLength == kFtlDynamicSlots - c->writeSlot);
}

// Commits the last slot written to the write unit: its commit mark is the
// high byte of the entry after it (the entries of a run commit each other).
uint32_t commit_last_slot(AfsContext *ctx, uint32_t slot) {
    const FtlControl *c = ftl_control(ctx);
    return verified_write_byte(ctx, c->writeUnit, commit_mark_offset(slot), kCommitMark);
}

// Copies the live slots of `victim` to the write unit in runs. A write unit
// that fills up is committed and writes go on in `target`. *copied = the
// number of slots copied.
uint32_t copy_live_runs(AfsContext *ctx, uint32_t victim, uint32_t target, const uint16_t *reverse,
                        uint8_t *buffer, uint32_t *copied) {
    FtlControl *c = ftl_control(ctx);
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
        if (!run_complete(c, k, isLive, runLength)) {
            continue;
        }
        if (copy_dynamic_run(ctx, victim, runStart, runLength, reverse, buffer) != kFtlOk) {
            return kFtlIoError;
        }
        *copied += runLength;
        runLength = 0;
        if (c->writeSlot >= kFtlDynamicSlots) {
            if (commit_last_slot(ctx, kFtlDynamicSlots - 1) != kFtlOk) {
                return kFtlIoError;
            }
            switch_write_unit(c, target);
        }
    }
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
    live_pages_of(ctx, victim, reverse);
    uint32_t copied = 0;
    if (copy_live_runs(ctx, victim, target, reverse, buffer, &copied) != kFtlOk) {
        return kFtlIoError;
    }
    if (copied != 0 && c->writeSlot != 0 && commit_last_slot(ctx, c->writeSlot - 1) != kFtlOk) {
        return kFtlIoError;
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

bool unit_has_kind(const FtlControl *c, uint32_t u, UnitKind kind) {
    if (kind == UnitKind::Dynamic) {
        return c->euInfo[u].reservedBase == 0;
    }
    if (kind == UnitKind::Reserved) {
        return c->euInfo[u].reservedBase != 0;
    }
    return true;
}

// ---- Victim choice: survey, then decision ------------------------------------

// The units of one kind (the spare left out) as the victim choice sees them.
struct VictimSurvey {
    // Most slots to gain (ties: fewer erases, then lower index); unit 0 when
    // no unit is of the kind.
    uint32_t best = 0;
    uint32_t bestScore = 0;
    uint32_t bestErase = kFtlNone;
    uint32_t lowestErase = kFtlNone;
    uint32_t highestErase = 0;
    uint32_t leastErased = kFtlNone;  // first unit with lowestErase
    // Empty unit of the kind with the lowest sequence (first in index order);
    // kFtlNone when none.
    uint32_t empty = kFtlNone;
};

VictimSurvey survey_victims(const FtlControl *c, UnitKind kind, bool idle) {
    VictimSurvey s;
    for (uint32_t u = 0; u < c->unitCount; ++u) {
        if (u == c->spareUnit || !unit_has_kind(c, u, kind)) {
            continue;
        }
        const EuInfo &info = c->euInfo[u];
        // Idle reclaim ranks by the space a reclaim would actually free, so
        // that repeated idle reclaims converge.
        const uint32_t score = idle ? stale_slots(c, u) : info.invalidSlots;
        if (score > s.bestScore || (score == s.bestScore && info.eraseCount < s.bestErase)) {
            s.best = u;
            s.bestScore = score;
            s.bestErase = info.eraseCount;
        }
        if (info.eraseCount < s.lowestErase) {
            s.lowestErase = info.eraseCount;
            s.leastErased = u;
        }
        if (info.eraseCount > s.highestErase) {
            s.highestErase = info.eraseCount;
        }
        if (info.freeSlots != 0 &&
            (s.empty == kFtlNone || info.sequence < c->euInfo[s.empty].sequence)) {
            s.empty = u;
        }
    }
    return s;
}

// Wear levelling takes the least-erased unit instead of the best one.
bool wear_levelling_due(const VictimSurvey &s) {
    return s.leastErased != kFtlNone && s.highestErase - s.lowestErase > kWearSpread &&
           s.highestErase % kWearPeriod == 0;
}

// ---- Idle policy: survey, then decision --------------------------------------

// What the idle policy decides on, gathered in one pass over every unit but
// the spare.
struct IdleSurvey {
    uint32_t dynamicFree = 0;       // dynamic slots still writable
    uint32_t dynamicStale = 0;      // dynamic slots a reclaim would free
    uint32_t reservedFree = 0;      // unallocated erased reserved slots
    uint32_t reservedInvalid = 0;   // reserved slots without a live chunk
    uint32_t reservedStale = 0;     // reserved slots a reclaim would free
    uint32_t candidate = kFtlNone;  // wholly stale unit with the lowest erase count
};

// A unit all of whose slots are stale. An empty dynamic unit holds nothing
// to reclaim and is none.
bool wholly_stale(const FtlControl *c, uint32_t u) {
    const EuInfo &info = c->euInfo[u];
    if (info.reservedBase != 0) {
        return info.invalidSlots == kFtlReservedSlots && info.freeSlots == 0;
    }
    return info.invalidSlots == kFtlDynamicSlots && info.freeSlots == 0 && stale_slots(c, u) != 0;
}

// Writable slots of a dynamic unit: the rest of the write unit, all of an
// empty unit.
uint32_t dynamic_free_slots(const FtlControl *c, uint32_t u) {
    if (u == c->writeUnit) {
        return kFtlDynamicSlots - c->writeSlot;
    }
    return c->euInfo[u].freeSlots != 0 ? kFtlDynamicSlots : 0;
}

IdleSurvey survey_for_idle(const FtlControl *c) {
    IdleSurvey s;
    for (uint32_t u = 0; u < c->unitCount; ++u) {
        if (u == c->spareUnit) {
            continue;
        }
        const EuInfo &info = c->euInfo[u];
        if (info.reservedBase != 0) {
            s.reservedFree += info.freeSlots;
            s.reservedInvalid += info.invalidSlots;
            s.reservedStale += stale_slots(c, u);
        } else {
            s.dynamicFree += dynamic_free_slots(c, u);
            s.dynamicStale += stale_slots(c, u);
        }
        // First in index order among equal erase counts.
        if (wholly_stale(c, u) &&
            (s.candidate == kFtlNone || info.eraseCount < c->euInfo[s.candidate].eraseCount)) {
            s.candidate = u;
        }
    }
    return s;
}

struct IdleDecision {
    bool due = false;
    UnitKind kind = UnitKind::Dynamic;
    uint32_t unit = kFtlNone;  // preferred victim; kFtlNone = the usual choice
};

// The space rules also need stale slots to free, otherwise a full volume
// would ask for reclaims that gain nothing, forever.
IdleDecision decide_idle_reclaim(const FtlControl *c, const IdleSurvey &s) {
    IdleDecision d;
    if (s.dynamicFree <= kIdleDynamicFreeLow && s.dynamicStale != 0) {
        d.due = true;
    } else if (s.reservedFree <= kIdleReservedFreeLow &&
               s.reservedInvalid > kIdleReservedInvalidHigh && s.reservedStale != 0) {
        d.due = true;
        d.kind = UnitKind::Reserved;
    } else if (s.candidate != kFtlNone) {
        d.due = true;
        d.kind = c->euInfo[s.candidate].reservedBase != 0 ? UnitKind::Reserved : UnitKind::Dynamic;
        d.unit = s.candidate;
    }
    return d;
}

}  // namespace

// ---- Internal steps (namespace quor::afs) ------------------------------------------

namespace quor::afs {

uint32_t _reclaim_eu(AfsContext *ctx, uint32_t victim, ReclaimMode mode) {
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
    if (mode == ReclaimMode::Switch) {
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

uint32_t _choose_eu_to_reclaim(AfsContext *ctx, UnitKind kind, bool allowWearLevelling,
                               ReclaimMode *mode, bool idle) {
    FtlControl *c = ftl_control(ctx);
    uint32_t preferred = kFtlNone;
    if (idle) {
        auto idleKind = static_cast<uint32_t>(kind);
        if (afs_physical_ftl_idle_reclaim_needed(ctx, &preferred, &idleKind) == 0) {
            *mode = ReclaimMode::Switch;
            return kFtlNone;
        }
        kind = static_cast<UnitKind>(idleKind);
    }
    // One pass over the units gives both the empty unit that a demand
    // reclaim switches to and the victim otherwise.
    const VictimSurvey s = survey_victims(c, kind, idle);
    if (!idle && (kind == UnitKind::Dynamic || kind == UnitKind::Reserved) && s.empty != kFtlNone) {
        *mode = ReclaimMode::Switch;
        return s.empty;
    }
    *mode = ReclaimMode::Reclaim;
    if (allowWearLevelling && wear_levelling_due(s)) {
        return s.leastErased;
    }
    return preferred != kFtlNone ? preferred : s.best;
}

uint32_t _reclaim_eu_wrapper(AfsContext *ctx, UnitKind kind) {
    ReclaimMode mode = ReclaimMode::Reclaim;
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
    if (victim < c->unitCount && eu(c, victim).invalidSlots == 0 && mode == ReclaimMode::Reclaim) {
        return kFtlNoSpace;
    }
    return _reclaim_eu(ctx, victim, mode);
}

}  // namespace quor::afs

using quor::afs::_choose_eu_to_reclaim;
using quor::afs::_reclaim_eu;

// ---- Idle policy and forced reclaims ---------------------------------------------------

uint32_t afs_physical_ftl_idle_reclaim_needed(AfsContext *context, uint32_t *preferredUnit,
                                              uint32_t *kind) {
    IdleDecision decision;
    if (context == nullptr || context->ftl == nullptr || ftl_control(context)->euInfo == nullptr) {
        decision.due = false;
    } else if (ftl_control(context)->unitCount == 0) {
        decision.due = true;
    } else {
        const FtlControl *c = ftl_control(context);
        decision = decide_idle_reclaim(c, survey_for_idle(c));
    }
    if (preferredUnit != nullptr) {
        *preferredUnit = decision.unit;
    }
    if (kind != nullptr) {
        *kind = static_cast<uint32_t>(decision.kind);
    }
    return decision.due ? 1 : 0;
}

uint32_t afs_physical_ftl_idle_reclaim(AfsContext *context) {
    if (!control_usable(context)) {
        return kFtlOk;
    }
    ReclaimMode mode = ReclaimMode::Switch;
    const uint32_t victim = _choose_eu_to_reclaim(context, UnitKind::Dynamic, true, &mode, true);
    if (victim < ftl_control(context)->unitCount && mode == ReclaimMode::Reclaim) {
        return _reclaim_eu(context, victim, ReclaimMode::Reclaim);
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
    const uint32_t status = _reclaim_eu(context, unit, ReclaimMode::Reclaim);
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
        const uint32_t status = _reclaim_eu(context, 0, ReclaimMode::Reclaim);
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
    const uint32_t status = _reclaim_eu(context, 1, ReclaimMode::Reclaim);
    if (status != kFtlOk && status != kFtlNoGain) {
        return status;
    }
    return kFtlOk;
}
