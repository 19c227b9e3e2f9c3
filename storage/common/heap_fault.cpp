#include "common/heap_fault.h"

#include <cstdlib>

namespace quor::heap_fault {
namespace {

uint64_t s_count = 0;
uint64_t s_failAt = 0;  // 0: nothing armed

bool refuseThisOne() {
    return ++s_count == s_failAt;
}

}  // namespace

void *allocate(size_t size) {
    return refuseThisOne() ? nullptr : std::malloc(size);
}

void *allocateZero(size_t count, size_t size) {
    return refuseThisOne() ? nullptr : std::calloc(count, size);
}

void *reallocate(void *block, size_t size) {
    return refuseThisOne() ? nullptr : std::realloc(block, size);
}

void fail_at(uint64_t k) {
    s_count = 0;
    s_failAt = k;
}

void disarm() {
    fail_at(0);
}

uint64_t allocation_count() {
    return s_count;
}

}  // namespace quor::heap_fault
