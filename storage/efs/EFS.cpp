#include "efs/EFS.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/bytes.h"
#include "common/crc_slicing.h"

using namespace quor;
using namespace quor::efs;

EfsContext efs_ctx;

namespace quor::efs {
// Aligned copies of the four array pointers of efs_ctx: in the packed context
// they sit at unaligned offsets where leak checkers do not look for references.
// External linkage keeps these stores from being optimised away.
void *efs_array_refs[4] = {};
}  // namespace quor::efs

// ---------------------------------------------------------------------------
// Checksums
// ---------------------------------------------------------------------------
namespace {

constexpr uint32_t crc32_entry(uint32_t n) {
    uint32_t v = n;
    for (int i = 0; i < 8; ++i) {
        v = (v & 1u) != 0 ? (v >> 1) ^ 0xEDB88320u : v >> 1;
    }
    return v;
}

constexpr uint16_t crc16_entry(uint32_t n) {
    uint32_t v = n << 8;
    for (int i = 0; i < 8; ++i) {
        v = (v & 0x8000u) != 0 ? (v << 1) ^ 0x1021u : v << 1;
    }
    return static_cast<uint16_t>(v);
}

}  // namespace

#define QUOR_T4(f, n) f(n), f((n) + 1), f((n) + 2), f((n) + 3)
#define QUOR_T16(f, n) QUOR_T4(f, n), QUOR_T4(f, (n) + 4), QUOR_T4(f, (n) + 8), QUOR_T4(f, (n) + 12)
#define QUOR_T64(f, n) \
    QUOR_T16(f, n), QUOR_T16(f, (n) + 16), QUOR_T16(f, (n) + 32), QUOR_T16(f, (n) + 48)
#define QUOR_T256(f) QUOR_T64(f, 0u), QUOR_T64(f, 64u), QUOR_T64(f, 128u), QUOR_T64(f, 192u)

const uint32_t gCrc32_table[256] = {QUOR_T256(crc32_entry)};
const uint16_t gCrc16_table[256] = {QUOR_T256(crc16_entry)};

#undef QUOR_T256
#undef QUOR_T64
#undef QUOR_T16
#undef QUOR_T4

namespace {
// The same CRCs sixteen bytes at a time, from the entries of the tables above.
constexpr crc_slicing::SliceTables<uint32_t> crc32_slices =
    crc_slicing::reflected32_tables(crc32_entry);
constexpr crc_slicing::SliceTables<uint16_t> crc16_slices = crc_slicing::msb16_tables(crc16_entry);
}  // namespace

uint32_t EFS_crc32(uint32_t crc, const uint8_t *data, uint32_t length) {
    if (length == 0) {
        return crc;
    }
    return crc_slicing::reflected32_update(crc32_slices, crc, data, length);
}

uint16_t EFS_crc16(uint16_t crc, const uint8_t *data, uint32_t length) {
    if (length == 0) {
        return crc;
    }
    return static_cast<uint16_t>(crc_slicing::msb16_update(crc16_slices, crc, data, length));
}

// ---------------------------------------------------------------------------
// Geometry, buffers and small helpers
// ---------------------------------------------------------------------------
namespace {

// Geometry the context was mounted with; its arrays are sized by it.
struct Geometry {
    uint32_t bm = 0;
    uint32_t v = 0;
    uint32_t n = 0;
};
Geometry s_geo;

uint32_t bme_size() {
    return s_geo.v + s_geo.n + kBmeFixedBytes;
}
uint32_t data_blocks() {
    return s_geo.v + s_geo.n;
}
uint32_t bm_address(uint32_t index) {
    return index * kEfsBlockSize;
}
uint32_t data_address(uint32_t physicalBlock) {
    return (s_geo.bm + physicalBlock) * kEfsBlockSize;
}

// Block numbers are single bytes on flash: a layout whose counts do not fit
// them cannot be formatted or mounted faithfully and is refused with 22.
bool layout_representable() {
    return g_efs_bm_num <= 0xFF && g_efs_valid_block_num <= 0xFF &&
           g_efs_non_valid_block_num <= 0xFF &&
           g_efs_valid_block_num + g_efs_non_valid_block_num <= 0x100;
}

// A layout loaded after the mount would not match the arrays sized at mount
// time: the stale mount answers "not mounted" until EFS is mounted again.
uint32_t check_mounted() {
    if (efs_ctx.mounted == 0 || s_geo.bm != g_efs_bm_num || s_geo.v != g_efs_valid_block_num ||
        s_geo.n != g_efs_non_valid_block_num) {
        return EFS_ERR_NOT_MOUNTED;
    }
    return EFS_OK;
}

bool all_bytes(const uint8_t *p, uint32_t n, uint8_t value) {
    // Every byte equals the first one exactly when the buffer equals itself
    // shifted by one byte.
    return n == 0 || (p[0] == value && std::memcmp(p, p + 1, n - 1) == 0);
}

// malloc-owned bytes released at scope exit; size 0 still allocates one byte
// so that a null pointer always means "out of memory".
class HeapBytes {
  public:
    explicit HeapBytes(size_t n) : p_(static_cast<uint8_t *>(std::malloc(n == 0 ? 1 : n))) {}
    ~HeapBytes() { std::free(p_); }
    HeapBytes(const HeapBytes &) = delete;
    HeapBytes &operator=(const HeapBytes &) = delete;
    uint8_t *get() const { return p_; }

