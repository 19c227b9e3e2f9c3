// Commit of block-map entries, block-map switch, spare selection, wear
// levelling and idle reclaim of EFS.
#include <cstring>

#include "efs/EfsBlocks.h"

using namespace quor;
using namespace quor::efs;
using namespace quor::efs::detail;

// ---------------------------------------------------------------------------
// Commit, block-map switch, spares
// ---------------------------------------------------------------------------
namespace {

// The mount takes the slot before the first erased one as the newest BME. A
// BME appended in front of a slot that is not erased (damaged bytes beyond the
// newest entry) would therefore never be found again: the commit must start a
// fresh block map instead. True when the slot after the next one is erased or
// lies past the slots the mount looks at.
bool slot_after_next_erased(uint32_t s) {
    const uint32_t following = efs_ctx.bme_offset + 2 * s;
    if (following + s > kBmSlotLimit) {
        return true;
    }
    SlotBytes bytes(s);
    return bytes.get() != nullptr &&
           EFS_physical_read(bm_address(efs_ctx.current_bm) + following, s, bytes.get()) ==
               EFS_OK &&
           all_bytes(bytes.get(), s, 0xFF);
}

// A block-map entry or header whose read-back failed may still be on the flash,
// and the next mount would take it while RAM keeps the committed maps; a block it
// names could meanwhile be erased and reused. Supersedes it at once with a fresh
// block map of the committed maps; if that fails too, the switch stays pending.
void supersede_unverified_commit() {
    WorkingCopy committed;
    if (committed.ok() && EFS_switch_BM(committed.bme()) == EFS_OK) {
        efs_ctx.bm_switch_pending = 0;
    }
}

}  // namespace

// Step 2 of a change's crash protocol (EFS.h), or a block-map switch.
uint32_t EFS_commit_BME(WorkingBme *bme, uint32_t tagA, uint32_t tagB) {
    if (bme == nullptr) {
        return EFS_ERR_INVALID;
    }
    if (efs_ctx.mounted == 0) {
        return EFS_ERR_NOT_MOUNTED;
    }
    const uint32_t s = bme_size();
    SlotBytes slot(s);
    if (slot.get() == nullptr) {
        return EFS_ERR_NO_MEMORY;
    }
    bme->bme_tag_a = tagA;
    bme->bme_tag_b = tagB;
    encode_bme(slot.get(), bme);
    if (efs_ctx.bme_offset + 2 * s > kBmSlotLimit || efs_ctx.bm_switch_pending != 0 ||
        !slot_after_next_erased(s)) {
        const uint32_t st = EFS_switch_BM(bme);
        if (st == EFS_OK) {
            efs_ctx.bm_switch_pending = 0;
        } else if (st == EFS_ERR_CHECK) {
            supersede_unverified_commit();
        }
        return st;
    }
    const uint32_t at = bm_address(efs_ctx.current_bm) + efs_ctx.bme_offset + s;
    const uint32_t st = EFS_write_with_read_check(at, s, slot.get(), true);
    if (st != EFS_OK) {
        efs_ctx.bm_switch_pending = 1;
        if (st == EFS_ERR_CHECK) {
            supersede_unverified_commit();
        }
        return st;
    }
    efs_ctx.bme_offset += s;
    adopt_bme(bme);
    return EFS_OK;
}

