// The per-volume record of AFS.
//
// One AfsContext describes one mounted AFS volume. It is allocated zero-filled
// by the caller (the DFS front end) and filled by the file layer (Afs), the
// page cache (AfsCache) and the flash translation layer (AfsFtl). The layout
// is part of the binary interface: natural alignment, fields in this order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/quorstorage/quorstorage.h"

// The record itself is defined once, in the public C header, so that library
// code and callers that include both headers see the same type. Its fields:
//   uint32_t dynamicAreaSize;    // VA bytes of the dynamic area (multiple of 64)
//   uint32_t nextChunk;          // file layer's chunk cursor when the FTL does not allocate
//   uint32_t flashOffset;        // byte offset of the partition in the flash image
//   uint32_t flashSize;          // partition size in bytes
//   uint32_t volumeSize;         // VA bytes of the whole volume (dynamic + reserved)
//   uint32_t volumeAttributes;   // bytes 4..7 of the volume header
//   uint32_t lastFatPageOffset;  // chunk-table page last checked for trimming
//   void *ftl;                   // FtlControl, owned by the FTL (AfsFtl.h)
//   void *handlers;              // page-operation table (AfsPhysical.h)
//   uint32_t *allocationBitmap;  // one bit per data chunk, set = allocated
//   void *cacheDescriptors;      // cache line descriptors (AfsCache)
//   uint16_t cacheHead;          // most recently used cache line
//   uint32_t *fileSizeTable;     // one size per file, or null
//   uint8_t *cacheData;          // cache line storage
//   uint8_t *workBuffer;         // 4096-byte buffer supplied by the caller
//   uint16_t chunkCount;         // number of 64-byte data chunks
//   uint16_t cachePageSize;      // bytes per cache line
//   uint16_t cacheLineCount;     // number of cache lines
//   uint16_t fileCount;          // number of file slots
//   uint8_t physicalKind;        // 0 = the FTL of AfsFtl
//   uint8_t ftlAllocation;       // 1 = data chunks are allocated through the FTL
//   uint8_t noAllocationBitmap;  // 1 = the volume keeps no allocation bitmap
//   uint8_t idleReclaimEnabled;  // set by afs_set_idle_reclaim_enabled
//   void *flashImage;            // image handed to SpiFlashDrvInitialize on request


static_assert(offsetof(AfsContext, dynamicAreaSize) == 0, "AfsContext layout");
static_assert(offsetof(AfsContext, nextChunk) == 4, "AfsContext layout");
static_assert(offsetof(AfsContext, flashOffset) == 8, "AfsContext layout");
static_assert(offsetof(AfsContext, flashSize) == 12, "AfsContext layout");
static_assert(offsetof(AfsContext, volumeSize) == 16, "AfsContext layout");
static_assert(offsetof(AfsContext, volumeAttributes) == 20, "AfsContext layout");
static_assert(offsetof(AfsContext, lastFatPageOffset) == 24, "AfsContext layout");
static_assert(offsetof(AfsContext, ftl) == 32, "AfsContext layout");
static_assert(offsetof(AfsContext, handlers) == 40, "AfsContext layout");
static_assert(offsetof(AfsContext, allocationBitmap) == 48, "AfsContext layout");
static_assert(offsetof(AfsContext, cacheDescriptors) == 56, "AfsContext layout");
static_assert(offsetof(AfsContext, cacheHead) == 64, "AfsContext layout");
static_assert(offsetof(AfsContext, fileSizeTable) == 72, "AfsContext layout");
static_assert(offsetof(AfsContext, cacheData) == 80, "AfsContext layout");
static_assert(offsetof(AfsContext, workBuffer) == 88, "AfsContext layout");
static_assert(offsetof(AfsContext, chunkCount) == 96, "AfsContext layout");
static_assert(offsetof(AfsContext, cachePageSize) == 98, "AfsContext layout");
static_assert(offsetof(AfsContext, cacheLineCount) == 100, "AfsContext layout");
static_assert(offsetof(AfsContext, fileCount) == 102, "AfsContext layout");
static_assert(offsetof(AfsContext, physicalKind) == 104, "AfsContext layout");
static_assert(offsetof(AfsContext, ftlAllocation) == 105, "AfsContext layout");
static_assert(offsetof(AfsContext, noAllocationBitmap) == 106, "AfsContext layout");
static_assert(offsetof(AfsContext, idleReclaimEnabled) == 107, "AfsContext layout");
static_assert(offsetof(AfsContext, flashImage) == 112, "AfsContext layout");
static_assert(sizeof(AfsContext) == 120, "AfsContext layout");
