#include "afs/Afs.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "afs/AfsCache.h"
#include "afs/AfsFtl.h"
#include "afs/AfsPhysical.h"
#include "afs/AfsPhysicalWin32Spi.h"
#include "common/bytes.h"

namespace {

constexpr uint32_t kMinFiles = 65;
constexpr uint32_t kMaxFiles = 2048;
constexpr uint32_t kMinFlashSize = 32768;
constexpr uint32_t kMaxFlashSize = 2097152;
constexpr uint32_t kMinLines = 2;
constexpr uint32_t kMaxLines = 1000;
// cachePageSize is 16 bits wide: 65536 would be stored as 0, so the largest
// page size accepted anywhere is 65472.
constexpr uint32_t kMaxPageSize = 65472;
// Chunks staged per bulk read: runs of 66-byte records up to 4030 bytes.
constexpr uint32_t kReadBatchChunks = 4030 / kFtlRecordSize;
// FTL slots left free in the dynamic units of a new volume even when every
// FAT page is live, so that a dynamic reclaim always gains space.
constexpr uint32_t kDynamicSlack = 30;
// Bounded retries of the allocator (first refusal 0xFFFD, then a reclaim).
constexpr uint32_t kAllocRetries = 4;

// Consecutive chunk-entry reads: a process-wide guard against looped chains.
uint32_t g_chainReads = 0;

using quor::afs::VolumeGeometry;

// ---- small helpers -----------------------------------------------------------

uint32_t fat_offset(uint32_t k) {
    return kAfsHeaderSize + 2u * k;
}

bool is_cid(const AfsContext *c, uint32_t v) {
    return v >= c->fileCount && v < uint32_t{c->fileCount} + c->chunkCount;
}

uint32_t chunk_va(const AfsContext *c, uint32_t cid) {
    return c->dynamicAreaSize + kAfsChunkSize * (cid - c->fileCount);
}

bool is_mounted(const AfsContext *c) {
    return c != nullptr && c->cacheDescriptors != nullptr && c->cacheData != nullptr &&
           c->handlers != nullptr && c->cachePageSize != 0 && c->fileCount != 0 &&
           (c->physicalKind != 0 || c->ftl != nullptr);
}

bool valid_file(const AfsContext *c, int32_t index) {
    return is_mounted(c) && index >= 0 && static_cast<uint32_t>(index) < c->fileCount;
}

bool bit_set(const AfsContext *c, uint32_t chunk) {
    return (c->allocationBitmap[chunk / 32] >> (chunk % 32)) & 1u;
}

// True when the chunk is known to hold data (always true without a bitmap).
bool chunk_allocated(const AfsContext *c, uint32_t cid) {
    return c->allocationBitmap == nullptr || bit_set(c, cid - c->fileCount);
}

const AfsPhysicalHandler *ops(const AfsContext *c) {
    return afs_physical_handlers(c);
}

// Pointer to the byte at volume address `va` inside its cache line. Only
// metadata is reached this way, and never as a range that crosses a line
// (entries are 2-byte aligned, line sizes multiples of 64).
uint32_t volume_ptr(AfsContext *c, uint32_t va, uint8_t **p) {
    const uint32_t page = va / c->cachePageSize;
    if (page > 0xFFFF) {
        return kAfsIoError;
    }
    uint8_t *line = nullptr;
    const uint32_t status = cache_ptr(c, static_cast<uint16_t>(page), &line);
    if (status != 0) {
        return status;
    }
    *p = line + va % c->cachePageSize;
    return 0;
}

// Every walk starts the count afresh, not only those that begin with a file
// entry: a write walks a chain and then releases part of it from a chunk, and
// counting both walks together would refuse long files in a full volume.
// The FTL's internal "ask again" answers (0xFFFD, 0x9797) never reach the
// caller of a file operation: they mean that no space could be gained.
uint32_t public_status(uint32_t status) {
    return (status == kFtlOutOfSlots || status == kFtlNoGain) ? kAfsNoSpace : status;
}

void reset_chain_guard() {
    g_chainReads = 0;
}

uint32_t get_next_cid(AfsContext *c, uint32_t k, uint16_t *value);

// Reads the file entry of `file` (the first link of its chain) with a fresh
// loop guard, as every operation on one file starts.
uint32_t read_file_entry(AfsContext *c, uint32_t file, uint16_t *entry) {
    reset_chain_guard();
    return get_next_cid(c, file, entry);
}

// Reads FAT entry k with validation and the loop guard (_afs_get_next_cid).
uint32_t get_next_cid(AfsContext *c, uint32_t k, uint16_t *value) {
    const uint32_t total = uint32_t{c->fileCount} + c->chunkCount;
    if (k >= total) {
        return kAfsIoError;
    }
    if (k < c->fileCount) {
        g_chainReads = 0;
    } else {
        if (g_chainReads >= c->chunkCount) {
            return kAfsIoError;
        }
        ++g_chainReads;
    }
    uint8_t *p = nullptr;
    const uint32_t status = volume_ptr(c, fat_offset(k), &p);
    if (status != 0) {
        return status;
    }
    const uint16_t v = quor::load_le16(p);
    const bool inRange =
        v < total && (v == 0 || v >= c->fileCount || (k >= c->fileCount && v <= kAfsChunkSize));
    const bool special =
        v >= total && k < c->fileCount && (v == kAfsEntryZombie || v == kAfsEntryEmpty);
    if (!inRange && !special) {
        return kAfsIoError;
    }
    *value = v;
    return 0;
}

uint32_t set_fat_entry(AfsContext *c, uint32_t k, uint16_t value) {
    uint8_t *p = nullptr;
    const uint32_t status = volume_ptr(c, fat_offset(k), &p);
    if (status != 0) {
        return status;
    }
    quor::store_le16(p, value);
    cache_line_written(c, p);
    return 0;
}

// One link of a file's chain: the chunk and the value of its entry.
struct Link {
    uint16_t cid;
    uint16_t entry;
};

// Reads the file entry and the whole chain behind it. `entry` receives the
// file entry; `chain` the chunks in file order.
uint32_t load_chain(AfsContext *c, uint32_t index, uint16_t *entry, std::vector<Link> *chain) {
    uint32_t status = read_file_entry(c, index, entry);
    if (status != 0) {
        return status;
    }
    uint16_t cid = *entry;
    while (is_cid(c, cid)) {
        uint16_t next = 0;
        status = get_next_cid(c, cid, &next);
        if (status != 0) {
            return status;
        }
        try {
            chain->push_back(Link{cid, next});
        } catch (const std::bad_alloc &) {
            return kAfsNoMemory;
        }
        if (next <= kAfsChunkSize) {
            break;
        }
        cid = next;
    }
    return 0;
}

uint32_t chain_size(const std::vector<Link> &chain) {
    if (chain.empty()) {
        return 0;
    }
    return kAfsChunkSize * static_cast<uint32_t>(chain.size() - 1) + chain.back().entry;
}

// ---- trimming and release -------------------------------------------------------

uint32_t trim_va(AfsContext *c, uint32_t va) {
    return ops(c)->trim_page(c, va, kAfsChunkSize, c->flashOffset);
}

// True when no chunk whose entry lies in the cache page at byte offset L is
// allocated.
bool fat_page_unused(const AfsContext *c, uint32_t L) {
    const uint32_t first = (L - fat_offset(c->fileCount)) / 2;
    const uint32_t last = std::min<uint32_t>(first + c->cachePageSize / 2, c->chunkCount);
    for (uint32_t j = first; j < last; ++j) {
        if (bit_set(c, j)) {
            return false;
        }
    }
    return true;
}

// _afs_trim_fat_page_if_needed: when the walk leaves a chunk-entry page
// behind whose chunks are all free, that page is trimmed in the FTL.
void trim_fat_page_if_needed(AfsContext *c, uint32_t x) {
    if (x > c->chunkCount || c->allocationBitmap == nullptr) {
        return;
    }
    const uint32_t page = c->cachePageSize;
    const uint32_t P = fat_offset(c->fileCount + x) / page * page;
    if (P == c->lastFatPageOffset) {
        return;
    }
    const uint32_t L = c->lastFatPageOffset;
    if (L >= fat_offset(c->fileCount) && L + page < c->dynamicAreaSize && fat_page_unused(c, L)) {
        for (uint32_t sub = 0; sub < page; sub += kFtlPageSize) {
            trim_va(c, L + sub);
        }
    }
    c->lastFatPageOffset = P;
}

// _afs_release_resources: trims `count` chunks, given as a list or followed
// through the FAT from `firstCid`, with the FAT page trim check on each.
uint32_t release_resources(AfsContext *c, uint16_t firstCid, uint32_t count, const uint16_t *list,
                           bool invalidate) {
    if (invalidate) {
        cache_invalidate(c);
    }
    if (count != 0 && is_cid(c, firstCid)) {
        reset_chain_guard();
        uint16_t cid = firstCid;
        for (uint32_t done = 0;;) {
            trim_va(c, chunk_va(c, cid));
            uint16_t next = 0;
            if (list != nullptr) {
                next = (done + 1 < count) ? list[done + 1] : 0;
            } else {
                const uint32_t status = get_next_cid(c, cid, &next);
                if (status != 0) {
                    return status;
                }
            }
            trim_fat_page_if_needed(c, cid - c->fileCount);
            ++done;
            if (done >= count || !is_cid(c, next)) {
                break;
            }
            cid = next;
        }
    }
    trim_fat_page_if_needed(c, c->chunkCount);
    return 0;
}

// ---- allocation ----------------------------------------------------------------

// Asks the FTL for a chunk; ids outside the volume's chunk range are never
// handed to a file (the FTL would keep them free), so they are skipped.
uint32_t allocate_from_ftl(AfsContext *c, uint16_t *cid) {
    const uint32_t attempts = 2u * c->chunkCount + 2u;
    for (uint32_t i = 0; i < attempts; ++i) {
        uint16_t id = 0;
        const uint32_t status = afs_physical_ftl_allocate_page(c, &id);
        if (status != 0) {
            return status;
        }
        if (is_cid(c, id)) {
            *cid = id;
            return 0;
        }
    }
    return kAfsNoSpace;
}

// _afs_allocate_chunk.
uint32_t allocate_chunk(AfsContext *c, uint16_t *cid) {
    if (c->ftlAllocation == 1) {
        return allocate_from_ftl(c, cid);
    }
    // Without a bitmap no chunk can be shown to be free.
    if (c->chunkCount == 0 || c->allocationBitmap == nullptr) {
        return kAfsNoSpace;
    }
    uint32_t j = c->nextChunk < c->chunkCount ? c->nextChunk : 0;
    for (uint32_t examined = 0; examined < c->chunkCount; ++examined) {
        if (!bit_set(c, j)) {
            c->allocationBitmap[j / 32] |= 1u << (j % 32);
            *cid = static_cast<uint16_t>(c->fileCount + j);
            c->nextChunk = (j + 1 < c->chunkCount) ? j + 1 : 0;
            return 0;
        }
        j = (j + 1 < c->chunkCount) ? j + 1 : 0;
    }
    return kAfsNoSpace;
}

// Allocation as the write path needs it: the FTL's first refusal (0xFFFD)
// is answered by a flush, so that the metadata pending in the cache is on
// flash before the reclaim that the next request triggers (the chunks handed
// out so far were written when they were filled).
uint32_t allocate_for_write(AfsContext *c, uint16_t *cid) {
    for (uint32_t i = 0; i < kAllocRetries; ++i) {
        const uint32_t status = allocate_chunk(c, cid);
        // A reclaim that gained nothing is asked again like a first refusal:
        // the next request reclaims another unit or reports no space.
        if (status != kFtlOutOfSlots && status != kFtlNoGain) {
            return status;
        }
        const uint32_t flushStatus = cache_flush(c);
        if (flushStatus != 0) {
            return flushStatus;
        }
    }
    return kAfsNoSpace;
}

// ---- write --------------------------------------------------------------------

struct WritePlan {
    uint32_t offset;
    uint32_t length;
    uint64_t end;  // offset + length
    bool truncate;
    uint32_t oldSize;
    uint32_t firstPos;  // first chunk position that is rewritten
    uint32_t newCount;  // new chunks written from firstPos on
};

// Every write, truncating or not and of any length, rewrites the chunk
// positions from the first byte that changes (the offset, or the old end when
// the write starts past it) to the end of the write. A truncating write that
// starts past the end therefore zero-fills up to its end, so that the chain
// always holds exactly the size the file reports.
WritePlan make_plan(uint32_t offset, uint32_t length, bool truncate, uint32_t oldSize) {
    WritePlan plan{};
    plan.offset = offset;
    plan.length = length;
    plan.end = uint64_t{offset} + length;
    plan.truncate = truncate;
    plan.oldSize = oldSize;
    plan.firstPos = std::min(offset, oldSize) / kAfsChunkSize;
    const uint64_t keptBytes = uint64_t{plan.firstPos} * kAfsChunkSize;
    plan.newCount =
        plan.end > keptBytes
            ? static_cast<uint32_t>((plan.end + kAfsChunkSize - 1) / kAfsChunkSize) - plan.firstPos
            : 0;
    return plan;
}

// Builds the 64 bytes of the new chunk at position `pos`: the caller's data
// where the write covers it, old bytes that stay part of the file, else 0.
uint32_t build_chunk(AfsContext *c, const WritePlan &plan, const std::vector<Link> &old,
                     uint32_t pos, const uint8_t *data, uint8_t out[kAfsChunkSize]) {
    std::memset(out, 0, kAfsChunkSize);
    const uint64_t base = uint64_t{pos} * kAfsChunkSize;
    const uint64_t oldLimit =
        plan.truncate ? std::min<uint64_t>(plan.oldSize, plan.offset) : plan.oldSize;
    if (pos < old.size() && base < oldLimit) {
        uint8_t oldBytes[kAfsChunkSize];
        const uint32_t status = ops(c)->read_page(c, chunk_va(c, old[pos].cid), kAfsChunkSize,
                                                  oldBytes, c->flashOffset);
        if (status != 0) {
            return status;
        }
        std::memcpy(out, oldBytes,
                    static_cast<size_t>(std::min<uint64_t>(kAfsChunkSize, oldLimit - base)));
    }
    const uint64_t from = std::max<uint64_t>(plan.offset, base);
    const uint64_t to = std::min<uint64_t>(plan.end, base + kAfsChunkSize);
    if (from < to) {
        std::memcpy(out + (from - base), data + (from - plan.offset),
                    static_cast<size_t>(to - from));
    }
    return 0;
}

// Allocates, fills and writes the new chunks; on failure the chunks obtained
// so far are released with the cache discarded. Chunks bypass the cache (it
// holds only the dynamic area), so they reach the flash before the entries
// that link them.
uint32_t write_new_chunks(AfsContext *c, const WritePlan &plan, const std::vector<Link> &old,
                          const uint8_t *data, std::vector<uint16_t> *cids) {
    for (uint32_t i = 0; i < plan.newCount; ++i) {
        uint16_t cid = 0;
        uint8_t chunk[kAfsChunkSize];
        uint32_t status = allocate_for_write(c, &cid);
        if (status == 0) {
            cids->push_back(cid);
            status = build_chunk(c, plan, old, plan.firstPos + i, data, chunk);
        }
        if (status == 0) {
            status = ops(c)->write_page(c, chunk_va(c, cid), kAfsChunkSize, chunk, c->flashOffset);
        }
        if (status != 0) {
            release_resources(c, cids->empty() ? 0 : (*cids)[0],
                              static_cast<uint32_t>(cids->size()), cids->data(), true);
            return status;
        }
    }
    return 0;
}

// Value of the last new chunk's entry (or of the predecessor when no chunk
// is new): the byte count of the new end, or, without truncation, whatever
// keeps the rest of the old chain or the old, longer end.
uint16_t tail_value(const WritePlan &plan, const std::vector<Link> &old) {
    const uint32_t endInChunk = static_cast<uint32_t>(plan.end % kAfsChunkSize);
    const uint16_t count = static_cast<uint16_t>(endInChunk == 0 ? kAfsChunkSize : endInChunk);
    if (plan.truncate || plan.newCount == 0) {
        return count;
    }
    const uint32_t lastPos = plan.firstPos + plan.newCount - 1;
    if (lastPos < old.size()) {
        return std::max(count, old[lastPos].entry);
    }
    return count;
}

uint32_t flush_or_discard(AfsContext *c, const std::vector<uint16_t> &cids) {
    const uint32_t status = cache_flush(c);
    if (status != 0) {
        release_resources(c, cids.empty() ? 0 : cids[0], static_cast<uint32_t>(cids.size()),
                          cids.data(), true);
    }
    return status;
}

// Links the new chunks and switches the file to them. The new chain is
// flushed before the switching entry is written, so that a power loss
// leaves either the old file or the complete new one, whatever the cache's
// line size and eviction order.
uint32_t link_new_chunks(AfsContext *c, uint32_t index, const WritePlan &plan,
                         const std::vector<Link> &old, const std::vector<uint16_t> &cids) {
    const uint16_t tail = tail_value(plan, old);
    for (size_t i = 0; i < cids.size(); ++i) {
        const uint16_t value = (i + 1 < cids.size()) ? cids[i + 1] : tail;
        const uint32_t status = set_fat_entry(c, cids[i], value);
        if (status != 0) {
            release_resources(c, cids[0], static_cast<uint32_t>(cids.size()), cids.data(), true);
            return status;
        }
    }
    uint32_t status = flush_or_discard(c, cids);
    if (status != 0) {
        return status;
    }
    const uint32_t predecessor = plan.firstPos == 0 ? index : old[plan.firstPos - 1].cid;
    uint16_t value = tail;
    if (!cids.empty()) {
        value = cids[0];
    } else if (predecessor == index) {
        value = kAfsEntryEmpty;  // a file entry never holds a byte count
    }
    status = set_fat_entry(c, predecessor, value);
    if (status != 0) {
        release_resources(c, cids.empty() ? 0 : cids[0], static_cast<uint32_t>(cids.size()),
                          cids.data(), true);
        return status;
    }
    return flush_or_discard(c, cids);
}

void set_size(AfsContext *c, uint32_t index, uint32_t size) {
    if (c->fileSizeTable != nullptr) {
        c->fileSizeTable[index] = size;
    }
}

// Trims the old chunks from position `from` on, `count` of them.
uint32_t release_old(AfsContext *c, const std::vector<Link> &old, uint32_t from, uint32_t count) {
    if (count == 0 || from >= old.size()) {
        return release_resources(c, 0, 0, nullptr, false);
    }
    std::vector<uint16_t> list;
    try {
        list.reserve(count);
    } catch (const std::bad_alloc &) {
        return kAfsNoMemory;
    }
    for (uint32_t i = 0; i < count && from + i < old.size(); ++i) {
        list.push_back(old[from + i].cid);
    }
    return release_resources(c, list[0], static_cast<uint32_t>(list.size()), list.data(), false);
}

uint32_t copy_on_write(AfsContext *c, uint32_t index, const std::vector<Link> &old,
                       const WritePlan &plan, const uint8_t *data) {
    std::vector<uint16_t> cids;
    try {
        cids.reserve(plan.newCount);
    } catch (const std::bad_alloc &) {
        return kAfsNoMemory;
    }
    uint32_t status = write_new_chunks(c, plan, old, data, &cids);
    if (status != 0) {
        return status;
    }
    status = link_new_chunks(c, index, plan, old, cids);
    if (status != 0) {
        return status;
    }
    const uint32_t newSize = plan.truncate
                                 ? static_cast<uint32_t>(plan.end)
                                 : std::max(static_cast<uint32_t>(plan.end), plan.oldSize);
    set_size(c, index, newSize);
    const uint32_t oldCount = static_cast<uint32_t>(old.size());
    uint32_t replaced = 0;
    if (oldCount > plan.firstPos) {
        replaced = plan.truncate ? oldCount - plan.firstPos
                                 : std::min(plan.newCount, oldCount - plan.firstPos);
    }
    return release_old(c, old, plan.firstPos, replaced);
}

// Writes a file entry and flushes it; a failure discards the cache.
uint32_t commit_file_entry(AfsContext *c, uint32_t index, uint16_t value) {
    uint32_t status = set_fat_entry(c, index, value);
    if (status == 0) {
        status = cache_flush(c);
    }
    if (status != 0) {
        cache_invalidate(c);
    }
    return status;
}

// A zero-length write without truncation: an existing chain is left alone,
// any other slot becomes an existing empty file.
uint32_t touch_file(AfsContext *c, uint32_t index, uint16_t entry) {
    if (is_cid(c, entry)) {
        return cache_flush(c);
    }
    const uint32_t status = commit_file_entry(c, index, kAfsEntryEmpty);
    if (status == 0) {
        set_size(c, index, 0);
    }
    return status;
}

// A truncating zero-length write at offset 0: the file becomes empty.
uint32_t truncate_to_empty(AfsContext *c, uint32_t index, const std::vector<Link> &old) {
    const uint32_t status = commit_file_entry(c, index, kAfsEntryEmpty);
    if (status != 0) {
        return status;
    }
    set_size(c, index, 0);
    return release_old(c, old, 0, static_cast<uint32_t>(old.size()));
}

// ---- read ---------------------------------------------------------------------

// A run of chunks with consecutive ids staged for one bulk read.
struct ReadRun {
    uint16_t firstCid = 0;
    uint32_t count = 0;
    uint64_t firstPos = 0;  // file position of the first chunk
    uint32_t lastUsed = 0;  // used bytes of the last chunk of the run
};

struct ReadTarget {
    uint8_t *out;
    uint64_t offset;
    uint64_t end;        // offset + requested length
    uint64_t delivered;  // file position up to which bytes were copied
};

uint32_t read_run(AfsContext *c, const ReadRun &run, uint8_t *work, ReadTarget *t) {
    if (run.count == 0) {
        return 0;
    }
    const uint32_t status =
        afs_physical_ftl_read_data_pages(c, work, chunk_va(c, run.firstCid), run.count);
    if (status != 0) {
        return status;
    }
    for (uint32_t i = 0; i < run.count; ++i) {
        const uint64_t pos = run.firstPos + uint64_t{kAfsChunkSize} * i;
        const uint32_t used = (i + 1 == run.count) ? run.lastUsed : kAfsChunkSize;
        const uint64_t from = std::max(pos, t->offset);
        const uint64_t to = std::min(pos + used, t->end);
        if (from < to) {
            std::memcpy(t->out + (from - t->offset), work + kAfsChunkSize * i + (from - pos),
                        static_cast<size_t>(to - from));
            t->delivered = to;
        }
    }
    return 0;
}

uint32_t read_chain(AfsContext *c, uint16_t first, uint8_t *work, ReadTarget *t) {
    ReadRun run;
    uint64_t pos = 0;
    uint16_t cid = first;
    reset_chain_guard();
    while (is_cid(c, cid) && pos < t->end) {
        uint16_t next = 0;
        uint32_t status = get_next_cid(c, cid, &next);
        if (status != 0) {
            return status;
        }
        const uint32_t used = next > kAfsChunkSize ? kAfsChunkSize : next;
        if (pos + used > t->offset) {
            const bool extend = run.count != 0 && cid == run.firstCid + run.count &&
                                run.count < kReadBatchChunks && chunk_allocated(c, cid) &&
                                chunk_allocated(c, run.firstCid) && run.lastUsed == kAfsChunkSize;
            if (!extend) {
                status = read_run(c, run, work, t);
                if (status != 0) {
                    return status;
                }
                run = ReadRun{cid, 0, pos, 0};
            }
            ++run.count;
            run.lastUsed = used;
        }
        pos += used;
        if (next <= kAfsChunkSize) {
            break;
        }
        cid = next;
    }
    return read_run(c, run, work, t);
}

// ---- mount --------------------------------------------------------------------

void set_geometry(AfsContext *c, const VolumeGeometry &g) {
    c->fileCount = static_cast<uint16_t>(g.fileCount);
    c->chunkCount = static_cast<uint16_t>(g.chunkCount);
    c->dynamicAreaSize = g.dynamicAreaSize;
    c->volumeSize = g.volumeSize;
}

// Mounts the FTL afresh with the context's current geometry.
uint32_t mount_ftl(AfsContext *c, uint32_t options) {
    afs_physical_ftl_release(c);
    return afs_physical_ftl_init(c, c->flashSize, kFtlMountCreate | options);
}

// Formats the FTL for the context's current geometry and mounts it. A mount
// attempt with that geometry comes first: the format takes the unit count
// and the first reserved unit from it.
uint32_t format_ftl(AfsContext *c, bool erase) {
    mount_ftl(c, 0);
    if (c->ftl == nullptr) {
        return kAfsNoMemory;
    }
    const uint32_t status = afs_physical_ftl_format(c, erase ? 1 : 0);
    if (status != 0) {
        return status;
    }
    return afs_physical_ftl_init(c, c->flashSize, 0);
}

// New volume header in FTL mode. The FTL's own sizing rule gives the most
// reserved units; chunkCount is exactly 122 per reserved unit and the header
// records volumeSize = dynamicAreaSize + 7808 * reserved units, so that the
// geometry recomputed from the header at the next mount is the same one, the
// reserved units, the dynamic units and the spare all fit the partition, and
// no chunk id beyond the reserved units can exist.
void apply_new_volume_geometry(AfsContext *c, uint32_t maxFiles) {
    const uint32_t dataVas = afs_physical_ftl_get_data_vas(c);
    set_geometry(c, quor::afs::new_volume_geometry(c->flashSize, maxFiles, dataVas));
}

// True when the mounted FTL's reserved units carry exactly the runs that the
// context's geometry needs (one unit per 122-chunk group, none missing).
bool ftl_layout_matches(const AfsContext *c) {
    const FtlControl *f = quor::afs::ftl_control(c);
    if (f == nullptr || f->euInfo == nullptr) {
        return false;
    }
    const uint32_t reserved = (c->volumeSize - c->dynamicAreaSize) / kFtlReservedBytesPerUnit;
    const uint32_t base0 = c->dynamicAreaSize / kFtlPageSize;
    bool seen[256] = {};  // unit counts are 8-bit, so at most 255 reserved groups
    uint32_t found = 0;
    for (uint32_t i = 0; i < f->unitCount; ++i) {
        const uint32_t base = f->euInfo[i].reservedBase;
        if (i == f->spareUnit || base == 0) {
            continue;
        }
        if (base < base0 || (base - base0) % kFtlReservedSlots != 0) {
            return false;
        }
        const uint32_t group = (base - base0) / kFtlReservedSlots;
        if (group >= reserved || group >= 256 || seen[group]) {
            return false;
        }
        seen[group] = true;
        ++found;
    }
    return found == reserved;
}

void write_header_bytes(uint8_t *p, uint32_t param1, uint32_t param2, uint32_t volumeSize,
                        uint32_t fileCount) {
    quor::store_le32(p, kAfsVolumeMagic);
    p[4] = static_cast<uint8_t>(param1);
    p[5] = static_cast<uint8_t>(param2);
    p[6] = static_cast<uint8_t>((param2 >> 8) & 0x0F);
    p[7] = 0;
    quor::store_le32(p + 8, volumeSize);
    quor::store_le16(p + 12, static_cast<uint16_t>(fileCount));
}

// Writes a new header into page 0 (the rest of the page zeroed) and flushes.
uint32_t write_new_header(AfsContext *c, uint32_t param1, uint32_t param2, uint8_t *header) {
    uint8_t *p = nullptr;
    uint32_t status = volume_ptr(c, 0, &p);
    if (status != 0) {
        return status;
    }
    const uint32_t zeroed = std::min<uint32_t>(c->cachePageSize, c->dynamicAreaSize);
    std::memset(p, 0, zeroed);
    write_header_bytes(p, param1, param2, c->volumeSize, c->fileCount);
    quor::afs::cache_range_written(c, p, zeroed);
    std::memcpy(header, p, kAfsHeaderSize);
    status = cache_flush(c);
    if (status != 0) {
        cache_invalidate(c);
    }
    return status;
}

// Volume header absent: a new one may be written when the flags allow.
uint32_t create_volume(AfsContext *c, uint32_t flags, uint32_t maxFiles, bool formatted,
                       uint32_t param1, uint32_t param2, uint8_t *header) {
    if ((flags & (kAfsNewHeader | kAfsForceFormat)) == 0) {
        return kAfsIoError;
    }
    if (!formatted) {
        apply_new_volume_geometry(c, maxFiles);
        uint32_t status = 0;
        if ((flags & kAfsMountFtl) != 0 && (flags & (kAfsAllowFormat | kAfsEraseFormat)) != 0) {
            // A partition without a volume header holds no files: it is
            // formatted for the new geometry rather than trusted.
            status = format_ftl(c, (flags & kAfsEraseFormat) != 0);
        } else {
            status = mount_ftl(c, 0);
            if (status == 0 && !ftl_layout_matches(c)) {
                status = kAfsIoError;
            }
        }
        if (status != 0) {
            return status;
        }
        cache_invalidate(c);
    }
    return write_new_header(c, param1, param2, header);
}

// Volume header present: take its geometry and remount the FTL with it.
uint32_t open_volume(AfsContext *c, const uint8_t *header) {
    VolumeGeometry g{};
    if (!quor::afs::geometry_from_header(c->flashSize, quor::load_le16(header + 12),
                                         quor::load_le32(header + 8), &g)) {
        return kAfsIoError;
    }
    set_geometry(c, g);
    const uint32_t status = mount_ftl(c, 0);
    cache_invalidate(c);
    return status;
}

// Mount scan of one file entry: clears zombies, marks the chain's chunks in
// the bitmap and records the size.
uint32_t scan_file(AfsContext *c, uint32_t index) {
    uint16_t entry = 0;
    uint32_t status = read_file_entry(c, index, &entry);
    if (status != 0) {
        return status;
    }
    uint32_t size = 0xFFFFFFFF;
    if (entry == kAfsEntryZombie) {
        status = set_fat_entry(c, index, kAfsEntryNone);
    } else if (entry == kAfsEntryEmpty) {
        size = 0;
    } else if (entry != kAfsEntryNone) {
        size = 0;
        for (uint16_t cid = entry; is_cid(c, cid);) {
            if (c->allocationBitmap != nullptr) {
                const uint32_t j = cid - c->fileCount;
                // A chunk on two chains (or twice on one) is a damaged FAT.
                if (bit_set(c, j)) {
                    return kAfsIoError;
                }
                c->allocationBitmap[j / 32] |= 1u << (j % 32);
            }
            uint16_t next = 0;
            status = get_next_cid(c, cid, &next);
            if (status != 0) {
                return status;
            }
            size += std::min<uint32_t>(next, kAfsChunkSize);
            cid = next;
        }
    }
    set_size(c, index, size);
    return status;
}

uint32_t build_allocation_state(AfsContext *c, uint32_t flags) {
    if ((flags & kAfsKeepSizeTable) != 0) {
        c->fileSizeTable = static_cast<uint32_t *>(std::malloc(4u * c->fileCount));
        if (c->fileSizeTable == nullptr) {
            return kAfsNoMemory;
        }
        std::memset(c->fileSizeTable, 0xFF, 4u * c->fileCount);
    }
    if (c->noAllocationBitmap == 0) {
        const size_t words = (size_t{c->chunkCount} + 31) / 32;
        c->allocationBitmap = static_cast<uint32_t *>(std::calloc(words == 0 ? 1 : words, 4));
        if (c->allocationBitmap == nullptr) {
            return kAfsNoMemory;
        }
    } else if (c->fileSizeTable == nullptr) {
        return 0;
    }
    for (uint32_t i = 0; i < c->fileCount; ++i) {
        const uint32_t status = scan_file(c, i);
        if (status != 0) {
            return status;
        }
    }
    if (c->physicalKind == 0 && c->noAllocationBitmap == 0) {
        c->ftlAllocation = 1;
        const uint32_t status = afs_physical_ftl_set_allocation_map(c);
        if (status != 0) {
            return status;
        }
        for (uint32_t x = 0; x <= c->chunkCount; ++x) {
            if (x == c->chunkCount || !bit_set(c, x)) {
                trim_fat_page_if_needed(c, x);
            }
        }
    }
    return 0;
}

void preload_cache(AfsContext *c, uint32_t lines) {
    for (uint32_t t = 0; t < lines && t <= 0xFFFF; ++t) {
        // Only pages inside the volume are loaded.
        if (uint64_t{t} * c->cachePageSize >= c->volumeSize) {
            break;
        }
        uint8_t *p = nullptr;
        cache_ptr(c, static_cast<uint16_t>(t), &p);
    }
}

// Drops what an earlier mount of this context allocated (the FTL state is
// replaced by the next FTL mount). Pending cache lines can only be zombie
// resets of the earlier mount scan, which the new scan repeats.
void drop_previous_mount(AfsContext *c) {
    quor::afs::cache_release(c);
    std::free(c->allocationBitmap);
    std::free(c->fileSizeTable);
    c->allocationBitmap = nullptr;
    c->fileSizeTable = nullptr;
}

bool init_args_valid(uint32_t pageSize, uint32_t cacheLines, uint32_t maxFiles,
                     uint32_t flashOffset, uint32_t flashSize, uint32_t flags) {
    return pageSize >= kAfsChunkSize && pageSize % kAfsChunkSize == 0 && pageSize <= kMaxPageSize &&
           cacheLines >= kMinLines && cacheLines <= kMaxLines && maxFiles >= kMinFiles &&
           maxFiles <= kMaxFiles && flashSize >= kMinFlashSize && flashSize <= kMaxFlashSize &&
           uint64_t{flashOffset} + flashSize <= 0x100000000ull &&
           (flags & (kAfsMustBeClear | kAfsFtlMode)) == kAfsFtlMode;
}

// Step 3 of the mount: mount the FTL, formatting it when asked or allowed.
uint32_t mount_or_format_ftl(AfsContext *c, uint32_t flags, uint32_t maxFiles, bool *formatted) {
    if ((flags & kAfsMountFtl) == 0) {
        return c->ftl != nullptr ? 0 : kAfsIoError;
    }
    const uint32_t status = mount_ftl(c, (flags & kAfsInitDriver) != 0 ? kFtlMountInitDriver : 0);
    if (status == 0 && (flags & kAfsForceFormat) == 0) {
        return 0;
    }
    if ((flags & (kAfsAllowFormat | kAfsEraseFormat)) == 0) {
        return kAfsIoError;
    }
    if ((flags & (kAfsNewHeader | kAfsForceFormat)) != 0) {
        apply_new_volume_geometry(c, maxFiles);
    }
    *formatted = true;
    return format_ftl(c, (flags & kAfsEraseFormat) != 0);
}

}  // namespace

