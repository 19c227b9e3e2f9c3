// Block-level helpers shared by the pieces of EFS: the geometry the context
// was mounted with, addresses of block-map and data blocks, encoding of the
// block-map and data-block headers and of block-map entries, and the checked
// reads of data blocks and file records. See EFS.h for the on-flash format.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/bytes.h"
#include "efs/EFS.h"

namespace quor::efs {
// Aligned copies of the four array pointers of efs_ctx (see EfsBlocks.cpp).
extern void *efs_array_refs[4];
}  // namespace quor::efs

namespace quor::efs::detail {

// Geometry the context was mounted with; its arrays are sized by it.
struct Geometry {
    uint32_t bm = 0;
    uint32_t v = 0;
    uint32_t n = 0;
};
extern Geometry s_geo;

inline uint32_t bme_size() {
    return s_geo.v + s_geo.n + kBmeFixedBytes;
}
inline uint32_t data_blocks() {
    return s_geo.v + s_geo.n;
}
inline uint32_t bm_address(uint32_t index) {
    return index * kEfsBlockSize;
}
inline uint32_t data_address(uint32_t physicalBlock) {
    return (s_geo.bm + physicalBlock) * kEfsBlockSize;
}

// Block numbers are single bytes on flash: a layout whose counts do not fit
// them cannot be formatted or mounted faithfully and is refused with 22.
inline bool layout_representable() {
    return g_efs_bm_num <= 0xFF && g_efs_valid_block_num <= 0xFF &&
           g_efs_non_valid_block_num <= 0xFF &&
           g_efs_valid_block_num + g_efs_non_valid_block_num <= 0x100;
}

// A layout loaded after the mount would not match the arrays sized at mount
// time: the stale mount answers "not mounted" until EFS is mounted again.
inline uint32_t check_mounted() {
    if (efs_ctx.mounted == 0 || s_geo.bm != g_efs_bm_num || s_geo.v != g_efs_valid_block_num ||
        s_geo.n != g_efs_non_valid_block_num) {
        return EFS_ERR_NOT_MOUNTED;
    }
    return EFS_OK;
}

// all_bytes for n > 32 (EfsBytes.cpp): vectorised, chosen for the CPU.
bool all_bytes_long(const uint8_t *p, uint32_t n, uint8_t value);

// Copies n bytes `from` -> `to` (not overlapping) and tells whether they
// equal `expected` (copy_equal) or are all `value` (copy_all), in one pass.
bool copy_equal(uint8_t *to, const uint8_t *from, const uint8_t *expected, uint32_t n);
bool copy_all(uint8_t *to, const uint8_t *from, uint32_t n, uint8_t value);

// True when the n bytes at p all equal `value` (n = 0: true).
inline bool all_bytes(const uint8_t *p, uint32_t n, uint8_t value) {
    // Headers, footers and slots are short: a loop beats a call there.
    if (n <= 32) {
        uint8_t differs = 0;
        for (uint32_t i = 0; i < n; ++i) {
            differs |= static_cast<uint8_t>(p[i] ^ value);
        }
        return differs == 0;
    }
    return all_bytes_long(p, n, value);
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

// Scratch bytes for block maps and BME slots: on the stack up to the largest
// size a representable layout has (256 map bytes and the fixed part), from
// the heap beyond it; get() is null only when that heap allocation failed.
// Every write and commit needs two or three of these: the stack spares them
// a malloc each.
class SlotBytes {
  public:
    static constexpr size_t kLocal = 0x100 + kBmeFixedBytes;
    explicit SlotBytes(size_t n)
        : heap_(n > kLocal ? static_cast<uint8_t *>(std::malloc(n)) : nullptr),
          p_(n > kLocal ? heap_ : local_) {}
    ~SlotBytes() { std::free(heap_); }
    SlotBytes(const SlotBytes &) = delete;
    SlotBytes &operator=(const SlotBytes &) = delete;
    uint8_t *get() const { return p_; }

  private:
    uint8_t local_[kLocal];
    uint8_t *heap_;
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
    SlotBytes bytes_;
    WorkingBme bme_;
};

// Runs `attempt(&ok)`, one read and the test of its bytes (a status, and ok
// when the bytes pass), up to R times until one passes; *accepted tells
// whether one did. A failed read returns its status at once.
template <class Attempt>
inline uint32_t retry_read(Attempt attempt, bool *accepted) {
    *accepted = false;
    const uint32_t attempts = efs_ctx.read_attempts;
    for (uint32_t i = 0; i < attempts; ++i) {
        bool ok = false;
        const uint32_t st = attempt(&ok);
        if (st != EFS_OK) {
            return st;
        }
        if (ok) {
            *accepted = true;
            return EFS_OK;
        }
    }
    return EFS_OK;
}

// Reads `length` bytes at `address` into `out` up to R times until one read
// satisfies `accept`; *accepted tells whether one did. A failed read returns
// its status at once.
template <class Accept>
inline uint32_t read_until(uint32_t address, uint32_t length, uint8_t *out, Accept accept,
                           bool *accepted) {
    return retry_read(
        [&](bool *ok) {
            const uint32_t st = EFS_physical_read(address, length, out);
            *ok = st == EFS_OK && accept(out);
            return st;
        },
        accepted);
}

inline bool header_crc_ok(const uint8_t *h) {
    return EFS_crc32(0, h, kHdrCrc) == load_le32(h + kHdrCrc);
}

void build_bm_header(uint8_t *h, uint32_t sequence);

void build_data_header(uint8_t *h, uint32_t eraseCount);

// Serialises `bme` into `out` (S bytes), computing and storing its CRC.
void encode_bme(uint8_t *out, WorkingBme *bme);

bool bme_crc_ok(const uint8_t *slot);

// Every physical data block named exactly once by the valid and spare maps.
bool maps_are_permutation(const uint8_t *slot);

// Makes the maps, tags and CRC of `bme` the context's committed state.
void adopt_bme(const WorkingBme *bme);

void adopt_slot(const uint8_t *slot, uint32_t offset);

void release_context_arrays();

// Zeroes the header CRC of block-map block `index` (so an interrupted erase
// leaves a header that fails its check), then erases the block.
uint32_t invalidate_and_erase_bm(uint32_t index);

// ---- Block and record checks

// Loads physical data block `p` into block_buf until header and footer verify.
uint32_t block_check(uint32_t p);

// Where a record's data may go instead of block_buf: straight into a
// caller's buffer of `room` bytes, saving a copy when the data fits.
struct RecordSink {
    uint8_t *data = nullptr;
    uint32_t room = 0;
};

// Reads and verifies the record of logical block `b` at data-area offset `o`
// into block_buf (4 record bytes, then its data; the data into `sink` when it
// fits there). A first record carries its own length; a continuation carries
// `expected` data bytes. *stored = length field; *dataAt (when given) = where
// the data was read to.
uint32_t record_check(uint32_t b, uint32_t o, bool first, uint32_t expected, uint32_t *stored,
                      RecordSink sink = {}, const uint8_t **dataAt = nullptr);

// Reads the first record of a file and checks its length against the maximum;
// `sink` and *dataAt as for record_check.
uint32_t first_record(const FilePlacement &file, uint32_t *length, RecordSink sink = {},
                      const uint8_t **dataAt = nullptr);

// Runs the data-block scan unless the mount already did.
uint32_t ensure_scanned();

// ---- Writes of data blocks whose footer CRC is already known

// The CRC-32 register `crc` continued over `zeros` zero bytes (zeros <= the
// size of a data area), without reading them: crc times x^(8 * zeros) mod P.
// The CRC-32 of EFS starts from 0 and is linear, so changing bytes [o, o + m)
// of an area changes its CRC by crc32_after_zeros(crc32(0, old ^ new), area
// size - o - m): a small record rewritten in a block costs a CRC over the
// record, not over the whole area.
uint32_t crc32_after_zeros(uint32_t crc, uint32_t zeros);

// EFS_write_data_block with `areaCrc` = EFS_crc32(0, dataArea, kDataAreaSize)
// already computed by the caller.
uint32_t write_data_block(uint32_t physicalBlock, const void *dataArea, uint32_t areaCrc);

// EFS_bme_swap_and_write_new_block with the area's CRC-32 already computed.
uint32_t swap_and_write_new_block(WorkingBme *bme, uint32_t logicalBlock, const void *dataArea,
                                  uint32_t areaCrc);

}  // namespace quor::efs::detail
