// The EFS block maps of a region, read the way a mount reads them: which
// block-map block is current, which of its entries is the newest, and which
// entry the mount adopts. fsck (damage that makes a mount fall back) and
// `quorstore map` (which physical block holds what) both read them here.
//
// Block-map block: a 16-byte header (sequence at byte 4, CRC-32 of bytes 0 to
// 11 at byte 12), then entries of V + N + 12 bytes from byte 16: V bytes
// valid map (logical -> physical data block), N bytes spare map, two tag
// words, CRC-32 of the rest. A header of all 0xFF is erased, all 0x00
// retired, a matching CRC valid, anything else damaged.
//
// Only the bytes are read: nothing is mounted and no library state changes.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "bundle.h"

namespace quorstore {

// Block-map count, logical blocks and spares of an EFS layout.
struct EfsGeometry {
    uint32_t maps = 0;
    uint32_t valid = 0;
    uint32_t spares = 0;

    uint32_t entry_size() const;  // V + N + 12
};

// The geometry of the layout the library has loaded (load_file_table).
EfsGeometry loaded_efs_geometry();

enum class BlockMapHeader { kErased, kRetired, kValid, kDamaged };

struct EfsBlockMaps {
    std::vector<BlockMapHeader> headers;  // one per block-map block
    // The valid header with the greatest sequence; a sequence must beat the
    // best so far (starting at 0), so ties go to the lower index and 0 never
    // wins, as in the mount.
    std::optional<uint32_t> current;
    // In the current block: the last written entry slot (offset), whether
    // its CRC matches, and the entry a mount adopts: the newest, or the one
    // before it when the newest fails and that one checks.
    std::optional<uint32_t> newest;
    bool newest_checks = false;
    std::optional<uint32_t> adopted;
    std::vector<uint8_t> valid_map;  // of the adopted entry: V physical data blocks
    std::vector<uint8_t> spare_map;  // N physical data blocks

    // The mount falls back to an older state: a damaged header (whatever was
    // committed into that block is skipped) or a newest entry that fails.
    bool falls_back() const;
};

// Whether a 16-byte block header (block map or data block: same CRC place)
// passes its CRC.
bool efs_header_checks(const uint8_t *header);

// Reads the block maps at the start of `region`; a region shorter than its
// block maps gives no headers at all.
EfsBlockMaps read_efs_block_maps(const Bytes &region, const EfsGeometry &geometry);

}  // namespace quorstore