namespace quor::afs {

uint32_t dynamic_area_size(uint32_t fileCount, uint32_t chunkCount) {
    return ((fileCount + chunkCount + 39) * 2 - 1) & ~uint32_t{63};
}

VolumeGeometry new_volume_geometry(uint32_t flashSize, uint32_t fileCount, uint32_t dataVas) {
    const uint32_t units = std::min<uint32_t>(flashSize / kFtlUnitSize, 255);
    uint32_t reserved = dataVas / kFtlReservedBytesPerUnit;
    if (units < 2) {
        reserved = 0;
    } else if (reserved > units - 2) {
        reserved = units - 2;
    }
    // Fewer reserved units until the dynamic area fits the dynamic units
    // (all units but the reserved ones and the spare) with slack to spare.
    while (reserved > 0) {
        const uint32_t dynamicPages =
            dynamic_area_size(fileCount, reserved * kFtlReservedSlots) / kFtlPageSize;
        if (dynamicPages + kDynamicSlack <= (units - 1 - reserved) * kFtlDynamicSlots) {
            break;
        }
        --reserved;
    }
    VolumeGeometry g{};
    g.fileCount = fileCount;
    g.chunkCount = reserved * kFtlReservedSlots;
    g.dynamicAreaSize = dynamic_area_size(fileCount, g.chunkCount);
    g.volumeSize = g.dynamicAreaSize + reserved * kFtlReservedBytesPerUnit;
    return g;
}

bool geometry_from_header(uint32_t flashSize, uint32_t fileCount, uint32_t volumeSize,
                          VolumeGeometry *out) {
    const uint32_t units = flashSize / kFtlUnitSize;
    if (fileCount < kMinFiles || fileCount > kMaxFiles || units < 2 || units > 255 ||
        volumeSize < fat_offset(fileCount)) {
        return false;
    }
    const uint32_t chunks = (volumeSize - fat_offset(fileCount)) / (kAfsChunkSize + 2);
    if (chunks > 0xFFFF || fileCount + chunks > kAfsEntryZombie) {
        return false;
    }
    const uint32_t dynamic = dynamic_area_size(fileCount, chunks);
    if (volumeSize < dynamic) {
        return false;
    }
    const uint32_t reserved = (volumeSize - dynamic) / kFtlReservedBytesPerUnit;
    // At least one dynamic unit and the spare, and a home for every chunk.
    if (reserved + 2 > units || chunks > reserved * kFtlReservedSlots) {
        return false;
    }
    *out = VolumeGeometry{fileCount, chunks, dynamic, volumeSize};
    return true;
}

}  // namespace quor::afs

