#include "bench/alloc_counter.h"

#include <cstddef>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
}

namespace {
// Plain globals: the benchmark runs on one thread.
bool counting = false;
uint64_t allocations = 0;
} // namespace

extern "C" {

void* malloc(size_t size) {
    if (counting) ++allocations;
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    if (counting) ++allocations;
    return __libc_calloc(count, size);
}

void* realloc(void* p, size_t size) {
    if (counting) ++allocations;
    return __libc_realloc(p, size);
}

} // extern "C"

namespace zelbench {

void StartCountingAllocations() {
    allocations = 0;
    counting = true;
}

uint64_t StopCountingAllocations() {
    counting = false;
    return allocations;
}

} // namespace zelbench
