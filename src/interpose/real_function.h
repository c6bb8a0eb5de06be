// One slot per real C-library function that the library calls: the definition that
// follows this library in the search order (next_definition.h).
//
// Slots are constant-initialised (no start-up code) and filled on first use. A lookup
// is made once per process: a missing function stays missing, and every call through
// the slot then fails with ENOSYS. A slot with an owner tag of its own (the tests')
// stays outside the one pass below and is looked up alone.
//
// The interposed functions' slots are all filled together, by the first call of any
// wrapper, so that a wrapper first reached later, inside a signal handler say, does no
// lookup work at all. The lookup itself never takes the loader's lock.
#pragma once

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <type_traits>

#include "next_definition.h"

namespace velmora_io {

template <std::size_t N>
struct SymbolName {
  char text[N];
  constexpr SymbolName(const char (&s)[N]) { std::copy_n(s, N, text); }
};

struct InterposedOwner;

// Fills every interposed slot of this library (the lines of entry_points.h that it
// exports), in one pass. Defined by each library, in interpose/resolve_all.cc.
void resolve_all_real_functions() noexcept;

template <SymbolName Name, typename Fn, typename Owner = InterposedOwner>
struct RealFunction {
  static constinit inline std::atomic<Fn*> ADDR{nullptr};
  static constinit inline std::atomic<bool> RESOLVED{false};

  // The real function, or null when the process has none. Concurrent first calls may
  // both look it up; they store the same address, and ADDR is published before RESOLVED.
  static Fn* get() noexcept {
    if (!RESOLVED.load(std::memory_order_acquire)) [[unlikely]] {
      first_lookup();
    }
    return ADDR.load(std::memory_order_relaxed);
  }

  // One lookup, unless one has been made already. errno is the caller's to keep.
  static void resolve(const SearchOrder& order) noexcept {
    if (RESOLVED.load(std::memory_order_acquire)) return;
    if (void* found = next_definition(order, Name.text)) {
      ADDR.store(reinterpret_cast<Fn*>(found), std::memory_order_relaxed);
    }
    RESOLVED.store(true, std::memory_order_release);
  }

 private:
  [[gnu::noinline, gnu::cold]] static void first_lookup() noexcept {
    const int saved = errno;  // the lookup runs ahead of the caller's own call
    if constexpr (std::is_same_v<Owner, InterposedOwner>) resolve_all_real_functions();
    resolve(search_order());  // a slot outside the list, or the sink's own
    errno = saved;
  }
};

}  // namespace velmora_io