// ---- exported entries -------------------------------------------------------------

namespace {

// afs_init after the argument checks.
uint32_t mount_volume(AfsContext *context, void *flashBase, uint32_t pageSize, uint32_t cacheLines,
                      uint32_t maxFiles, uint32_t flashOffset, uint32_t flashSize, uint32_t flags,
                      uint32_t headerParam1, uint32_t headerParam2) {
    if ((flags & kAfsZeroContext) != 0) {
        std::memset(context, 0, sizeof(*context));
    } else {
        drop_previous_mount(context);
    }
    context->cachePageSize = static_cast<uint16_t>(pageSize);
    context->ftlAllocation = 0;
    context->noAllocationBitmap = (flags & kAfsNoBitmap) != 0 ? 1 : 0;
    afs_physical_attach_handlers(context);
    context->flashImage = flashBase;
    context->physicalKind = 0;
    context->flashOffset = flashOffset;
    context->flashSize = flashSize;
    context->lastFatPageOffset = 0;
    context->fileCount = 0;
    // Provisional geometry: the whole partition is dynamic until the header is read.
    context->dynamicAreaSize = flashSize;
    context->volumeSize = flashSize;
    context->chunkCount = static_cast<uint16_t>(std::min<uint32_t>(flashSize / 64, 0xFFFF));

    bool formatted = false;
    uint32_t status = mount_or_format_ftl(context, flags, maxFiles, &formatted);
    if (status != 0) {
        return status;
    }
    status = cache_init(context, pageSize, static_cast<uint16_t>(cacheLines));
    uint8_t *page = nullptr;
    if (status == 0) {
        status = cache_ptr(context, 0, &page);
    }
    if (status != 0) {
        return status;
    }
    context->nextChunk = 0;
    uint8_t header[kAfsHeaderSize];
    std::memcpy(header, page, kAfsHeaderSize);
    if (quor::load_le32(header) == kAfsVolumeMagic) {
        status = open_volume(context, header);
    } else {
        status =
            create_volume(context, flags, maxFiles, formatted, headerParam1, headerParam2, header);
    }
    if (status != 0) {
        return status;
    }
    context->fileCount = quor::load_le16(header + 12);
    context->volumeAttributes = quor::load_le32(header + 4);
    status = build_allocation_state(context, flags);
    if (status != 0) {
        return status;
    }
    if ((flags & kAfsPreloadCache) != 0) {
        preload_cache(context, cacheLines);
    }
    return 0;
}

}  // namespace

