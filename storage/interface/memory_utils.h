// Memory utilities: thin wrappers over the C heap and memory functions, with a
// fixed status contract for the bounded copy ByteCopy.
//
// Owns nothing; every block from LtAllocate*Memory is released with
// LtFreeMemory.
#pragma once

#include <cstdint>

#include "common/export.h"

// ByteCopy statuses.
constexpr uint32_t kByteCopyOk = 0;
constexpr uint32_t kByteCopyNullPointer = 3;  // destination or source is null
constexpr uint32_t kByteCopyTooLarge = 40;    // count exceeds destinationSize
constexpr uint32_t kByteCopyCopyFailed = 43;  // the bounded copy refused (overlap)

// `size` bytes from the heap, or null.
extern "C" void *LtAllocateMemory(uint32_t size);

// `size` zero-filled bytes from the heap, or null.
extern "C" void *LtAllocateZeroMemory(uint32_t size);

// Returns a block from LtAllocate*Memory to the heap; null is ignored.
extern "C" void LtFreeMemory(void *pointer);

// Fills `count` bytes with the low 8 bits of `value`; returns `destination`.
extern "C" void *LtSetMemory(void *destination, uint32_t value, uint32_t count);

// Byte comparison of `length` bytes: negative, 0 or positive.
extern "C" int64_t LtCompareMemory(const void *left, const void *right, uint32_t length);

// Copies `count` bytes into a destination of `destinationSize` bytes.
// Returns 3 for a null pointer, 40 when count > destinationSize, 43 when the
// two ranges overlap (nothing is written then), else 0.
QUOR_C_API uint32_t ByteCopy(void *destination, uint32_t destinationSize, const void *source,
                             uint32_t count);