  private:
    uint8_t *p_;
};

// A working BME whose maps start as copies of the context's.
class WorkingCopy {
  public:
    WorkingCopy() : bytes_(data_blocks()) {
        bme_ = {};
        if (bytes_.get() == nullptr) {
            return;
        }
        bme_.valid_map = bytes_.get();
        bme_.spare_map = bytes_.get() + s_geo.v;
        refresh();
    }
    // Starts over from the context's committed maps.
    void refresh() {
        if (s_geo.v != 0) {
            std::memcpy(bme_.valid_map, efs_ctx.valid_map, s_geo.v);
        }
        if (s_geo.n != 0) {
            std::memcpy(bme_.spare_map, efs_ctx.spare_map, s_geo.n);
        }
        bme_.bme_tag_a = efs_ctx.bme_tag_a;
        bme_.bme_tag_b = efs_ctx.bme_tag_b;
        bme_.bme_crc = efs_ctx.bme_crc;
    }
    bool ok() const { return bytes_.get() != nullptr; }
    WorkingBme *bme() { return &bme_; }

  private:
    HeapBytes bytes_;
    WorkingBme bme_;
};

// Reads `length` bytes at `address` into `out` up to R times until one read
// satisfies `accept`; *accepted tells whether one did. A failed read returns
// its status at once.
template <class Accept>
uint32_t read_until(uint32_t address, uint32_t length, uint8_t *out, Accept accept,
                    bool *accepted) {
    *accepted = false;
    const uint32_t attempts = efs_ctx.read_attempts;
    for (uint32_t i = 0; i < attempts; ++i) {
        const uint32_t st = EFS_physical_read(address, length, out);
        if (st != EFS_OK) {
            return st;
        }
        if (accept(out)) {
            *accepted = true;
            return EFS_OK;
        }
    }
    return EFS_OK;
}

bool header_crc_ok(const uint8_t *h) {
    return EFS_crc32(0, h, kHdrCrc) == load_le32(h + kHdrCrc);
}

bool data_block_ok(const uint8_t *block) {
    return header_crc_ok(block) &&
           EFS_crc32(0, block + kDataAreaOffset, kDataAreaSize) == load_le32(block + kFooterOffset);
}

void build_bm_header(uint8_t *h, uint32_t sequence) {
    store_le16(h + kBmHdrFormat, static_cast<uint16_t>(kBmFormatValue));
    store_le16(h + kBmHdrSku, g_efs_sku_id);
    store_le32(h + kBmHdrSequence, sequence);
    h[kBmHdrBmNum] = static_cast<uint8_t>(s_geo.bm);
    h[kBmHdrValidNum] = static_cast<uint8_t>(s_geo.v);
    h[kBmHdrSpareNum] = static_cast<uint8_t>(s_geo.n);
    h[kBmHdrLayoutId] = g_efs_layout_id;
    store_le32(h + kHdrCrc, EFS_crc32(0, h, kHdrCrc));
}

void build_data_header(uint8_t *h, uint32_t eraseCount) {
    std::memset(h, 0, kHeaderSize);
    store_le32(h, eraseCount);
    store_le32(h + kHdrCrc, EFS_crc32(0, h, kHdrCrc));
}

// Serialises `bme` into `out` (S bytes), computing and storing its CRC.
void encode_bme(uint8_t *out, WorkingBme *bme) {
    const uint32_t maps = data_blocks();
    if (s_geo.v != 0) {
        std::memcpy(out, bme->valid_map, s_geo.v);
    }
    if (s_geo.n != 0) {
        std::memcpy(out + s_geo.v, bme->spare_map, s_geo.n);
    }
    store_le32(out + maps, bme->bme_tag_a);
    store_le32(out + maps + 4, bme->bme_tag_b);
    bme->bme_crc = EFS_crc32(0, out, maps + 8);
    store_le32(out + maps + 8, bme->bme_crc);
}

bool bme_crc_ok(const uint8_t *slot) {
    const uint32_t maps = data_blocks();
    return EFS_crc32(0, slot, maps + 8) == load_le32(slot + maps + 8);
}

// Every physical data block named exactly once by the valid and spare maps.
bool maps_are_permutation(const uint8_t *slot) {
    bool seen[0x100] = {};
    for (uint32_t i = 0; i < data_blocks(); ++i) {
        const uint8_t p = slot[i];
        if (p >= data_blocks() || seen[p]) {
            return false;
        }
        seen[p] = true;
    }
    return true;
}

// Makes the maps, tags and CRC of `bme` the context's committed state.
void adopt_bme(const WorkingBme *bme) {
    if (s_geo.v != 0) {
        std::memcpy(efs_ctx.valid_map, bme->valid_map, s_geo.v);
    }
    if (s_geo.n != 0) {
        std::memcpy(efs_ctx.spare_map, bme->spare_map, s_geo.n);
    }
    efs_ctx.bme_tag_a = bme->bme_tag_a;
    efs_ctx.bme_tag_b = bme->bme_tag_b;
    efs_ctx.bme_crc = bme->bme_crc;
}

void adopt_slot(const uint8_t *slot, uint32_t offset) {
    const uint32_t maps = data_blocks();
    if (s_geo.v != 0) {
        std::memcpy(efs_ctx.valid_map, slot, s_geo.v);
    }
    if (s_geo.n != 0) {
        std::memcpy(efs_ctx.spare_map, slot + s_geo.v, s_geo.n);
    }
    efs_ctx.bme_tag_a = load_le32(slot + maps);
    efs_ctx.bme_tag_b = load_le32(slot + maps + 4);
    efs_ctx.bme_crc = load_le32(slot + maps + 8);
    efs_ctx.bme_offset = offset;
}

void release_context_arrays() {
    std::free(efs_ctx.spare_states);
    std::free(efs_ctx.erase_counts);
    std::free(efs_ctx.valid_map);
    std::free(efs_ctx.spare_map);
}

// Zeroes the header CRC of block-map block `index` (so an interrupted erase
// leaves a header that fails its check), then erases the block.
uint32_t invalidate_and_erase_bm(uint32_t index) {
    static const uint8_t zeros[4] = {0, 0, 0, 0};
    uint32_t st = EFS_write_with_read_check(bm_address(index) + kHdrCrc, 4, zeros, false);
    if (st != EFS_OK) {
        return st;
    }
    return EFS_physical_erase(bm_address(index), kEfsBlockSize);
}

}  // namespace