extern "C" uint32_t afs_init(AfsContext *context, void *flashBase, uint32_t pageSize,
                             uint32_t cacheLines, uint32_t maxFiles, uint32_t flashOffset,
                             uint32_t flashSize, uint32_t flags, uint32_t headerParam1,
                             uint32_t headerParam2) {
    if (context == nullptr ||
        !init_args_valid(pageSize, cacheLines, maxFiles, flashOffset, flashSize, flags)) {
        return kAfsInvalid;
    }
    const uint32_t status = mount_volume(context, flashBase, pageSize, cacheLines, maxFiles,
                                         flashOffset, flashSize, flags, headerParam1, headerParam2);
    if (status != 0) {
        // A volume that did not mount is left without file slots, so that
        // every file operation on it answers 22 instead of working on a
        // half-built state.
        context->fileCount = 0;
    }
    return status;
}

extern "C" uint32_t afs_getfilesize(AfsContext *context, int32_t index, uint32_t *size) {
    if (!valid_file(context, index) || size == nullptr) {
        return kAfsInvalid;
    }
    if (context->fileSizeTable != nullptr) {
        const uint32_t known = context->fileSizeTable[index];
        if (known == 0xFFFFFFFF) {
            return kAfsNotFound;
        }
        *size = known;
        return 0;
    }
    uint16_t entry = 0;
    std::vector<Link> chain;
    const uint32_t status = load_chain(context, static_cast<uint32_t>(index), &entry, &chain);
    if (status != 0) {
        return status;
    }
    if (entry == kAfsEntryNone || entry == kAfsEntryZombie) {
        return kAfsNotFound;
    }
    *size = chain_size(chain);
    return 0;
}

