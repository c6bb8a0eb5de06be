// The observation of the plain data wrappers (read, write and their positional and
// vector kin): reportable descriptors only, before the data moves.
#pragma once

#include <sys/types.h>

#include <string_view>

#include "connect_outcome.h"
#include "slots.h"
#include "std_streams.h"

namespace velmora_io::linux_intercept {

// Out of line, so that a call on descriptors 0-2 costs the wrapper one comparison and a
// jump to the real function, without saving registers for the observation path.
[[gnu::noinline]] void observe_data_above_2(int fd, std::string_view kind) noexcept;

// Observes, then makes the real call: kept out of the wrappers so that their path for
// descriptors 0-2 needs no stack frame of its own.
template <typename Fn, typename... Args>
[[gnu::noinline]] ssize_t observed_call(Fn* real, std::string_view kind, int fd, Args... args) {
  observe_data_above_2(fd, kind);
  if constexpr (WIDE_LIBRARY) {
    const ssize_t result = real(fd, args...);
    if (result < 0) io_failed(fd);
    return result;
  }
  return real(fd, args...);
}

// A whole data wrapper: `Slot` is the function's real-function slot, `kind` its event.
template <typename Slot, typename... Args>
inline ssize_t data_call(std::string_view kind, int fd, Args... args) {
  auto* real = Slot::get();
  if (real == nullptr) return real_function_missing<ssize_t>();
  if (may_observe(fd)) return observed_call(real, kind, fd, args...);
  return real(fd, args...);
}

}  // namespace velmora_io::linux_intercept