// ---------------------------------------------------------------------------
// Verified writes and block erase
// ---------------------------------------------------------------------------
uint32_t EFS_write_with_read_check(uint32_t address, uint32_t length, const void *data,
                                   bool requireErased) {
    if (data == nullptr || length == 0 || length > kEfsBlockSize) {
        return EFS_ERR_INVALID;
    }
    uint8_t *check = efs_ctx.check_buf;
    bool ok = false;
    uint32_t st = EFS_OK;
    if (requireErased) {
        st = read_until(
            address, length, check,
            [length](const uint8_t *p) { return all_bytes(p, length, 0xFF); }, &ok);
        if (st != EFS_OK) {
            return st;
        }
        // A target that never reads erased is refused without writing: the
        // state is inconsistent and programming over data would corrupt it.
        if (!ok) {
            return EFS_ERR_CHECK;
        }
    }
    st = EFS_physical_write(address, length, data);
    if (st != EFS_OK) {
        return st;
    }
    st = read_until(
        address, length, check,
        [data, length](const uint8_t *p) { return std::memcmp(p, data, length) == 0; }, &ok);
    if (st != EFS_OK) {
        return st;
    }
    return ok ? EFS_OK : EFS_ERR_CHECK;
}

uint32_t EFS_write_data_footer(uint32_t physicalBlock, const void *dataArea) {
    if (dataArea == nullptr || physicalBlock >= data_blocks()) {
        return EFS_ERR_INVALID;
    }
    uint8_t footer[kFooterSize];
    store_le32(footer, EFS_crc32(0, static_cast<const uint8_t *>(dataArea), kDataAreaSize));
    // The footer must land on erased bytes like the data area: never program over a footer.
    return EFS_write_with_read_check(data_address(physicalBlock) + kFooterOffset, kFooterSize,
                                     footer, true);
}