extern "C" uint32_t afs_readfile(AfsContext *context, int32_t index, int32_t offset,
                                 int32_t *length, void *buffer) {
    if (!valid_file(context, index) || length == nullptr || *length < 0 || offset < 0 ||
        (buffer == nullptr && *length > 0)) {
        return kAfsInvalid;
    }
    uint16_t entry = 0;
    const uint32_t status = read_file_entry(context, static_cast<uint32_t>(index), &entry);
    if (status != 0) {
        return status;
    }
    if (entry == kAfsEntryNone || entry == kAfsEntryZombie) {
        *length = 0;
        return kAfsNotFound;
    }
    if (entry == kAfsEntryEmpty || *length == 0) {
        *length = 0;
        return 0;
    }
    // Without the caller's work buffer a local one of the same size serves.
    uint8_t local[kAfsWorkBufferSize];
    uint8_t *work = context->workBuffer != nullptr ? context->workBuffer : local;
    ReadTarget target{static_cast<uint8_t *>(buffer), static_cast<uint64_t>(offset),
                      static_cast<uint64_t>(offset) + static_cast<uint64_t>(*length),
                      static_cast<uint64_t>(offset)};
    const uint32_t readStatus = read_chain(context, entry, work, &target);
    *length = static_cast<int32_t>(target.delivered - target.offset);
    return readStatus;
}

