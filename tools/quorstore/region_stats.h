// Figures read straight from the bytes of the AFS and EFS regions, in their
// documented on-flash formats: the erase count of every AFS erase unit
// (unit header) and of every EFS data block (block header).
#pragma once

#include <cstdint>
#include <optional>

#include "values.h"

namespace quorstore {

struct EraseCounts {
    uint32_t min = 0;
    uint32_t max = 0;
    uint32_t counted = 0;  // units or blocks with a readable count
};

constexpr uint32_t kAfsEraseUnit = 8192;
constexpr uint32_t kEfsBlock = 4096;

// Erase counts of the AFS units whose header has a sequence and an erase
// count (the spare included); nothing when no unit has one.
std::optional<EraseCounts> afs_erase_counts(const Bytes &region);

// Erase counts of the EFS data blocks `first_data_block` to the end of the
// region whose header is not erased.
std::optional<EraseCounts> efs_erase_counts(const Bytes &region, uint32_t first_data_block);

}  // namespace quorstore
