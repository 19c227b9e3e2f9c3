#include "efs_block_maps.h"

#include <algorithm>

#include "efs/EFS.h"
#include "quorstorage/quorstorage.h"
#include "wire.h"

namespace quorstore {

namespace {

namespace efs = quor::efs;

bool all_bytes(const uint8_t *p, size_t n, uint8_t value) {
    return std::all_of(p, p + n, [value](uint8_t b) { return b == value; });
}

bool crc_ok(const uint8_t *p, uint32_t covered) {
    return EFS_crc32(0, p, covered) == wire::le32(p + covered);
}

BlockMapHeader header_state(const uint8_t *header) {
    if (all_bytes(header, efs::kHeaderSize, 0xFF)) {
        return BlockMapHeader::kErased;
    }
    if (all_bytes(header, efs::kHeaderSize, 0x00)) {
        return BlockMapHeader::kRetired;
    }
    return efs_header_checks(header) ? BlockMapHeader::kValid : BlockMapHeader::kDamaged;
}

// The last written slot: the one before the first erased slot, or the last
// slot that fits. The first slot is never tested for erased: a valid header
// is written after its first entry.
uint32_t newest_slot(const uint8_t *block, uint32_t entry_size) {
    uint32_t last = efs::kFirstBmeOffset;
    for (uint32_t at = efs::kFirstBmeOffset + entry_size; at + entry_size <= efs::kBmSlotLimit;
         at += entry_size) {
        if (all_bytes(block + at, entry_size, 0xFF)) {
            break;
        }
        last = at;
    }
    return last;
}

bool entry_checks(const uint8_t *block, uint32_t at, uint32_t entry_size) {
    return crc_ok(block + at, entry_size - 4);
}

}  // namespace

bool efs_header_checks(const uint8_t *header) {
    return crc_ok(header, efs::kHdrCrc);
}

uint32_t EfsGeometry::entry_size() const {
    return valid + spares + efs::kBmeFixedBytes;
}

EfsGeometry loaded_efs_geometry() {
    return EfsGeometry{g_efs_bm_num, g_efs_valid_block_num, g_efs_non_valid_block_num};
}

bool EfsBlockMaps::falls_back() const {
    const bool damaged_header =
        std::find(headers.begin(), headers.end(), BlockMapHeader::kDamaged) != headers.end();
    return damaged_header || (newest && !newest_checks);
}

EfsBlockMaps read_efs_block_maps(const Bytes &region, const EfsGeometry &geometry) {
    EfsBlockMaps out;
    const uint32_t entry_size = geometry.entry_size();
    if (geometry.maps == 0 || region.size() / efs::kEfsBlockSize < geometry.maps ||
        efs::kFirstBmeOffset + entry_size > efs::kBmSlotLimit) {
        return out;
    }
    uint32_t best_sequence = 0;
    for (uint32_t i = 0; i < geometry.maps; ++i) {
        const uint8_t *header = region.data() + static_cast<size_t>(i) * efs::kEfsBlockSize;
        out.headers.push_back(header_state(header));
        const uint32_t sequence = wire::le32(header + efs::kBmHdrSequence);
        if (out.headers.back() == BlockMapHeader::kValid && sequence > best_sequence) {
            best_sequence = sequence;
            out.current = i;
        }
    }
    if (!out.current) {
        return out;
    }
    const uint8_t *block = region.data() + static_cast<size_t>(*out.current) * efs::kEfsBlockSize;
    out.newest = newest_slot(block, entry_size);
    out.newest_checks = entry_checks(block, *out.newest, entry_size);
    if (out.newest_checks) {
        out.adopted = out.newest;
    } else if (*out.newest != efs::kFirstBmeOffset &&
               entry_checks(block, *out.newest - entry_size, entry_size)) {
        out.adopted = *out.newest - entry_size;
    }
    if (out.adopted) {
        const uint8_t *entry = block + *out.adopted;
        out.valid_map.assign(entry, entry + geometry.valid);
        out.spare_map.assign(entry + geometry.valid, entry + geometry.valid + geometry.spares);
    }
    return out;
}

}  // namespace quorstore
