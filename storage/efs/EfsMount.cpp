// Format, mount and data-block scan of EFS, erase of the whole region and
// maintenance of the next block-map block.
#include <cstdlib>
#include <cstring>

#include "efs/EfsBlocks.h"

using namespace quor;
using namespace quor::efs;
using namespace quor::efs::detail;

// ---------------------------------------------------------------------------
// Format
// ---------------------------------------------------------------------------
namespace {

// Fills the data area of logical block `b` with the empty first records of its files.
uint32_t build_empty_data_area(uint32_t b, uint8_t *area) {
    std::memset(area, 0xFF, kDataAreaSize);
    for (uint32_t f = 0; f < g_efs_files_num; ++f) {
        const FilePlacement file = file_placement(f);
        if (!file.present || file.block != b) {
            continue;
        }
        const uint32_t o = file.offset;
        if (o > kRecordRoom) {
            return EFS_ERR_BAD_OFFSET;
        }
        store_le16(area + o, kNoContentLength);
        store_le16(area + o + 2, EFS_crc16(static_cast<uint16_t>(b), area + o, 2));
    }
    return EFS_OK;
}

}  // namespace

uint32_t EFS_do_format(void) {
    if (efs_image == nullptr) {
        return EFS_ERR_NOT_MOUNTED;
    }
    // Without a block-map block (or outside a mount, where no geometry is set)
    // there is nowhere to commit: refused before anything is erased.
    if (s_geo.bm == 0) {
        return EFS_ERR_CHECK;
    }
    const uint32_t v = s_geo.v;
    const uint32_t n = s_geo.n;
    HeapBytes valid(v);
    HeapBytes spare(n);
    HeapBytes slot(bme_size());
    if (valid.get() == nullptr || spare.get() == nullptr || slot.get() == nullptr) {
        return EFS_ERR_NO_MEMORY;
    }
    uint32_t st = EFS_OK;
    for (uint32_t i = 0; i < s_geo.bm; ++i) {
        if ((st = EFS_physical_erase(bm_address(i), kEfsBlockSize)) != EFS_OK) {
            return st;
        }
    }
    for (uint32_t p = 0; p < v + n; ++p) {
        if ((st = EFS_erase_data_block(p, 0)) != EFS_OK) {
            return st;
        }
    }
    uint8_t *area = efs_ctx.block_buf + kDataAreaOffset;
    for (uint32_t b = 0; b < v; ++b) {
        if ((st = build_empty_data_area(b, area)) != EFS_OK) {
            return st;
        }
        if ((st = EFS_write_data_block(b, area)) != EFS_OK) {
            return st;
        }
    }
    WorkingBme bme{valid.get(), spare.get(), 0, 0, 0};
    for (uint32_t i = 0; i < v; ++i) {
        bme.valid_map[i] = static_cast<uint8_t>(i);
    }
    for (uint32_t j = 0; j < n; ++j) {
        bme.spare_map[j] = static_cast<uint8_t>(v + j);
    }
    encode_bme(slot.get(), &bme);
    // The BME goes first, so a header never stands without its BME.
    st = EFS_write_with_read_check(bm_address(0) + kFirstBmeOffset, bme_size(), slot.get(), true);
    if (st != EFS_OK) {
        return st;
    }
    uint8_t header[kHeaderSize];
    build_bm_header(header, 1);
    return EFS_write_with_read_check(bm_address(0), kHeaderSize, header, true);
}