extern "C" uint32_t afs_writefile(AfsContext *context, int32_t index, uint32_t offset,
                                  uint32_t length, const void *data, uint32_t flags) {
    if (!valid_file(context, index) || (length != 0 && data == nullptr)) {
        return kAfsInvalid;
    }
    const bool truncate = (flags & kAfsWriteTruncate) != 0;
    const uint64_t end = uint64_t{offset} + length;
    if ((end > kAfsMaxFileSize || length > kAfsMaxFileSize || offset > kAfsMaxFileSize) &&
        (truncate || length != 0)) {
        return kAfsTooLarge;
    }
    const auto file = static_cast<uint32_t>(index);
    uint16_t entry = 0;
    std::vector<Link> old;
    const uint32_t status = load_chain(context, file, &entry, &old);
    if (status != 0) {
        return status;
    }
    if (length == 0 && !truncate) {
        return public_status(touch_file(context, file, entry));
    }
    if (length == 0 && offset == 0) {
        return public_status(truncate_to_empty(context, file, old));
    }
    const WritePlan plan = make_plan(offset, length, truncate, chain_size(old));
    return public_status(
        copy_on_write(context, file, old, plan, static_cast<const uint8_t *>(data)));
}

extern "C" uint32_t afs_deletefile(AfsContext *context, int32_t index) {
    if (!valid_file(context, index)) {
        return kAfsInvalid;
    }
    const auto file = static_cast<uint32_t>(index);
    uint16_t entry = 0;
    uint32_t status = read_file_entry(context, file, &entry);
    if (status != 0) {
        return status;
    }
    if (entry == kAfsEntryNone) {
        return kAfsNotFound;
    }
    status = commit_file_entry(context, file, kAfsEntryNone);
    if (status != 0) {
        return public_status(status);
    }
    set_size(context, file, 0xFFFFFFFF);
    if (is_cid(context, entry)) {
        // The entry is cleared on flash, so the whole chain is walked from the FAT.
        status = release_resources(context, entry, context->chunkCount, nullptr, false);
    }
    return status;
}

