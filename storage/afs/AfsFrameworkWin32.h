// Plain memory copies of the embedding framework. Nothing inside the library
// calls them; `context` and `reserved` are ignored.
#pragma once

#include <cstdint>

// Copies `length` bytes from base + offset to `destination`; returns 0.
extern "C" uint32_t mg_copyfrom(void *context, const void *base, uint32_t offset, void *destination,
                                uint32_t reserved, uint32_t length);
// Copies `length` bytes from `source` to base + offset; returns 0.
extern "C" uint32_t mg_copyto(void *context, void *base, uint32_t offset, const void *source,
                              uint32_t reserved, uint32_t length);