// The steps of the block-map switch's crash protocol (EFS.h), in order.
uint32_t EFS_switch_BM(WorkingBme *bme) {
    if (bme == nullptr) {
        return EFS_ERR_INVALID;
    }
    if (efs_ctx.mounted == 0 || s_geo.bm == 0) {
        return EFS_ERR_NOT_MOUNTED;
    }
    const uint32_t s = bme_size();
    SlotBytes slot(s);
    if (slot.get() == nullptr) {
        return EFS_ERR_NO_MEMORY;
    }
    if (efs_ctx.bm_sequence == kMaxSequence) {
        return EFS_ERR_IO;
    }
    const uint32_t old = efs_ctx.current_bm;
    const uint32_t next = (old + 1) % s_geo.bm;
    bool mustErase = efs_ctx.next_bm_state == kNextBmNeedsErase;
    if (efs_ctx.next_bm_state == kNextBmUnknown) {
        uint32_t st = EFS_check_next_BM_state(next);
        if (st != EFS_OK) {
            return st;
        }
        mustErase = efs_ctx.next_bm_state == kNextBmNeedsErase;
    }
    uint32_t st = EFS_OK;
    if (mustErase && (st = invalidate_and_erase_bm(next)) != EFS_OK) {
        return st;
    }
    efs_ctx.next_bm_state = kNextBmUnknown;
    encode_bme(slot.get(), bme);
    st = EFS_write_with_read_check(bm_address(next) + kFirstBmeOffset, s, slot.get(), true);
    if (st != EFS_OK) {
        return st;
    }
    uint8_t header[kHeaderSize];
    build_bm_header(header, efs_ctx.bm_sequence + 1);
    if ((st = EFS_write_with_read_check(bm_address(next), kHeaderSize, header, true)) != EFS_OK) {
        return st;
    }
    ++efs_ctx.bm_sequence;
    efs_ctx.bme_offset = kFirstBmeOffset;
    efs_ctx.current_bm = next;
    adopt_bme(bme);
    // With a single block-map block the old block is the new one: it must not be retired.
    if (old != next) {
        static const uint8_t retired[kHeaderSize] = {};
        (void)EFS_write_with_read_check(bm_address(old), kHeaderSize, retired, false);
    }
    return EFS_OK;
}

namespace {

// The spare slot in `state` whose block has the lowest erase count (lowest slot on ties).
bool least_worn_slot(uint8_t state, uint32_t *slot) {
    bool found = false;
    uint32_t best = 0;
    for (uint32_t j = 0; j < s_geo.n; ++j) {
        if (efs_ctx.spare_states[j] != state) {
            continue;
        }
        const uint32_t ec = efs_ctx.erase_counts[efs_ctx.spare_map[j]];
        if (!found || ec < best) {
            found = true;
            best = ec;
            *slot = j;
        }
    }
    return found;
}

}  // namespace

uint32_t EFS_select_free_page_for_write(uint32_t *slot) {
    if (slot == nullptr) {
        return EFS_ERR_INVALID;
    }
    if (efs_ctx.mounted == 0) {
        return EFS_ERR_NOT_MOUNTED;
    }
    // No free spare: callers reserve one first, so this is reported, never waited for.
    return least_worn_slot(kSpareFree, slot) ? EFS_OK : EFS_ERR_NO_SPACE;
}

uint32_t EFS_bme_swap_and_write_new_block(WorkingBme *bme, uint32_t logicalBlock,
                                          const void *dataArea) {
    if (bme == nullptr || dataArea == nullptr || logicalBlock >= s_geo.v) {
        return EFS_ERR_INVALID;
    }
    return swap_and_write_new_block(
        bme, logicalBlock, dataArea,
        EFS_crc32(0, static_cast<const uint8_t *>(dataArea), kDataAreaSize));
}

uint32_t quor::efs::detail::swap_and_write_new_block(WorkingBme *bme, uint32_t logicalBlock,
                                                     const void *dataArea, uint32_t areaCrc) {
    if (bme == nullptr || dataArea == nullptr || logicalBlock >= s_geo.v) {
        return EFS_ERR_INVALID;
    }
    uint32_t slot = 0;
    uint32_t st = EFS_select_free_page_for_write(&slot);
    if (st != EFS_OK) {
        return st;
    }
    // Dirty from now on: whatever happens next, the slot is erased before reuse.
    efs_ctx.spare_states[slot] = kSpareDirty;
    --efs_ctx.free_spares;
    const uint32_t p = bme->spare_map[slot];
    if ((st = write_data_block(p, dataArea, areaCrc)) != EFS_OK) {
        return st;
    }
    bme->spare_map[slot] = bme->valid_map[logicalBlock];
    bme->valid_map[logicalBlock] = static_cast<uint8_t>(p);
    return EFS_OK;
}

