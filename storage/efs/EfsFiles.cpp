// File operations of EFS: size, read, write and delete of a numbered file.
#include <algorithm>
#include <cstring>

#include "common/crc.h"
#include "efs/EfsBlocks.h"

using namespace quor;
using namespace quor::efs;
using namespace quor::efs::detail;

// ---------------------------------------------------------------------------
// File operations
// ---------------------------------------------------------------------------
uint32_t EFS_get_file_size(uint32_t fileIndex, uint32_t *size) {
    uint32_t st = check_mounted();
    if (st != EFS_OK) {
        return st;
    }
    const FilePlacement file = file_placement(fileIndex);
    if (size == nullptr || !file.present) {
        return EFS_ERR_INVALID;
    }
    uint32_t length = 0;
    if ((st = first_record(file, &length)) != EFS_OK) {
        return st;
    }
    *size = length;
    return EFS_OK;
}

namespace {

// Records whose data the caller wants whole are read straight into `out`;
// the others go through block_buf. Either way each is verified before the
// read succeeds (on a failure `out` may hold part of the data, *count is 0).
uint32_t read_file_bytes(const FilePlacement &file, uint32_t offset, uint32_t *count,
                         uint8_t *out) {
    uint32_t length = 0;
    const uint8_t *firstData = nullptr;
    const RecordSink firstSink{offset == 0 ? out : nullptr, *count};
    uint32_t st = first_record(file, &length, firstSink, &firstData);
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
    const uint32_t b = file.block;
    const uint32_t o = file.offset;
    const uint32_t firstRoom = kRecordRoom - o;
    uint32_t copied = 0;
    uint32_t block = 0;
    uint32_t pos = 0;
    if (offset < firstRoom) {
        copied = std::min(firstRoom - offset, wanted);
        if (copied != 0 && firstData != out) {
            std::memcpy(out, firstData + offset, copied);
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
        const uint8_t *data = nullptr;
        const RecordSink sink{pos == 0 ? out + copied : nullptr, wanted - copied};
        if ((st = record_check(block, 0, false, expected, &stored, sink, &data)) != EFS_OK) {
            // Every continuation stores length 0xFFFF, so one that never checks out in
            // an intact block comes back as "no content" (2); this file has content,
            // so that is stored data failing a check.
            return st == EFS_ERR_NO_CONTENT ? EFS_ERR_CHECK : st;
        }
        const uint32_t take = std::min(expected - pos, wanted - copied);
        if (data != out + copied) {
            std::memcpy(out + copied, data + pos, take);
        }
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
        // count is checked before it is read.
        const FilePlacement file = file_placement(fileIndex);
        if (count == nullptr || offset > 0xFFFFFFFFu - *count || buffer == nullptr ||
            !file.present) {
            st = EFS_ERR_INVALID;
        } else {
            st = read_file_bytes(file, offset, count, static_cast<uint8_t *>(buffer));
        }
    }
    if (st != EFS_OK && count != nullptr) {
        *count = 0;
    }
    return st;
}

namespace {

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
    // The data is copied in by the CRC as it reads it: one pass over the bytes.
    const uint16_t crc = crc::crc16_copy(EFS_crc16(static_cast<uint16_t>(b), rec, 2),
                                         rec + kRecordHeaderSize, data, n);
    store_le16(rec + 2, crc);
}

// Records up to this size are rebuilt with the area's CRC-32 updated from the
// old one (crc32_after_zeros); a larger one costs about as much as the CRC of
// the whole area, which is then computed afresh.
constexpr uint32_t kUpdateCrcUpTo = kDataAreaSize / 4;

// build_record in an area whose CRC-32 from 0 is `oldCrc`; returns the
// area's CRC-32 afterwards. efs_ctx.check_buf keeps the old record bytes
// meanwhile (it is free until the area is written).
uint32_t rebuild_record(uint8_t *area, uint32_t oldCrc, uint32_t b, uint32_t o,
                        uint16_t lengthField, const uint8_t *data, uint32_t n) {
    const uint32_t m = kRecordHeaderSize + n;
    if (m > kUpdateCrcUpTo) {
        build_record(area, b, o, lengthField, data, n);
        return EFS_crc32(0, area, kDataAreaSize);
    }
    uint8_t *change = efs_ctx.check_buf;
    std::memcpy(change, area + o, m);
    build_record(area, b, o, lengthField, data, n);
    for (uint32_t i = 0; i < m; ++i) {
        change[i] ^= area[o + i];
    }
    return oldCrc ^ crc32_after_zeros(EFS_crc32(0, change, m), kDataAreaSize - o - m);
}

// The CRC-32 of the data area block_check has just loaded: it matched the footer.
uint32_t checked_area_crc() {
    return load_le32(efs_ctx.block_buf + kFooterOffset);
}

// Logical blocks a content of `length` bytes occupies from offset `o`.
uint32_t blocks_occupied(uint32_t o, uint32_t length) {
    const uint32_t firstRoom = kRecordRoom - o;
    if (length <= firstRoom) {
        return 1;
    }
    return 1 + (length - firstRoom + kRecordRoom - 1) / kRecordRoom;
}

// Spares a write makes free before it starts: the blocks the content would
// occupy if it were one record header (4 bytes) longer, rounded up, i.e.
// (length + o + 4075) / 4072. That equals blocks_occupied except when the
// content ends in the last 4 bytes of a block's record room: then one spare
// more is made free than the write uses, and it stays free for the next one.
uint32_t spares_to_reserve(uint32_t o, uint32_t length) {
    return (length + o + kRecordHeaderSize + kRecordRoom - 1) / kRecordRoom;
}

uint32_t write_file_blocks(WorkingBme *bme, const FilePlacement &file, uint32_t length,
                           const uint8_t *data) {
    const uint32_t b = file.block;
    const uint32_t o = file.offset;
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
        const uint32_t crc = rebuild_record(
            area, checked_area_crc(), block, at,
            first ? static_cast<uint16_t>(length) : kNoContentLength, data + placed, n);
        placed += n;
        if ((st = swap_and_write_new_block(bme, block, area, crc)) != EFS_OK) {
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
    const FilePlacement file = file_placement(fileIndex);
    if (offset != 0 || data == nullptr || !file.present) {
        return EFS_ERR_INVALID;
    }
    if ((st = ensure_scanned()) != EFS_OK) {
        return st;
    }
    if ((st = EFS_wear_leveling(0, 0)) != EFS_OK) {
        return st;
    }
    // 0xFFFF in a length field means "no content", so that length is refused as too long.
    if (length > file.maxSize || length >= kNoContentLength) {
        return EFS_ERR_RANGE;
    }
    const uint32_t o = file.offset;
    // A record offset past 4072 or a file running past the last logical block is
    // refused before any spare is consumed.
    if (o > kRecordRoom || file.block + blocks_occupied(o, length) > s_geo.v) {
        return EFS_ERR_INVALID;
    }
    const uint32_t needed = spares_to_reserve(o, length);
    // More blocks than spares can never be reserved: answer "no space" instead of waiting.
    if (needed > s_geo.n) {
        return EFS_ERR_NO_SPACE;
    }
    if ((st = reserve_free_spares(needed)) != EFS_OK) {
        return st;
    }
    working.refresh();  // wear levelling may have committed new maps
    st = write_file_blocks(working.bme(), file, length, static_cast<const uint8_t *>(data));
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
    const FilePlacement file = file_placement(fileIndex);
    if (!file.present) {
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
    const uint32_t b = file.block;
    const uint32_t o = file.offset;
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
    const uint32_t crc =
        rebuild_record(area, checked_area_crc(), b, o, kNoContentLength, nullptr, 0);
    if ((st = swap_and_write_new_block(working.bme(), b, area, crc)) != EFS_OK) {
        return st;
    }
    return EFS_commit_BME(working.bme(), 0, 0);
}
