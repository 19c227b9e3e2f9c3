// Reclaim of the AFS FTL: turns a victim unit's live pages into a fresh unit
// through the spare, and the policy that picks victims (on demand, when idle,
// for wear levelling). The public entry points are in AfsFtl.h; this header
// holds what the page operations pass to them.
#pragma once

#include <cstdint>

namespace quor::afs::ftl {

// Unit kinds of a victim choice; any other value means any unit.
inline constexpr uint32_t kKindDynamic = 0;
inline constexpr uint32_t kKindReserved = 1;
// Reclaim modes: switch writes to an empty unit, or copy live pages out.
inline constexpr uint32_t kModeSwitch = 0;
inline constexpr uint32_t kModeReclaim = 1;

}  // namespace quor::afs::ftl