uint32_t EFS_erase_dirty_block(void) {
    if (efs_ctx.mounted == 0) {
        return EFS_ERR_NOT_MOUNTED;
    }
    uint32_t slot = 0;
    // No dirty spare: nothing can be reclaimed, reported rather than looped on.
    if (!least_worn_slot(kSpareDirty, &slot)) {
        return EFS_ERR_NO_SPACE;
    }
    const uint32_t p = efs_ctx.spare_map[slot];
    const uint32_t st = EFS_erase_data_block(p, efs_ctx.erase_counts[p]);
    if (st != EFS_OK) {
        return st;
    }
    efs_ctx.spare_states[slot] = kSpareFree;
    ++efs_ctx.free_spares;
    return EFS_OK;
}

// ---------------------------------------------------------------------------
// Wear levelling and idle reclaim
// ---------------------------------------------------------------------------
uint32_t EFS_wear_leveling(uint32_t tagA, uint32_t tagB) {
    if (efs_ctx.mounted == 0) {
        return EFS_ERR_NOT_MOUNTED;
    }
    WorkingCopy working;
    if (!working.ok()) {
        return EFS_ERR_NO_MEMORY;
    }
    // Without a logical block or a spare there is nothing to trade places with.
    if (s_geo.v == 0 || s_geo.n == 0) {
        return EFS_OK;
    }
    uint32_t cold = 0;
    uint32_t coldCount = 0xFFFFFFFFu;
    for (uint32_t b = 0; b < s_geo.v; ++b) {
        const uint32_t ec = efs_ctx.erase_counts[efs_ctx.valid_map[b]];
        if (ec <= coldCount) {
            coldCount = ec;
            cold = b;
        }
    }
    uint32_t hot = 0;
    uint32_t hotCount = 0;
    for (uint32_t j = 0; j < s_geo.n; ++j) {
        const uint32_t ec = efs_ctx.erase_counts[efs_ctx.spare_map[j]];
        if (ec >= hotCount) {
            hotCount = ec;
            hot = j;
        }
    }
    if (hotCount < coldCount || hotCount - coldCount < g_efs_wear_leveling_threshold) {
        return EFS_OK;
    }
    const uint32_t coldBlock = efs_ctx.valid_map[cold];
    const uint32_t hotBlock = efs_ctx.spare_map[hot];
    uint32_t st = block_check(coldBlock);
    if (st != EFS_OK) {
        return st;
    }
    if (efs_ctx.spare_states[hot] == kSpareDirty) {
        if ((st = EFS_erase_data_block(hotBlock, efs_ctx.erase_counts[hotBlock])) != EFS_OK) {
            return st;
        }
        efs_ctx.spare_states[hot] = kSpareFree;
        ++efs_ctx.free_spares;
    }
    efs_ctx.spare_states[hot] = kSpareDirty;
    --efs_ctx.free_spares;
    st = EFS_write_with_read_check(data_address(hotBlock) + kDataAreaOffset,
                                   kEfsBlockSize - kDataAreaOffset,
                                   efs_ctx.block_buf + kDataAreaOffset, true);
    if (st != EFS_OK) {
        return st;
    }
    WorkingBme *bme = working.bme();
    bme->valid_map[cold] = static_cast<uint8_t>(hotBlock);
    bme->spare_map[hot] = static_cast<uint8_t>(coldBlock);
    return EFS_commit_BME(bme, tagA, tagB);
}

uint32_t EFS_idle_reclaim(void) {
    uint32_t st = check_mounted();
    if (st != EFS_OK) {
        return st;
    }
    const uint32_t next = (efs_ctx.current_bm + 1) % s_geo.bm;
    if (efs_ctx.next_bm_state == kNextBmUnknown && (st = EFS_check_next_BM_state(next)) != EFS_OK) {
        return st;
    }
    const bool filling = s_geo.v + efs_ctx.bme_offset + s_geo.n + kBmeFixedBytes > kIdleBmEraseMark;
    // With one block-map block the "next" block is the current one: never erase it here.
    if (efs_ctx.next_bm_state == kNextBmNeedsErase && filling && next != efs_ctx.current_bm) {
        st = EFS_erase_next_BM(next);
        if (st == EFS_OK) {
            efs_ctx.next_bm_state = kNextBmErased;
        }
        return st;
    }
    if ((st = ensure_scanned()) != EFS_OK) {
        return st;
    }
    st = EFS_wear_leveling(0, 0);
    if (st == EFS_OK && efs_ctx.free_spares < s_geo.n) {
        return EFS_erase_dirty_block();
    }
    return st;
}
