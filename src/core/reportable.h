// Which descriptors the plain data wrappers and close observe: not the standard
// streams, not negative numbers, and never the sink's own descriptors (the adopted
// pipe's private duplicate, or the host's pipe ends).
#pragma once

#include <cstdint>

#include "sink.h"

namespace velmora_io {

inline bool is_reportable(int32_t fd) noexcept {
  return fd > 2 && fd != PIPE_FD.load(std::memory_order_relaxed) &&
         fd != PIPE_READ_FD.load(std::memory_order_relaxed);
}

// The sink's own descriptors, which the socket wrappers pass over too: a host that
// reads its socket sink with recv would otherwise add a line with every read.
inline bool is_sink_fd(int32_t fd) noexcept {
  return fd >= 0 && (fd == PIPE_FD.load(std::memory_order_relaxed) ||
                     fd == PIPE_READ_FD.load(std::memory_order_relaxed));
}

}  // namespace velmora_io
