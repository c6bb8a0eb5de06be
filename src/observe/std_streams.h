// Which descriptors the data wrappers and close observe. The narrow library: the
// reportable ones (sink.h). The wide library adds descriptors 0-2 while they refer
// to a regular file or a socket (a redirection, a socket handed over by a server), never
// a terminal, a pipe or a character device.
//
// The check is remembered per number: at most one fstat per number until the number
// changes (close, dup2, dup3, or a new descriptor handed out at 0-2, which forget_fd
// sees). A number changed where no wrapper sees it (a raw system call outside syscall())
// keeps its old answer until then. The memo is three atomics: no lock, no allocation.
#pragma once

#include <atomic>
#include <cstdint>

#include "library_kind.h"
#include "sink.h"

namespace velmora_io::linux_intercept {

// The memo of fd 0-2, readable inline: a stream already found to be a terminal or a
// pipe costs the wrappers one load, not a call.
enum : uint8_t { STD_UNKNOWN = 0, STD_OBSERVED = 1, STD_PASSED_OVER = 2 };
extern constinit std::atomic<uint8_t> STD_STATE[3];

// For fd 0-2: whether it refers to a regular file or a socket (memoised).
bool std_stream_observed(int32_t fd) noexcept;
// fd 0-2 changed meaning: its memo and any table entry for it are dropped.
void std_stream_changed(int32_t fd) noexcept;

inline bool observed_fd(int32_t fd) noexcept {
  if constexpr (WIDE_LIBRARY) {
    if (fd >= 0 && fd <= 2) {
      return !is_sink_fd(fd) && std_stream_observed(fd);
    }
  }
  return is_reportable(fd);
}

// The wrappers' inline first test: a number the data path may observe at all.
inline bool may_observe(int32_t fd) noexcept {
  if constexpr (WIDE_LIBRARY) {
    return fd > 2 || (fd >= 0 && STD_STATE[fd].load(std::memory_order_acquire) != STD_PASSED_OVER);
  }
  return fd > 2;
}

}  // namespace velmora_io::linux_intercept
