// Heap allocation counts of the whole process (see counting_alloc.cc).
#pragma once

#include <cstdint>

struct AllocCounts {
  uint64_t allocations;  // malloc, calloc and realloc calls
  uint64_t frees;        // free calls with a non-null pointer
};

void alloc_counting_enable(bool on) noexcept;
AllocCounts alloc_counts() noexcept;
