#include "region_map.h"

#include <algorithm>

#include "afs/AfsFtl.h"
#include "efs/EFS.h"
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

bool erased_or_zero(const uint8_t *p, size_t n) {
    const bool erased = std::all_of(p, p + n, [](uint8_t b) { return b == 0xFF; });
    return erased || std::all_of(p, p + n, [](uint8_t b) { return b == 0x00; });
}

bool crc_ok(const uint8_t *p, uint32_t covered) {
    return EFS_crc32(0, p, covered) == wire::le32(p + covered);
}

// The block-map block a mount uses: a valid header with the highest sequence.
std::optional<uint32_t> current_block_map(const Bytes &region, uint32_t maps) {
    std::optional<uint32_t> best;
    uint32_t best_sequence = 0;
    for (uint32_t i = 0; i < maps; ++i) {
        const uint8_t *h = region.data() + static_cast<size_t>(i) * efs::kEfsBlockSize;
        if (erased_or_zero(h, efs::kHeaderSize) || !crc_ok(h, efs::kHdrCrc)) {
            continue;
        }
        const uint32_t sequence = wire::le32(h + efs::kBmHdrSequence);
        if (!best || sequence > best_sequence) {
            best = i;
            best_sequence = sequence;
        }
    }
    return best;
}

// The entry a mount adopts: the last written slot, or the one before it when
// the last one fails its check.
const uint8_t *newest_entry(const uint8_t *block, uint32_t entry_size) {
    uint32_t last = 0;
    for (uint32_t at = efs::kFirstBmeOffset; at + entry_size <= efs::kBmSlotLimit;
         at += entry_size) {
        if (std::all_of(block + at, block + at + entry_size, [](uint8_t b) { return b == 0xFF; })) {
            break;
        }
        last = at;
    }
    if (last == 0) {
        return nullptr;
    }
    if (!crc_ok(block + last, entry_size - 4)) {
        last = last == efs::kFirstBmeOffset ? 0 : last - entry_size;
    }
    return last == 0 ? nullptr : block + last;
}

// Data blocks before the maps are read: the erase count of a header that
// checks, state unknown until the block map names the block.
EfsBlockCell efs_data_cell(const Bytes &region, uint32_t block) {
    EfsBlockCell cell;
    cell.index = block;
    const uint8_t *b = region.data() + static_cast<size_t>(block) * efs::kEfsBlockSize;
    if (crc_ok(b, efs::kHdrCrc)) {
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
    const uint32_t maps = g_efs_bm_num;
    const uint32_t valid = g_efs_valid_block_num;
    const uint32_t spares = g_efs_non_valid_block_num;
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
    const std::optional<uint32_t> current = current_block_map(region, maps);
    const uint8_t *entry =
        current ? newest_entry(region.data() + static_cast<size_t>(*current) * efs::kEfsBlockSize,
                               valid + spares + efs::kBmeFixedBytes)
                : nullptr;
    if (entry == nullptr) {
        map.efs_problem = "no block-map entry to read";
        return;
    }
    map.efs[*current].current_map = true;
    // Entry: V bytes valid map (logical -> physical data block), N bytes spares.
    for (uint32_t logical = 0; logical < valid + spares; ++logical) {
        const uint32_t block = maps + entry[logical];
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
