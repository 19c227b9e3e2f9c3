#include "region_stats.h"

#include <algorithm>

#include "wire.h"

namespace quorstore {

namespace {

// AFS erase unit header: u32 magic, u32 sequence, u32 erase count, ...
constexpr size_t kAfsUnitSequence = 4;
constexpr size_t kAfsUnitEraseCount = 8;
// EFS data block header: u32 erase count, 8 zero bytes, u32 CRC.
constexpr size_t kEfsBlockEraseCount = 0;
constexpr uint32_t kErasedWord = 0xFFFFFFFF;

void add(std::optional<EraseCounts> &counts, uint32_t value) {
    if (!counts) {
        counts = EraseCounts{value, value, 0};
    }
    counts->min = std::min(counts->min, value);
    counts->max = std::max(counts->max, value);
    ++counts->counted;
}

}  // namespace

std::optional<EraseCounts> afs_erase_counts(const Bytes &region) {
    std::optional<EraseCounts> counts;
    for (size_t unit = 0; unit + kAfsEraseUnit <= region.size(); unit += kAfsEraseUnit) {
        const uint32_t sequence = wire::le32(region.data() + unit + kAfsUnitSequence);
        const uint32_t erases = wire::le32(region.data() + unit + kAfsUnitEraseCount);
        if (sequence != 0 && sequence != kErasedWord && erases != 0 && erases != kErasedWord) {
            add(counts, erases);
        }
    }
    return counts;
}

std::optional<EraseCounts> efs_erase_counts(const Bytes &region, uint32_t first_data_block) {
    std::optional<EraseCounts> counts;
    for (size_t block = static_cast<size_t>(first_data_block) * kEfsBlock;
         block + kEfsBlock <= region.size(); block += kEfsBlock) {
        const uint32_t erases = wire::le32(region.data() + block + kEfsBlockEraseCount);
        if (erases != kErasedWord) {
            add(counts, erases);
        }
    }
    return counts;
}

}  // namespace quorstore
