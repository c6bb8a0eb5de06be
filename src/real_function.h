// One slot per real C-library function that the library calls through RTLD_NEXT.
//
// Slots are constant-initialised (no start-up code) and filled on first use. A lookup
// is made once per process: a missing function stays missing, and every call through
// the slot then fails with ENOSYS. The owner tag keeps the sink's own "write" and
// "close" apart from the interposed functions' slots of the same names.
#pragma once

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>

namespace velmora_io {

template <std::size_t N>
struct SymbolName {
  char text[N];
  constexpr SymbolName(const char (&s)[N]) { std::copy_n(s, N, text); }
};

struct InterposedOwner;

template <SymbolName Name, typename Fn, typename Owner = InterposedOwner>
struct RealFunction {
  static constinit inline std::atomic<Fn*> ADDR{nullptr};
  static constinit inline std::atomic<bool> RESOLVED{false};

  // The real function, or null when the process has none. Concurrent first calls may
  // both look it up; they store the same address, and ADDR is published before RESOLVED.
  static Fn* get() noexcept {
    if (!RESOLVED.load(std::memory_order_acquire)) [[unlikely]] {
      resolve();
    }
    return ADDR.load(std::memory_order_relaxed);
  }

 private:
  [[gnu::noinline, gnu::cold]] static void resolve() noexcept {
    const int saved = errno;  // the lookup runs ahead of the caller's own call
    if (void* found = ::dlsym(RTLD_NEXT, Name.text)) {
      ADDR.store(reinterpret_cast<Fn*>(found), std::memory_order_relaxed);
    }
    RESOLVED.store(true, std::memory_order_release);
    errno = saved;
  }
};

}  // namespace velmora_io
