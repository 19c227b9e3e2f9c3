// Fault injection for the storage interface's own allocations.
//
// Every block the storage interface allocates for itself (table entries,
// values, blobs, table buffers) comes from the C heap through these wrappers,
// so that a test can make exactly one allocation fail and check that the
// failure is reported and nothing leaks:
//
//   fail_at(k): the k-th allocation (1-based) counted from this call returns
//               null; every other one proceeds. fail_at(0) and disarm() clear it.
//
// Allocations are counted even when nothing is armed, so a test can run an
// operation once, read allocation_count(), and then replay it failing each
// allocation in turn. The seam is process-wide, like the flash one
// (flash_fault.h); blocks are released with std::free.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quor::heap_fault {

void *allocate(size_t size);
void *allocateZero(size_t count, size_t size);
// Null on failure, with `block` kept.
void *reallocate(void *block, size_t size);

void fail_at(uint64_t k);
void disarm();
uint64_t allocation_count();

}  // namespace quor::heap_fault
