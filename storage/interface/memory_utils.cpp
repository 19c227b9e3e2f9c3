// Heap and memory wrappers, and the bounded copy ByteCopy.
#include "interface/memory_utils.h"

#include <cstdlib>
#include <cstring>

namespace {

// True when [a, a + n) and [b, b + n) share a byte. Compared as integers so
// that unrelated buffers are never compared as pointers.
bool ranges_overlap(const void *a, const void *b, uint32_t n) {
    const auto left = reinterpret_cast<uintptr_t>(a);
    const auto right = reinterpret_cast<uintptr_t>(b);
    return left < right ? right - left < n : left - right < n;
}

}  // namespace

void *LtAllocateMemory(uint32_t size) {
    return std::malloc(size);
}

void *LtAllocateZeroMemory(uint32_t size) {
    return std::calloc(1, size);
}

void LtFreeMemory(void *pointer) {
    std::free(pointer);
}

void *LtSetMemory(void *destination, uint32_t value, uint32_t count) {
    // A null destination is left alone rather than written (memset(nullptr) is undefined).
    if (destination != nullptr && count != 0) {
        std::memset(destination, static_cast<int>(value & 0xFFu), count);
    }
    return destination;
}

int64_t LtCompareMemory(const void *left, const void *right, uint32_t length) {
    if (length == 0 || left == right) {
        return 0;
    }
    // A null side cannot be read; it orders before any readable buffer instead of crashing.
    if (left == nullptr || right == nullptr) {
        return left == nullptr ? -1 : 1;
    }
    return std::memcmp(left, right, length);
}

uint32_t ByteCopy(void *destination, uint32_t destinationSize, const void *source, uint32_t count) {
    if (destination == nullptr || source == nullptr) {
        return kByteCopyNullPointer;
    }
    if (count > destinationSize) {
        return kByteCopyTooLarge;
    }
    if (count == 0) {
        return kByteCopyOk;
    }
    // Overlapping ranges are the one error a bounded copy reports here; the
    // destination is left unchanged so that the source bytes are not destroyed.
    if (ranges_overlap(destination, source, count)) {
        return kByteCopyCopyFailed;
    }
    std::memcpy(destination, source, count);
    return kByteCopyOk;
}