extern "C" uint32_t afs_mark_zombie_file(AfsContext *context, int32_t index) {
    if (!valid_file(context, index)) {
        return kAfsInvalid;
    }
    uint16_t entry = 0;
    const uint32_t status = read_file_entry(context, static_cast<uint32_t>(index), &entry);
    if (status != 0) {
        return status;
    }
    if (entry != kAfsEntryNone) {
        return kAfsWrongState;
    }
    return public_status(commit_file_entry(context, static_cast<uint32_t>(index), kAfsEntryZombie));
}

extern "C" uint32_t afs_setcache(AfsContext *context, uint32_t pageSize, uint32_t lineCount) {
    if (context == nullptr || pageSize < kAfsChunkSize || pageSize % kAfsChunkSize != 0 ||
        pageSize > kMaxPageSize || lineCount < kMinLines || lineCount > kMaxLines) {
        return kAfsInvalid;
    }
    const uint32_t status = cache_init(context, pageSize, static_cast<uint16_t>(lineCount));
    if (status == 0) {
        context->cachePageSize = static_cast<uint16_t>(pageSize);
    }
    return public_status(status);
}

extern "C" uint32_t afs_force_full_reclaim(AfsContext *context) {
    if (context == nullptr || context->handlers == nullptr) {
        return kAfsInvalid;
    }
    return ops(context)->force_full_reclaim(context);
}