// ---------------------------------------------------------------------------
// Mount
// ---------------------------------------------------------------------------
namespace {

// Picks the valid block-map block with the greatest sequence number (the
// recovery side of the block-map switch's crash protocol in EFS.h).
uint32_t choose_block_map() {
    uint32_t best = 0;
    bool found = false;
    for (uint32_t i = 0; i < s_geo.bm; ++i) {
        uint8_t h[kHeaderSize];
        bool valid = false;
        for (uint32_t r = 0; r < efs_ctx.read_attempts; ++r) {
            if (EFS_physical_read(bm_address(i), kHeaderSize, h) != EFS_OK ||
                all_bytes(h, kHeaderSize, 0xFF) || all_bytes(h, kHeaderSize, 0x00)) {
                break;
            }
            if (header_crc_ok(h)) {
                valid = true;
                break;
            }
        }
        if (!valid) {
            continue;
        }
        if (h[kBmHdrBmNum] != s_geo.bm || h[kBmHdrValidNum] != s_geo.v ||
            h[kBmHdrSpareNum] != s_geo.n || h[kBmHdrLayoutId] != g_efs_layout_id) {
            return EFS_ERR_CHECK;
        }
        const uint32_t sequence = load_le32(h + kBmHdrSequence);
        if (sequence > best) {
            best = sequence;
            efs_ctx.current_bm = i;
            found = true;
        }
    }
    if (!found) {
        return EFS_ERR_CHECK;
    }
    efs_ctx.bm_sequence = best;
    return EFS_OK;
}

// Offset of the newest BME of the block-map block loaded in block_buf.
uint32_t find_newest_slot(const uint8_t *block) {
    const uint32_t s = bme_size();
    if (2 * s + kFirstBmeOffset > kBmSlotLimit) {
        return kFirstBmeOffset;
    }
    uint32_t off = kFirstBmeOffset + s;
    for (;;) {
        if (all_bytes(block + off, s, 0xFF)) {
            return off - s;
        }
        if (off + 2 * s > kBmSlotLimit) {
            return off;
        }
        off += s;
    }
}

// Checks the slot at `offset`: first the copy in block_buf, then up to R fresh
// reads into check_buf. The accepted bytes end in check_buf. 11 when a re-read
// shows the slot erased.
uint32_t verify_slot(uint32_t offset) {
    const uint32_t s = bme_size();
    uint8_t *slot = efs_ctx.check_buf;
    std::memcpy(slot, efs_ctx.block_buf + offset, s);
    if (bme_crc_ok(slot)) {
        return EFS_OK;
    }
    for (uint32_t r = 0; r < efs_ctx.read_attempts; ++r) {
        const uint32_t st = EFS_physical_read(bm_address(efs_ctx.current_bm) + offset, s, slot);
        if (st != EFS_OK) {
            return st;
        }
        if (all_bytes(slot, s, 0xFF)) {
            return EFS_ERR_SLOT_ERASED;
        }
        if (bme_crc_ok(slot)) {
            return EFS_OK;
        }
    }
    return EFS_ERR_CHECK;
}

uint32_t try_load_newest_bme() {
    uint32_t st =
        EFS_physical_read(bm_address(efs_ctx.current_bm), kEfsBlockSize, efs_ctx.block_buf);
    if (st != EFS_OK) {
        return st;
    }
    uint32_t offset = find_newest_slot(efs_ctx.block_buf);
    st = verify_slot(offset);
    if (st == EFS_ERR_CHECK) {
        if (offset == kFirstBmeOffset) {
            return EFS_ERR_CHECK;
        }
        offset -= bme_size();
        st = verify_slot(offset);
        if (st != EFS_OK) {
            return st;
        }
        // The damaged newest slot is left behind: the next commit starts a fresh block map.
        efs_ctx.bm_switch_pending = 1;
    }
    if (st != EFS_OK) {
        return st;
    }
    if (!maps_are_permutation(efs_ctx.check_buf)) {
        return EFS_ERR_CHECK;
    }
    adopt_slot(efs_ctx.check_buf, offset);
    return EFS_OK;
}

uint32_t load_newest_bme() {
    for (uint32_t attempt = 0; attempt < efs_ctx.read_attempts; ++attempt) {
        efs_ctx.bm_switch_pending = 0;
        const uint32_t st = try_load_newest_bme();
        if (st != EFS_ERR_SLOT_ERASED) {
            return st;
        }
    }
    return EFS_ERR_CHECK;
}

uint32_t allocate_context_arrays() {
    efs_ctx.spare_states = static_cast<uint8_t *>(std::calloc(s_geo.n == 0 ? 1 : s_geo.n, 1));
    efs_ctx.erase_counts = static_cast<uint32_t *>(
        std::calloc(data_blocks() == 0 ? 1 : data_blocks(), sizeof(uint32_t)));
    efs_ctx.valid_map = static_cast<uint8_t *>(std::calloc(s_geo.v == 0 ? 1 : s_geo.v, 1));
    efs_ctx.spare_map = static_cast<uint8_t *>(std::calloc(s_geo.n == 0 ? 1 : s_geo.n, 1));
    efs_array_refs[0] = efs_ctx.spare_states;
    efs_array_refs[1] = efs_ctx.erase_counts;
    efs_array_refs[2] = efs_ctx.valid_map;
    efs_array_refs[3] = efs_ctx.spare_map;
    if (efs_ctx.spare_states == nullptr || efs_ctx.erase_counts == nullptr ||
        efs_ctx.valid_map == nullptr || efs_ctx.spare_map == nullptr) {
        return EFS_ERR_NO_MEMORY;
    }
    return EFS_OK;
}

}  // namespace

