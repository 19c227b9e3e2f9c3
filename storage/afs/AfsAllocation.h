// Allocation state of the AFS file layer: handing out data chunks (from the
// allocation bitmap or from the FTL) and trimming released chunks and the
// chunk-entry pages that no longer describe a live chunk.
#pragma once

#include <cstdint>

#include "afs/AfsContext.h"

namespace quor::afs::file_layer {

// ---- trimming and release -------------------------------------------------------

// _afs_trim_fat_page_if_needed: when the walk leaves a chunk-entry page
// behind whose chunks are all free, that page is trimmed in the FTL.
void trim_fat_page_if_needed(AfsContext *c, uint32_t x);

// _afs_release_resources: trims `count` chunks, given as a list or followed
// through the FAT from `firstCid`, with the FAT page trim check on each.
uint32_t release_resources(AfsContext *c, uint16_t firstCid, uint32_t count, const uint16_t *list,
                           bool invalidate);

// ---- allocation ----------------------------------------------------------------

// Allocation as the write path needs it: the FTL's first refusal (0xFFFD)
// is answered by a flush, so that the metadata pending in the cache is on
// flash before the reclaim that the next request triggers (the chunks handed
// out so far were written when they were filled).
uint32_t allocate_for_write(AfsContext *c, uint16_t *cid);

// allocate_for_write after its first request to the allocator answered
// `first` (a writer that asked the FTL itself goes on from there).
uint32_t continue_allocation(AfsContext *c, uint16_t *cid, uint32_t first);

}  // namespace quor::afs::file_layer