uint32_t EFS_write_data_block(uint32_t physicalBlock, const void *dataArea) {
    if (dataArea == nullptr || physicalBlock >= data_blocks()) {
        return EFS_ERR_INVALID;
    }
    const uint32_t st = EFS_write_with_read_check(data_address(physicalBlock) + kDataAreaOffset,
                                                  kDataAreaSize, dataArea, true);
    if (st != EFS_OK) {
        return st;
    }
    return EFS_write_data_footer(physicalBlock, dataArea);
}

namespace {

uint32_t erase_data_block_steps(uint32_t p, uint32_t eraseCount) {
    if (p >= data_blocks()) {
        return EFS_ERR_INVALID;
    }
    const uint32_t base = data_address(p);
    static const uint8_t zeros[4] = {0, 0, 0, 0};
    uint32_t st = EFS_physical_write(base + kHdrCrc, 4, zeros);
    if (st != EFS_OK) {
        return st;
    }
    bool ok = false;
    st = read_until(
        base + kHdrCrc, 4, efs_ctx.check_buf, [](const uint8_t *b) { return all_bytes(b, 4, 0); },
        &ok);
    if (st != EFS_OK) {
        return st;
    }
    if (!ok) {
        return EFS_ERR_CHECK;
    }
    st = EFS_physical_erase(base, kEfsBlockSize);
    if (st != EFS_OK) {
        return st;
    }
    uint8_t header[kHeaderSize];
    build_data_header(header, eraseCount + 1);
    return EFS_write_with_read_check(base, kHeaderSize, header, true);
}

}  // namespace

uint32_t EFS_erase_data_block(uint32_t physicalBlock, uint32_t eraseCount) {
    const uint32_t st = erase_data_block_steps(physicalBlock, eraseCount);
    if (st != EFS_OK) {
        efs_ctx.scanned = 0;
        return st;
    }
    if (efs_ctx.erase_counts != nullptr) {
        efs_ctx.erase_counts[physicalBlock] = eraseCount + 1;
    }
    return EFS_OK;
}