uint32_t EFS_init(bool format) {
    // A second mount releases the arrays of the first instead of leaking them.
    release_context_arrays();
    std::memset(&efs_ctx, 0, sizeof(efs_ctx));
    s_geo = Geometry{};
    if (g_efs_autogen_data_loaded == 0) {
        return EFS_ERR_NOT_MOUNTED;
    }
    if (!layout_representable()) {
        return EFS_ERR_INVALID;
    }
    s_geo = Geometry{g_efs_bm_num, g_efs_valid_block_num, g_efs_non_valid_block_num};
    uint32_t st = allocate_context_arrays();
    if (st != EFS_OK) {
        return st;
    }
    efs_ctx.read_attempts = kDefaultReadAttempts;
    if ((st = EFS_physical_init(format)) != EFS_OK) {
        return st;
    }
    if (format && (st = EFS_do_format()) != EFS_OK) {
        return st;
    }
    if (s_geo.bm == 0) {
        return EFS_ERR_CHECK;
    }
    if ((st = choose_block_map()) != EFS_OK) {
        return st;
    }
    if ((st = load_newest_bme()) != EFS_OK) {
        return st;
    }
    efs_ctx.mounted = 1;
    return EFS_OK;
}

uint32_t EFS_init_tools(void *image) {
    if (image == nullptr) {
        return EFS_ERR_INVALID;
    }
    // An image EFS allocated earlier is released before the caller's is attached.
    if (efs_image != image) {
        release_owned_image();
    }
    efs_image = static_cast<uint8_t *>(image);
    return EFS_init(false);
}

uint8_t EFS_is_initialized(void) {
    return efs_ctx.mounted;
}

uint32_t EFS_get_efs_size(void) {
    const uint64_t size =
        (uint64_t{g_efs_valid_block_num} + g_efs_bm_num + g_efs_non_valid_block_num) *
        kEfsBlockSize;
    // A size that 32 bits cannot hold is reported as 0 rather than truncated.
    return size > 0xFFFFFFFFull ? 0 : static_cast<uint32_t>(size);
}

// ---------------------------------------------------------------------------
// Data-block scan
// ---------------------------------------------------------------------------
namespace {

constexpr uint32_t kNoBlock = 0xFFFFFFFFu;

// Gives the one damaged spare the mean erase count of the other blocks and erases it.
uint32_t repair_damaged_spare(uint32_t slot) {
    const uint32_t p = efs_ctx.spare_map[slot];
    uint64_t sum = 0;
    for (uint32_t q = 0; q < data_blocks(); ++q) {
        if (q != p) {
            sum += efs_ctx.erase_counts[q];
        }
    }
    const uint32_t others = data_blocks() - 1;
    // With no other block there is nothing to average: the repaired spare starts at 0.
    const uint32_t mean = others == 0 ? 0 : static_cast<uint32_t>(sum / others);
    const uint32_t st = EFS_erase_data_block(p, mean - 1);
    if (st != EFS_OK) {
        return st;
    }
    efs_ctx.spare_states[slot] = kSpareFree;
    ++efs_ctx.free_spares;
    return EFS_OK;
}

}  // namespace

