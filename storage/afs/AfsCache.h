// Write-back page cache of AFS.
//
// Keeps `cacheLineCount` lines of `cachePageSize` bytes of the volume's
// virtual address space in RAM, hands out pointers into them, and writes
// modified lines back through the page-operation table (AfsPhysical.h) on
// eviction or on an explicit flush. Replacement is least recently used; the
// lines form a singly linked list from the most to the least recently used.
//
// State lives in the AfsContext: cacheDescriptors, cacheHead, cacheData,
// cachePageSize, cacheLineCount. The cache owns cacheDescriptors and
// cacheData (C heap); afs_free_context releases them.
//
// Descriptor of line i (4 bytes, in line order):
//   word 0 (u16): bits 2..15 next line in recency order (0xFFF = end of list),
//                 bit 1 dirty, bit 0 valid
//   word 1 (u16): tag = cache page index held (volume address / cachePageSize)
// Behind the lineCount descriptors the same allocation holds, per line, one
// dirty bit for each 64-byte page of the line, so that a line larger than
// one FTL page writes back exactly the pages that were modified.
//
// The FTL moves one 64-byte page per call; a line is read and written back
// as the run of 64-byte pages it covers, so any page size that is a multiple
// of 64 works. Line arithmetic uses division, so sizes need not be powers
// of two. Only pages below dynamicAreaSize are cached: the part of a line
// that covers data chunks reads as zeros and is never written back (the file
// layer moves chunks through the page operations itself).
#pragma once

#include <cstdint>

#include "afs/AfsContext.h"

inline constexpr uint32_t kCacheOk = 0;
inline constexpr uint32_t kCacheNoMemory = 12;
inline constexpr uint32_t kCacheInvalid = 22;
inline constexpr uint32_t kCacheInconsistent = 99;
inline constexpr uint16_t kCacheEndOfList = 0xFFF;
inline constexpr uint32_t kCacheFtlPageSize = 64;
inline constexpr uint32_t kCacheMaxLines = 1000;

// (Re)creates the cache with lineCount lines of pageSize bytes. An existing
// cache is flushed first (a failing flush is returned, nothing released).
// Does not set cachePageSize. 0, 12 out of memory, 22 for a page size that is
// not a non-zero multiple of 64 or a line count outside 1..1000, 99 when only
// one of the two arrays exists, or a write-back status.
extern "C" uint32_t cache_init(AfsContext *context, uint32_t pageSize, uint16_t lineCount);

// Points *out at the line holding cache page `pageIndex`, reading it on a
// miss (after writing back a dirty victim). 0 or a page-operation status.
extern "C" uint32_t cache_ptr(AfsContext *context, uint16_t pageIndex, uint8_t **out);

// Marks the line containing `pointer` dirty (and the 64-byte page it points
// into) and makes it the most recently used line.
extern "C" void cache_line_written(AfsContext *context, const uint8_t *pointer);

// Writes every dirty line back, least recently used first. 0 or the first
// failing write status (that line stays dirty).
extern "C" uint32_t cache_flush(AfsContext *context);

// Forgets every line's contents; pending modifications are discarded.
extern "C" void cache_invalidate(AfsContext *context);

namespace quor::afs {

// Marks every 64-byte page of [pointer, pointer + length) dirty; the range
// must lie inside one line. Used when one change spans several FTL pages.
void cache_range_written(AfsContext *context, const uint8_t *pointer, uint32_t length);

// Releases the cache arrays and clears the pointers (no write-back).
void cache_release(AfsContext *context);

}  // namespace quor::afs
