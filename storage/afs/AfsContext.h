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

// The record itself, with a line on each field, is defined once, in the
// public C header, so that library code and callers that include both headers
// see the same type. The asserts below pin its layout.

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
