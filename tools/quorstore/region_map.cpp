#include "region_map.h"

#include <algorithm>

#include "afs/AfsFtl.h"
#include "efs/EFS.h"
#include "efs_block_maps.h"
#include "quorstorage/quorstorage.h"
#include "storage_session.h"
#include "wire.h"

namespace quorstore {

namespace {

namespace efs = quor::efs;

// ---- AFS: the flash translation layer's record of each unit

// Slots of a dynamic unit that hold no page yet: the rest of the write unit,
// all of an empty unit (freeSlots 1), none of a unit written to the end.
uint32_t unwritten_dynamic_slots(const FtlControl &ftl, uint32_t unit) {
    if (ftl.euInfo[unit].freeSlots != 0) {
        return kFtlDynamicSlots;
    }
    if (unit == ftl.writeUnit && ftl.writeSlot <= kFtlDynamicSlots) {
        return kFtlDynamicSlots - ftl.writeSlot;
    }
    return 0;
}

AfsUnitCell afs_unit_cell(const FtlControl &ftl, uint32_t unit) {
    const EuInfo &info = ftl.euInfo[unit];
    AfsUnitCell cell;
    cell.index = unit;
    cell.erase_count = info.eraseCount;
    cell.sequence = info.sequence;
    if (unit == ftl.spareUnit) {
        cell.state = CellState::kSpare;
        return cell;
    }
    cell.reserved = info.reservedBase != 0;
    cell.write_unit = !cell.reserved && unit == ftl.writeUnit;
    // invalidSlots counts the slots without a live page; of those, the
    // unwritten ones are free and the rest stale.
    cell.slots = cell.reserved ? kFtlReservedSlots : kFtlDynamicSlots;
    const uint32_t invalid = std::min<uint32_t>(info.invalidSlots, cell.slots);
    const uint32_t unwritten = cell.reserved ? info.freeSlots : unwritten_dynamic_slots(ftl, unit);
    cell.live_slots = cell.slots - invalid;
    cell.free_slots = std::min(unwritten, invalid);
    cell.stale_slots = invalid - cell.free_slots;
    cell.state = cell.live_slots > 0    ? CellState::kLive
                 : cell.stale_slots > 0 ? CellState::kStale
                                        : CellState::kFree;
    return cell;
}

void map_afs(RegionMap &map) {
    const FtlControl *ftl = dfs_context != nullptr ? quor::afs::ftl_control(dfs_context) : nullptr;
    if (ftl == nullptr || ftl->euInfo == nullptr) {
        map.afs_problem = "the AFS region has no flash translation layer to read";
        return;
    }
    const uint32_t units = std::min<uint32_t>(ftl->unitCount, ftl->euInfoEntries);
    for (uint32_t u = 0; u < units; ++u) {
        map.afs.push_back(afs_unit_cell(*ftl, u));
    }
}

// ---- EFS: the current block map and the data-block headers

// Data blocks before the maps are read: the erase count of a header that
// checks, state unknown until the block map names the block.
EfsBlockCell efs_data_cell(const Bytes &region, uint32_t block) {
    EfsBlockCell cell;
    cell.index = block;
    const uint8_t *b = region.data() + static_cast<size_t>(block) * efs::kEfsBlockSize;
    if (efs_header_checks(b)) {
        cell.erase_count = wire::le32(b);
    }
    return cell;
}

void place_spare(EfsBlockCell &cell, const Bytes &region) {
    const uint8_t *b = region.data() + static_cast<size_t>(cell.index) * efs::kEfsBlockSize;
    const bool erased =
        cell.erase_count && std::all_of(b + efs::kDataAreaOffset, b + efs::kEfsBlockSize,
                                        [](uint8_t byte) { return byte == 0xFF; });
    cell.state = erased ? CellState::kSpare : CellState::kStale;
}

void map_efs(RegionMap &map, const Bytes &region) {
    const EfsGeometry geometry = loaded_efs_geometry();
    const uint32_t maps = geometry.maps;
    const uint32_t valid = geometry.valid;
    const uint32_t spares = geometry.spares;
    const uint32_t blocks = static_cast<uint32_t>(region.size() / efs::kEfsBlockSize);
    for (uint32_t b = 0; b < blocks; ++b) {
        if (b < maps) {
            EfsBlockCell cell;
            cell.index = b;
            cell.state = CellState::kBlockMap;
            map.efs.push_back(cell);
        } else {
            map.efs.push_back(efs_data_cell(region, b));
        }
    }
    if (!map.efs_problem.empty() || maps > blocks || maps + valid + spares > blocks) {
        return;
    }
    const EfsBlockMaps read = read_efs_block_maps(region, geometry);
    if (!read.adopted) {
        map.efs_problem = "no block-map entry to read";
        return;
    }
    map.efs[*read.current].current_map = true;
    // Logical block i lives in the i-th entry of the valid map; the spare map
    // follows it.
    for (uint32_t logical = 0; logical < valid + spares; ++logical) {
        const uint32_t block =
            maps + (logical < valid ? read.valid_map[logical] : read.spare_map[logical - valid]);
        if (block >= blocks) {
            continue;
        }
        EfsBlockCell &cell = map.efs[block];
        if (logical < valid) {
            cell.state = CellState::kLive;
            cell.logical = logical;
        } else {
            place_spare(cell, region);
        }
    }
}

}  // namespace

const std::vector<CellState> &all_cell_states() {
    static const std::vector<CellState> states = {CellState::kLive,     CellState::kFree,
                                                  CellState::kStale,    CellState::kSpare,
                                                  CellState::kBlockMap, CellState::kUnknown};
    return states;
}

const char *cell_state_name(CellState state) {
    switch (state) {
        case CellState::kFree:
            return "free";
        case CellState::kLive:
            return "live";
        case CellState::kStale:
            return "stale";
        case CellState::kSpare:
            return "spare";
        case CellState::kBlockMap:
            return "block map";
        case CellState::kUnknown:
            return "unknown";
    }
    return "?";
}

RegionMap map_regions(const Bundle &bundle) {
    RegionMap map;
    map.afs_unit_size = kFtlUnitSize;
    map.efs_block_size = efs::kEfsBlockSize;
    Bundle copy = bundle;  // a mount may recover or repair: never in the bundle's bytes
    const MountStatus mounted = mount_file_systems(copy);
    map.has_afs = mounted.afs.has_value();
    map.has_efs = mounted.efs.has_value();
    if (mounted.afs) {
        if (*mounted.afs != 0) {
            map.afs_problem = "the AFS region does not mount: " + dfs_status_text(*mounted.afs);
        } else {
            map_afs(map);
        }
    }
    if (mounted.efs) {
        if (*mounted.efs != 0) {
            map.efs_problem = "the EFS region does not mount: " + efs_status_text(*mounted.efs);
        }
        // The original bytes: what the mount may have repaired is not the bundle's state.
        map_efs(map, bundle.pieces.at(kPieceEfs));
    }
    if (dfs_context != nullptr) {
        dfs_terminate();
    }
    take_reports();
    return map;
}

}  // namespace quorstore
