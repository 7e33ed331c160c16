// Counts heap allocations made while counting is on. The program replaces
// malloc, calloc and realloc with versions that count and then hand over to
// the C library's allocator, so every library in the process (the loaded
// driver included) is seen.
#pragma once

#include <cstdint>

namespace zelbench {

void StartCountingAllocations();
// Stops counting and returns how many allocations were made since the start.
uint64_t StopCountingAllocations();

} // namespace zelbench
