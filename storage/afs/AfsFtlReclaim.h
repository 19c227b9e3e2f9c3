// Reclaim of the AFS FTL: turns a victim unit's live pages into a fresh unit
// through the spare, and the policy that picks victims (on demand, when idle,
// for wear levelling). The public entry points (idle policy, forced reclaims)
// are in AfsFtl.h; the steps below are what the page operations call, and are
// visible for tests.
//
// Crash protocol of a reclaim. Victim V gives up its live pages and becomes
// the spare; the spare S takes V's place. A reserved reclaim copies V's live
// pages into S at the same slots; a dynamic one appends them to the write
// unit W (switching W to an empty unit, possibly S, when it fills) and leaves
// S an empty dynamic unit. The steps (write_eu_header does 3 to 5), and what
// the mount (AfsFtlMount.cpp: scan_units, then resolve_open_unit) makes of a
// power cut after each:
//
//   cut after step            the mount finds                outcome
//   1 erase S                 S has no valid header:         the reclaim never happened
//                             S is the spare
//   2 copy the live pages     as after 1; copies in W are    the reclaim never happened; the
//                             committed slots                copies in W duplicate V's pages
//                                                            (the newer unit's copy is mapped)
//   3 write S's header,       S open, V valid, no spare      S is the spare again: the work is
//     commit byte left 0xFF                                  dropped, V keeps its pages
//   4 zero V's magic          S open; V invalid, so the      S is kept; its commit byte is
//                             spare, and S's spare-at-write  written before the next flash
//                             names it                       write (commit_pending_open_unit)
//   5 write S's commit        S committed; V the spare, as   the reclaim is complete
//     byte 0x00               the newest spare-at-write says
//
// A cut inside a step leaves the state of the step before it or after it: a
// torn header fails its checksum (as after 2) or, one time in 256, matches it
// by chance (as after 3, its torn erase count replaced by the mean), a torn
// magic matches no known magic (as after 4), and a torn commit byte is no
// longer 0xFF, which the mount reads as committed (as after 5).
#pragma once

#include <cstdint>

#include "afs/AfsContext.h"

namespace quor::afs {

// The area whose units a reclaim works on (the values are the `kind` of
// afs_physical_ftl_idle_reclaim_needed).
enum class UnitKind : uint32_t {
    Dynamic = 0,   // dynamic units (reservedBase 0)
    Reserved = 1,  // reserved units
    Any = 2,       // every unit
};

// What a reclaim does with its victim.
enum class ReclaimMode : uint32_t {
    Switch = 0,   // the victim is empty: writes (or the allocator) move to it
    Reclaim = 1,  // the victim's live pages are copied out through the spare
};

// Reclaims `victim` in `mode`. 0, 0x9797, 5, 12, 28 (victim is the spare).
uint32_t _reclaim_eu(AfsContext *context, uint32_t victim, ReclaimMode mode);

// Victim choice among the units of `kind`. Writes the mode.
uint32_t _choose_eu_to_reclaim(AfsContext *context, UnitKind kind, bool allowWearLevelling,
                               ReclaimMode *mode, bool idle);

// Chooses and reclaims a unit of `kind`. 0, 28, or a reclaim status.
uint32_t _reclaim_eu_wrapper(AfsContext *context, UnitKind kind);

}  // namespace quor::afs
