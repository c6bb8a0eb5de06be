// A counting heap for io_bench: malloc, free, calloc and realloc defined in the
// executable itself. The dynamic linker binds every library's references to these
// (the executable comes first in the lookup order, ahead of a preloaded library), so
// the library's own allocations are counted along with the program's. Each forwards
// to the C library's allocator, so memory from any entry point can be freed by any
// other.
//
// Counting is off until alloc_counting_enable(); while off, the cost is one relaxed
// load per call, which keeps the timed workloads unaffected.
#include "counting_alloc.h"

#include <atomic>
#include <cstddef>

extern "C" {
void* __libc_malloc(std::size_t size);
void __libc_free(void* ptr);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* ptr, std::size_t size);
}

namespace {

std::atomic<bool> COUNTING{false};
std::atomic<uint64_t> ALLOCATIONS{0};
std::atomic<uint64_t> FREES{0};

inline void count(std::atomic<uint64_t>& counter) noexcept {
  if (COUNTING.load(std::memory_order_relaxed)) counter.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

void alloc_counting_enable(bool on) noexcept { COUNTING.store(on, std::memory_order_relaxed); }

AllocCounts alloc_counts() noexcept {
  return {ALLOCATIONS.load(std::memory_order_relaxed), FREES.load(std::memory_order_relaxed)};
}

extern "C" {

__attribute__((visibility("default"))) void* malloc(std::size_t size) noexcept {
  count(ALLOCATIONS);
  return __libc_malloc(size);
}

__attribute__((visibility("default"))) void free(void* ptr) noexcept {
  if (ptr != nullptr) count(FREES);
  __libc_free(ptr);
}

__attribute__((visibility("default"))) void* calloc(std::size_t count_, std::size_t size) noexcept {
  count(ALLOCATIONS);
  return __libc_calloc(count_, size);
}

__attribute__((visibility("default"))) void* realloc(void* ptr, std::size_t size) noexcept {
  count(ALLOCATIONS);
  return __libc_realloc(ptr, size);
}

}  // extern "C"
