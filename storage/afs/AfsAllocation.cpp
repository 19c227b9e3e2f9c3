// Allocation state of the AFS file layer. See AfsAllocation.h.
#include "afs/AfsAllocation.h"

#include <algorithm>

#include "afs/AfsFat.h"
#include "afs/AfsFtlState.h"

namespace quor::afs::file_layer {

namespace {

// Bounded retries of the allocator (first refusal 0xFFFD, then a reclaim).
constexpr uint32_t kAllocRetries = 4;

}  // namespace

// ---- trimming and release -------------------------------------------------------

namespace {

uint32_t trim_va(AfsContext *c, uint32_t va) {
    return ops(c)->trim_page(c, va, kAfsChunkSize, c->flashOffset);
}

// trim_va of a chunk: on the FTL, straight to its trim of a reserved page
// (the same steps, without the call through the handler table).
void trim_chunk(AfsContext *c, uint16_t cid) {
    const uint32_t va = chunk_va(c, cid);
    if (ops(c) == &afs_physical_spi_handler && va >= c->dynamicAreaSize &&
        quor::afs::ftl::control_usable(c)) {
        quor::afs::ftl::trim_reserved_index(c, (va - c->dynamicAreaSize) / kFtlPageSize);
        return;
    }
    trim_va(c, va);
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

}  // namespace

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
            trim_chunk(c, cid);
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

namespace {

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

}  // namespace

// Allocation as the write path needs it: the FTL's first refusal (0xFFFD)
// is answered by a flush, so that the metadata pending in the cache is on
// flash before the reclaim that the next request triggers (the chunks handed
// out so far were written when they were filled).
uint32_t allocate_for_write(AfsContext *c, uint16_t *cid) {
    return continue_allocation(c, cid, allocate_chunk(c, cid));
}

uint32_t continue_allocation(AfsContext *c, uint16_t *cid, uint32_t first) {
    uint32_t status = first;
    for (uint32_t i = 1;; ++i) {
        // A reclaim that gained nothing is asked again like a first refusal:
        // the next request reclaims another unit or reports no space.
        if (status != kFtlOutOfSlots && status != kFtlNoGain) {
            return status;
        }
        const uint32_t flushStatus = cache_flush(c);
        if (flushStatus != 0) {
            return flushStatus;
        }
        if (i == kAllocRetries) {
            return kAfsNoSpace;
        }
        status = allocate_chunk(c, cid);
    }
}

}  // namespace quor::afs::file_layer
