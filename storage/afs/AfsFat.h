// Volume access of the AFS file layer: where FAT entries live, reading and
// writing them through the page cache with the loop guard of chain walks,
// the chain of chunks behind a file entry, and the file-size table.
#pragma once

#include <cstdint>
#include <vector>

#include "afs/Afs.h"
#include "afs/AfsCache.h"
#include "afs/AfsFtl.h"
#include "afs/AfsPhysical.h"

namespace quor::afs::file_layer {

inline uint32_t fat_offset(uint32_t k) {
    return kAfsHeaderSize + 2u * k;
}

inline bool is_cid(const AfsContext *c, uint32_t v) {
    return v >= c->fileCount && v < uint32_t{c->fileCount} + c->chunkCount;
}

inline uint32_t chunk_va(const AfsContext *c, uint32_t cid) {
    return c->dynamicAreaSize + kAfsChunkSize * (cid - c->fileCount);
}

inline bool is_mounted(const AfsContext *c) {
    return c != nullptr && c->cacheDescriptors != nullptr && c->cacheData != nullptr &&
           c->handlers != nullptr && c->cachePageSize != 0 && c->fileCount != 0 &&
           (c->physicalKind != 0 || c->ftl != nullptr);
}

inline bool valid_file(const AfsContext *c, int32_t index) {
    return is_mounted(c) && index >= 0 && static_cast<uint32_t>(index) < c->fileCount;
}

inline bool bit_set(const AfsContext *c, uint32_t chunk) {
    return (c->allocationBitmap[chunk / 32] >> (chunk % 32)) & 1u;
}

// True when the chunk is known to hold data (always true without a bitmap).
inline bool chunk_allocated(const AfsContext *c, uint32_t cid) {
    return c->allocationBitmap == nullptr || bit_set(c, cid - c->fileCount);
}

// How many of the `max` chunks from `cid` on are allocated before the first
// one that is not (all of them without a bitmap): chunk_allocated of each in
// turn, a word of the bitmap at a time. The chunks must exist (is_cid).
inline uint32_t allocated_from(const AfsContext *c, uint32_t cid, uint32_t max) {
    if (c->allocationBitmap == nullptr) {
        return max;
    }
    const uint32_t first = cid - c->fileCount;
    uint32_t n = 0;
    while (n < max) {
        const uint32_t bit = first + n;
        const uint32_t shift = bit % 32;
        // Zeros come in from the top, so the ones are counted only up to the
        // word's end.
        const uint32_t clear = ~(c->allocationBitmap[bit / 32] >> shift);
        const uint32_t ones = clear == 0 ? 32 : static_cast<uint32_t>(__builtin_ctz(clear));
        n += ones;
        if (ones < 32 - shift) {
            break;
        }
    }
    return n < max ? n : max;
}

inline const AfsPhysicalHandler *ops(const AfsContext *c) {
    return afs_physical_handlers(c);
}

// Pointer to the byte at volume address `va` inside its cache line. Only
// metadata is reached this way, and never as a range that crosses a line
// (entries are 2-byte aligned, line sizes multiples of 64).
uint32_t volume_ptr(AfsContext *c, uint32_t va, uint8_t **p);

// The FTL's internal "ask again" answers (0xFFFD, 0x9797) never reach the
// caller of a file operation: they mean that no space could be gained.
uint32_t public_status(uint32_t status);

// Every walk starts the count afresh, not only those that begin with a file
// entry: a write walks a chain and then releases part of it from a chunk, and
// counting both walks together would refuse long files in a full volume.
void reset_chain_guard();

// Reads the file entry of `file` (the first link of its chain) with a fresh
// loop guard, as every operation on one file starts.
uint32_t read_file_entry(AfsContext *c, uint32_t file, uint16_t *entry);

// Reads FAT entry k with validation and the loop guard (_afs_get_next_cid).
uint32_t get_next_cid(AfsContext *c, uint32_t k, uint16_t *value);

// The cache line that held the last FAT entry a chain walk read. As long as
// nothing else uses the cache, that line stays the most recently used one,
// so an entry in the same line can be read without looking the line up
// again: the cache ends up exactly as after a lookup per entry.
struct FatCursor {
    uint32_t first = 0;  // volume addresses [first, end) of the line
    uint32_t end = 0;
    uint8_t *line = nullptr;
};

// get_next_cid through `cursor`: the same checks, guard and results.
uint32_t get_next_cid(AfsContext *c, uint32_t k, uint16_t *value, FatCursor *cursor);

uint32_t set_fat_entry(AfsContext *c, uint32_t k, uint16_t value);

// Links the `count` chunks of `cids` in that order: the entry of each names
// the next, the last one's holds `tail`. The same cache state and results
// as set_fat_entry on each in turn.
uint32_t set_chain_entries(AfsContext *c, const uint16_t *cids, size_t count, uint16_t tail);

// One link of a file's chain: the chunk and the value of its entry.
struct Link {
    uint16_t cid;
    uint16_t entry;
};

// Links of a chain in stretches of consecutive chunks: chunks cid .. cid +
// count - 1, the entry of each but the last naming the next one, the last
// one's entry `last`.
struct LinkRun {
    uint16_t cid;
    uint16_t count;
    uint16_t last;
};

// Reads up to `max` links of a chain from chunk `cid` on, in at most
// `maxRuns` stretches, as get_next_cid through `cursor` would one by one, and
// stops after the link that ends the chain (entry <= 64) and before an entry
// in another cache line than the first one's: the flash reads of cache
// misses stay where a walk entry by entry would make them. `*runCount`
// receives the stretches read, also when the status (that of the entry after
// them) is not 0.
uint32_t read_link_runs(AfsContext *c, uint16_t cid, uint32_t max, FatCursor *cursor, LinkRun *runs,
                        uint32_t maxRuns, uint32_t *runCount);

// Reads the file entry and the whole chain behind it. `entry` receives the
// file entry; `chain` the chunks in file order.
uint32_t load_chain(AfsContext *c, uint32_t index, uint16_t *entry, std::vector<Link> *chain);

uint32_t chain_size(const std::vector<Link> &chain);

inline void set_size(AfsContext *c, uint32_t index, uint32_t size) {
    if (c->fileSizeTable != nullptr) {
        c->fileSizeTable[index] = size;
    }
}

// Writes a file entry and flushes it; a failure discards the cache.
uint32_t commit_file_entry(AfsContext *c, uint32_t index, uint16_t value);

}  // namespace quor::afs::file_layer
