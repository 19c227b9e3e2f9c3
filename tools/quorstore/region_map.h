// The state of every AFS erase unit and EFS block of a bundle: what
// `quorstore map` shows.
//
// AFS: the region is mounted (a copy of mfs.bin, through DFS) and the flash
// translation layer's own record of every unit is read back: its erase count
// and sequence, whether it is the spare, the write unit, a dynamic or a
// reserved unit, and how many of its slots hold live pages, stale pages or
// nothing yet.
//
// EFS: the region is mounted (a copy of efs.bin) so that the library judges
// it first; the current block map and the entry a mount adopts
// (efs_block_maps.h, shared with fsck) then say which physical block holds
// each logical block and which are spares. A spare whose data area is erased
// is free ("spare"); one that still holds data is stale (erased before its
// next use). Every data block's erase count comes from its header. When the maps
// cannot be read, the data blocks are "unknown" with their erase counts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bundle.h"

namespace quorstore {

enum class CellState { kFree, kLive, kStale, kSpare, kBlockMap, kUnknown };

// Every state, in the order legends and summaries list them.
const std::vector<CellState> &all_cell_states();
const char *cell_state_name(CellState state);

struct AfsUnitCell {
    uint32_t index = 0;
    CellState state = CellState::kFree;
    bool reserved = false;    // holds data chunks at fixed slots
    bool write_unit = false;  // the dynamic unit that receives the next page
    uint32_t erase_count = 0;
    uint32_t sequence = 0;
    uint32_t slots = 0;        // 120 dynamic, 122 reserved, 0 for the spare
    uint32_t live_slots = 0;   // pages in use
    uint32_t stale_slots = 0;  // written, no longer in use: a reclaim frees them
    uint32_t free_slots = 0;   // erased, ready for a page
};

struct EfsBlockCell {
    uint32_t index = 0;                     // physical block in the region
    CellState state = CellState::kUnknown;  // until the block map names it
    std::optional<uint32_t> erase_count;    // data blocks whose header checks
    std::optional<uint32_t> logical;        // live blocks: the logical block they hold
    bool current_map = false;               // block-map blocks: the one in use
};

struct RegionMap {
    bool has_afs = false;
    bool has_efs = false;
    uint32_t afs_unit_size = 0;
    uint32_t efs_block_size = 0;
    std::vector<AfsUnitCell> afs;
    std::vector<EfsBlockCell> efs;
    // Why a file system could not be mapped (mount status); its cells are
    // then empty (AFS) or shown by their headers alone (EFS).
    std::string afs_problem;
    std::string efs_problem;
};

// Maps both file systems of `bundle`, mounting copies of its regions; the
// bundle's bytes are not changed. Leaves nothing mounted.
RegionMap map_regions(const Bundle &bundle);

}  // namespace quorstore