// ---------------------------------------------------------------------------
// Format
// ---------------------------------------------------------------------------
namespace {

// Fills the data area of logical block `b` with the empty first records of its files.
uint32_t build_empty_data_area(uint32_t b, uint8_t *area) {
    std::memset(area, 0xFF, kDataAreaSize);
    for (uint32_t f = 0; f < g_efs_files_num; ++f) {
        if (!file_present(f) || file_block(f) != b) {
            continue;
        }
        const uint32_t o = file_offset(f);
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

// Picks the valid block-map block with the greatest sequence number.
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

// ---------------------------------------------------------------------------
// Block and record checks
// ---------------------------------------------------------------------------
namespace {

// Loads physical data block `p` into block_buf until header and footer verify.
uint32_t block_check(uint32_t p) {
    bool ok = false;
    const uint32_t st =
        read_until(data_address(p), kEfsBlockSize, efs_ctx.block_buf, data_block_ok, &ok);
    if (st != EFS_OK) {
        return st;
    }
    return ok ? EFS_OK : EFS_ERR_CHECK;
}

// Reads and verifies the record of logical block `b` at data-area offset `o`
// into block_buf (4 record bytes, then its data). A first record carries its
// own length; a continuation carries `expected` data bytes. *stored = length field.
uint32_t record_check(uint32_t b, uint32_t o, bool first, uint32_t expected, uint32_t *stored) {
    if (b >= s_geo.v) {
        return EFS_ERR_INVALID;
    }
    // An offset past the last record position is a layout fault: refused, never read beyond.
    if (o > kRecordRoom || expected > kRecordRoom - o) {
        return EFS_ERR_INVALID;
    }
    const uint32_t p = efs_ctx.valid_map[b];
    const uint32_t at = data_address(p) + kDataAreaOffset + o;
    uint8_t *rec = efs_ctx.block_buf;
    bool readOnce = false;
    uint32_t length = 0;
    for (uint32_t r = 0; r < efs_ctx.read_attempts; ++r) {
        uint32_t st = EFS_physical_read(at, kRecordHeaderSize, rec);
        if (st != EFS_OK) {
            return st;
        }
        readOnce = true;
        length = load_le16(rec);
        uint32_t n = expected;
        if (first) {
            n = length == kNoContentLength ? 0 : std::min(kRecordRoom - o, length);
        }
        if (n != 0 && (st = EFS_physical_read(at + kRecordHeaderSize, n,
                                              rec + kRecordHeaderSize)) != EFS_OK) {
            return st;
        }
        const uint16_t crc =
            EFS_crc16(EFS_crc16(static_cast<uint16_t>(b), rec, 2), rec + kRecordHeaderSize, n);
        if (crc == load_le16(rec + 2)) {
            *stored = length;
            return EFS_OK;
        }
    }
    if (!readOnce || length != kNoContentLength) {
        return EFS_ERR_CHECK;
    }
    const uint32_t st = block_check(p);
    return st == EFS_OK ? EFS_ERR_NO_CONTENT : st;
}

// Checks index, presence and record offset of a file named by a caller.
bool file_usable(uint32_t fileIndex) {
    return fileIndex < g_efs_files_num && file_present(fileIndex);
}

// Reads the first record of a file and checks its length against the maximum.
uint32_t first_record(uint32_t fileIndex, uint32_t *length) {
    uint32_t stored = 0;
    const uint32_t st =
        record_check(file_block(fileIndex), file_offset(fileIndex), true, 0, &stored);
    if (st != EFS_OK) {
        return st;
    }
    if (stored == kNoContentLength) {
        return EFS_ERR_NO_CONTENT;
    }
    if (stored > file_max_size(fileIndex)) {
        return EFS_ERR_CHECK;
    }
    *length = stored;
    return EFS_OK;
}

}  // namespace

// ---------------------------------------------------------------------------
// File operations
// ---------------------------------------------------------------------------
uint32_t EFS_get_file_size(uint32_t fileIndex, uint32_t *size) {
    uint32_t st = check_mounted();
    if (st != EFS_OK) {
        return st;
    }
    if (size == nullptr || !file_usable(fileIndex)) {
        return EFS_ERR_INVALID;
    }
    uint32_t length = 0;
    if ((st = first_record(fileIndex, &length)) != EFS_OK) {
        return st;
    }
    *size = length;
    return EFS_OK;
}

namespace {

uint32_t read_file_bytes(uint32_t fileIndex, uint32_t offset, uint32_t *count, uint8_t *out) {
    uint32_t length = 0;
    uint32_t st = first_record(fileIndex, &length);
    if (st != EFS_OK) {
        return st;
    }
    if (length == 0) {
        *count = 0;
        return EFS_OK;
    }
    if (length < offset) {
        return EFS_ERR_RANGE;
    }
    const uint32_t wanted = std::min(*count, length - offset);
    const uint32_t b = file_block(fileIndex);
    const uint32_t o = file_offset(fileIndex);
    const uint32_t firstRoom = kRecordRoom - o;
    uint32_t copied = 0;
    uint32_t block = 0;
    uint32_t pos = 0;
    if (offset < firstRoom) {
        copied = std::min(firstRoom - offset, wanted);
        if (copied != 0) {
            std::memcpy(out, efs_ctx.block_buf + kRecordHeaderSize + offset, copied);
        }
        block = b + 1;
    } else {
        block = b + (o + offset) / kRecordRoom;
        pos = (o + offset) % kRecordRoom;
    }
    while (copied < wanted && block < s_geo.v) {
        // File bytes stored before `block`: the first record plus full continuations.
        const uint32_t before = firstRoom + (block - b - 1) * kRecordRoom;
        const uint32_t expected = std::min(length - before, kRecordRoom);
        uint32_t stored = 0;
        if ((st = record_check(block, 0, false, expected, &stored)) != EFS_OK) {
            // Every continuation stores length 0xFFFF, so one that never checks out in
            // an intact block comes back as "no content" (2); this file has content,
            // so that is stored data failing a check.
            return st == EFS_ERR_NO_CONTENT ? EFS_ERR_CHECK : st;
        }
        const uint32_t take = std::min(expected - pos, wanted - copied);
        std::memcpy(out + copied, efs_ctx.block_buf + kRecordHeaderSize + pos, take);
        copied += take;
        ++block;
        pos = 0;
    }
    if (copied < wanted) {
        return EFS_ERR_CHECK;
    }
    *count = copied;
    return EFS_OK;
}

}  // namespace

uint32_t EFS_read(uint32_t fileIndex, uint32_t offset, uint32_t *count, void *buffer) {
    uint32_t st = check_mounted();
    if (st == EFS_OK) {
        // count is checked before it is read, the file index before it is used.
        if (count == nullptr || fileIndex >= g_efs_files_num || offset > 0xFFFFFFFFu - *count ||
            buffer == nullptr || !file_present(fileIndex)) {
            st = EFS_ERR_INVALID;
        } else {
            st = read_file_bytes(fileIndex, offset, count, static_cast<uint8_t *>(buffer));
        }
    }
    if (st != EFS_OK && count != nullptr) {
        *count = 0;
    }
    return st;
}

namespace {

uint32_t ensure_scanned() {
    return efs_ctx.scanned != 0 ? EFS_OK : EFS_scan_for_Data_Blocks_status_and_EC();
}

// Erases dirty spares until `wanted` are free.
uint32_t reserve_free_spares(uint32_t wanted) {
    while (efs_ctx.free_spares < wanted) {
        const uint32_t st = EFS_erase_dirty_block();
        if (st != EFS_OK) {
            return st;
        }
    }
    return EFS_OK;
}

// Builds in the data area `area` the record at offset `o` of logical block
// `b`: length field `lengthField`, then `n` bytes of `data`, then its CRC-16.
void build_record(uint8_t *area, uint32_t b, uint32_t o, uint16_t lengthField, const uint8_t *data,
                  uint32_t n) {
    uint8_t *rec = area + o;
    store_le16(rec, lengthField);
    if (n != 0) {
        std::memcpy(rec + kRecordHeaderSize, data, n);
    }
    const uint16_t crc =
        EFS_crc16(EFS_crc16(static_cast<uint16_t>(b), rec, 2), rec + kRecordHeaderSize, n);
    store_le16(rec + 2, crc);
}

// Logical blocks a content of `length` bytes occupies from offset `o`.
uint32_t blocks_occupied(uint32_t o, uint32_t length) {
    const uint32_t firstRoom = kRecordRoom - o;
    if (length <= firstRoom) {
        return 1;
    }
    return 1 + (length - firstRoom + kRecordRoom - 1) / kRecordRoom;
}

uint32_t write_file_blocks(WorkingBme *bme, uint32_t fileIndex, uint32_t length,
                           const uint8_t *data) {
    const uint32_t b = file_block(fileIndex);
    const uint32_t o = file_offset(fileIndex);
    uint8_t *area = efs_ctx.block_buf + kDataAreaOffset;
    uint32_t placed = 0;
    for (uint32_t block = b;; ++block) {
        const bool first = block == b;
        const uint32_t at = first ? o : 0;
        const uint32_t room = kRecordRoom - at;
        // Checked before any block of the map is looked up, so the map is never indexed past V.
        if (block >= s_geo.v) {
            return EFS_ERR_INVALID;
        }
        uint32_t st = block_check(bme->valid_map[block]);
        if (st != EFS_OK) {
            return st;
        }
        const uint32_t n = std::min(length - placed, room);
        build_record(area, block, at, first ? static_cast<uint16_t>(length) : kNoContentLength,
                     data + placed, n);
        placed += n;
        if ((st = EFS_bme_swap_and_write_new_block(bme, block, area)) != EFS_OK) {
            return st;
        }
        if (placed >= length) {
            return EFS_OK;
        }
    }
}

}  // namespace

uint32_t EFS_write(uint32_t fileIndex, uint32_t offset, uint32_t length, const void *data) {
    uint32_t st = check_mounted();
    if (st != EFS_OK) {
        return st;
    }
    WorkingCopy working;
    if (!working.ok()) {
        return EFS_ERR_NO_MEMORY;
    }
    if (offset != 0 || data == nullptr || !file_usable(fileIndex)) {
        return EFS_ERR_INVALID;
    }
    if ((st = ensure_scanned()) != EFS_OK) {
        return st;
    }
    if ((st = EFS_wear_leveling(0, 0)) != EFS_OK) {
        return st;
    }
    // 0xFFFF in a length field means "no content", so that length is refused as too long.
    if (length > file_max_size(fileIndex) || length >= kNoContentLength) {
        return EFS_ERR_RANGE;
    }
    const uint32_t o = file_offset(fileIndex);
    // A record offset past 4072 or a file running past the last logical block is
    // refused before any spare is consumed.
    if (o > kRecordRoom || file_block(fileIndex) + blocks_occupied(o, length) > s_geo.v) {
        return EFS_ERR_INVALID;
    }
    const uint32_t needed = (length + o + 4075) / kRecordRoom;
    // More blocks than spares can never be reserved: answer "no space" instead of waiting.
    if (needed > s_geo.n) {
        return EFS_ERR_NO_SPACE;
    }
    if ((st = reserve_free_spares(needed)) != EFS_OK) {
        return st;
    }
    working.refresh();  // wear levelling may have committed new maps
    st = write_file_blocks(working.bme(), fileIndex, length, static_cast<const uint8_t *>(data));
    if (st != EFS_OK) {
        return st;
    }
    return EFS_commit_BME(working.bme(), 0, 0);
}

uint32_t EFS_delete(uint32_t fileIndex) {
    uint32_t st = check_mounted();
    if (st != EFS_OK) {
        return st;
    }
    WorkingCopy working;
    if (!working.ok()) {
        return EFS_ERR_NO_MEMORY;
    }
    if (!file_usable(fileIndex)) {
        return EFS_ERR_INVALID;
    }
    if ((st = ensure_scanned()) != EFS_OK) {
        return st;
    }
    if ((st = EFS_wear_leveling(0, 0)) != EFS_OK) {
        return st;
    }
    // Without spares no block can be replaced: answer "no space" instead of waiting.
    if (s_geo.n == 0) {
        return EFS_ERR_NO_SPACE;
    }
    if ((st = reserve_free_spares(1)) != EFS_OK) {
        return st;
    }
    const uint32_t b = file_block(fileIndex);
    const uint32_t o = file_offset(fileIndex);
    if (b >= s_geo.v || o > kRecordRoom) {
        return EFS_ERR_INVALID;
    }
    working.refresh();  // wear levelling may have committed new maps
    if ((st = block_check(working.bme()->valid_map[b])) != EFS_OK) {
        return st;
    }
    uint8_t *area = efs_ctx.block_buf + kDataAreaOffset;
    if (load_le16(area + o) == kNoContentLength) {
        return EFS_ERR_NO_CONTENT;
    }
    build_record(area, b, o, kNoContentLength, nullptr, 0);
    if ((st = EFS_bme_swap_and_write_new_block(working.bme(), b, area)) != EFS_OK) {
        return st;
    }
    return EFS_commit_BME(working.bme(), 0, 0);
}

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
    HeapBytes bytes(s);
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

uint32_t EFS_commit_BME(WorkingBme *bme, uint32_t tagA, uint32_t tagB) {
    if (bme == nullptr) {
        return EFS_ERR_INVALID;
    }
    if (efs_ctx.mounted == 0) {
        return EFS_ERR_NOT_MOUNTED;
    }
    const uint32_t s = bme_size();
    HeapBytes slot(s);
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

uint32_t EFS_switch_BM(WorkingBme *bme) {
    if (bme == nullptr) {
        return EFS_ERR_INVALID;
    }
    if (efs_ctx.mounted == 0 || s_geo.bm == 0) {
        return EFS_ERR_NOT_MOUNTED;
    }
    const uint32_t s = bme_size();
    HeapBytes slot(s);
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
    uint32_t slot = 0;
    uint32_t st = EFS_select_free_page_for_write(&slot);
    if (st != EFS_OK) {
        return st;
    }
    // Dirty from now on: whatever happens next, the slot is erased before reuse.
    efs_ctx.spare_states[slot] = kSpareDirty;
    --efs_ctx.free_spares;
    const uint32_t p = bme->spare_map[slot];
    if ((st = EFS_write_data_block(p, dataArea)) != EFS_OK) {
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