uint32_t EFS_scan_for_Data_Blocks_status_and_EC(void) {
    efs_ctx.free_spares = 0;
    if (data_blocks() == 0) {
        efs_ctx.scanned = 1;
        return EFS_OK;
    }
    uint8_t *buf = efs_ctx.block_buf;
    uint32_t damaged = kNoBlock;
    for (uint32_t i = 0; i < data_blocks(); ++i) {
        const bool isSpare = i >= s_geo.v;
        const uint32_t p = isSpare ? efs_ctx.spare_map[i - s_geo.v] : efs_ctx.valid_map[i];
        bool ok = false;
        uint32_t st = read_until(data_address(p), kEfsBlockSize, buf, header_crc_ok, &ok);
        if (st != EFS_OK) {
            return st;
        }
        if (!isSpare) {
            if (!ok) {
                return EFS_ERR_CHECK;
            }
            efs_ctx.erase_counts[p] = load_le32(buf);
            continue;
        }
        const uint32_t slot = i - s_geo.v;
        if (!ok) {
            if (damaged != kNoBlock) {
                return EFS_ERR_CHECK;
            }
            damaged = slot;
            efs_ctx.spare_states[slot] = kSpareDirty;
            efs_ctx.erase_counts[p] = 0;
            continue;
        }
        efs_ctx.erase_counts[p] = load_le32(buf);
        bool erased = all_bytes(buf + kDataAreaOffset, kEfsBlockSize - kDataAreaOffset, 0xFF);
        if (!erased) {
            st = read_until(
                data_address(p) + kDataAreaOffset, kEfsBlockSize - kDataAreaOffset,
                buf + kDataAreaOffset,
                [](const uint8_t *b) {
                    return all_bytes(b, kEfsBlockSize - kDataAreaOffset, 0xFF);
                },
                &erased);
            if (st != EFS_OK) {
                return st;
            }
        }
        efs_ctx.spare_states[slot] = erased ? kSpareFree : kSpareDirty;
        if (erased) {
            ++efs_ctx.free_spares;
        }
    }
    if (damaged != kNoBlock) {
        const uint32_t st = repair_damaged_spare(damaged);
        if (st != EFS_OK) {
            return st;
        }
    }
    efs_ctx.scanned = 1;
    return EFS_OK;
}

// ---------------------------------------------------------------------------
// Erase all, block-map maintenance, marker
// ---------------------------------------------------------------------------
uint32_t EFS_erase(void) {
    if (efs_ctx.mounted != 0) {
        efs_ctx.mounted = 0;
        if (s_geo.bm == 0) {
            return EFS_ERR_INVALID;
        }
        uint32_t st = EFS_OK;
        for (uint32_t i = 0; i < s_geo.bm; ++i) {
            if (i == efs_ctx.current_bm) {
                continue;
            }
            efs_ctx.next_bm_state = kNextBmUnknown;
            if ((st = invalidate_and_erase_bm(i)) != EFS_OK) {
                return st;
            }
        }
        return invalidate_and_erase_bm(efs_ctx.current_bm);
    }
    // Without an attached image nothing is touched and 1 (no image) is returned.
    uint32_t st = EFS_physical_init(false);
    if (st != EFS_OK) {
        return st;
    }
    for (uint32_t i = 0; i < g_efs_bm_num; ++i) {
        if ((st = EFS_physical_erase(i * kEfsBlockSize, kEfsBlockSize)) != EFS_OK) {
            return st;
        }
    }
    return st;
}

uint32_t EFS_erase_next_BM(uint32_t index) {
    if (index >= s_geo.bm) {
        return EFS_ERR_INVALID;
    }
    efs_ctx.next_bm_state = kNextBmUnknown;
    return invalidate_and_erase_bm(index);
}

uint32_t EFS_check_next_BM_state(uint32_t index) {
    if (index >= s_geo.bm) {
        return EFS_ERR_INVALID;
    }
    bool erased = false;
    const uint32_t st = read_until(
        bm_address(index), kEfsBlockSize, efs_ctx.check_buf,
        [](const uint8_t *b) { return all_bytes(b, kEfsBlockSize, 0xFF); }, &erased);
    if (st != EFS_OK) {
        return st;
    }
    efs_ctx.next_bm_state = erased ? kNextBmErased : kNextBmNeedsErase;
    return EFS_OK;
}

uint32_t EFS_write_RTFD_marker(void) {
    const uint32_t st = EFS_physical_init(false);
    if (st != EFS_OK) {
        return st;
    }
    static const uint8_t marker[4] = {'R', 'D', 'F', 'S'};
    return EFS_physical_write(0, sizeof(marker), marker);
}