extern "C" uint32_t afs_force_dirty_erase(AfsContext *context) {
    if (context == nullptr) {
        return kAfsInvalid;
    }
    if (context->physicalKind != 0) {
        return context->physicalKind == 2 ? 0 : kAfsWrongState;
    }
    if (context->handlers == nullptr) {
        return kAfsInvalid;
    }
    return ops(context)->force_dirty_erase(context);
}

extern "C" uint32_t afs_idle_reclaim(AfsContext *context) {
    if (context == nullptr || context->physicalKind != 0 || context->ftl == nullptr) {
        return 0;
    }
    return afs_physical_ftl_idle_reclaim(context);
}

extern "C" uint32_t afs_idle_reclaim_needed(AfsContext *context) {
    if (context == nullptr || context->physicalKind != 0 || context->ftl == nullptr) {
        return 0;
    }
    return afs_physical_ftl_idle_reclaim_needed(context, nullptr, nullptr);
}

extern "C" uint32_t afs_get_idle_reclaim_enabled(AfsContext *context) {
    return (context != nullptr && context->idleReclaimEnabled != 0) ? 1 : 0;
}

extern "C" void afs_set_idle_reclaim_enabled(AfsContext *context) {
    if (context != nullptr) {
        context->idleReclaimEnabled = 1;
    }
}

extern "C" void afs_free_file_size_table(AfsContext *context) {
    if (context != nullptr) {
        std::free(context->fileSizeTable);
        context->fileSizeTable = nullptr;
    }
}

extern "C" void afs_free_context(AfsContext *context) {
    if (context == nullptr) {
        return;
    }
    std::free(context->allocationBitmap);
    context->allocationBitmap = nullptr;
    afs_free_file_size_table(context);
    quor::afs::cache_release(context);
    if (context->physicalKind == 0) {
        afs_physical_ftl_release(context);
    }
}

extern "C" uint32_t afs_sub_pt_read(AfsContext *context, uint32_t offset, uint32_t length,
                                    void *destination) {
    if (uint64_t{context->flashOffset} + offset > 0xFFFFFFFFull) {
        return kSpiFailure;
    }
    return SpiDrvRead(context->flashOffset + offset, length, destination);
}

extern "C" uint32_t afs_sub_pt_write(AfsContext *context, uint32_t offset, uint32_t length,
                                     const void *source) {
    if (uint64_t{context->flashOffset} + offset > 0xFFFFFFFFull) {
        return kSpiFailure;
    }
    return SpiDrvWrite(context->flashOffset + offset, length, source);
}

extern "C" uint32_t afs_sub_pt_trim(AfsContext *, uint32_t, uint32_t) {
    return 0;
}
