// The observation of the plain data wrappers (read, write and their positional and
// vector kin): reportable descriptors only, before the data moves. Each body takes the
// real function, so that syscall() can run the same observation around itself.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <string_view>

#include "connect_outcome.h"
#include "outgoing_sql.h"
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

// A whole data wrapper around `real` (the named function, or syscall() for its number).
template <typename Fn, typename... Args>
inline ssize_t data_call_with(Fn* real, std::string_view kind, int fd, Args... args) {
  if (may_observe(fd)) return observed_call(real, kind, fd, args...);
  return real(fd, args...);
}

// The same for the function whose real-function slot is `Slot`.
template <typename Slot, typename... Args>
inline ssize_t data_call(std::string_view kind, int fd, Args... args) {
  auto* real = Slot::get();
  if (real == nullptr) return real_function_missing<ssize_t>();
  return data_call_with(real, kind, fd, args...);
}

// write and writev: in the wide library a write to a socket may carry a query.
template <typename Fn>
inline ssize_t write_with(Fn* real, int fd, const void* buf, size_t count) {
  if (may_observe(fd)) {
    if constexpr (WIDE_LIBRARY) {
      const iovec one{const_cast<void*>(buf), count};
      return outgoing_call(real, true, [&] { return SentBytes{&one, 1}; }, fd, buf, count);
    }
    return observed_call(real, "write", fd, buf, count);
  }
  return real(fd, buf, count);
}
template <typename Fn>
inline ssize_t writev_with(Fn* real, int fd, const iovec* iov, int iovcnt) {
  if (may_observe(fd)) {
    if constexpr (WIDE_LIBRARY) {
      const std::size_t n = iovcnt > 0 ? static_cast<std::size_t>(iovcnt) : 0;
      return outgoing_call(real, true, [=] { return SentBytes{iov, n}; }, fd, iov, iovcnt);
    }
    return observed_call(real, "write", fd, iov, iovcnt);
  }
  return real(fd, iov, iovcnt);
}

}  // namespace velmora_io::linux_intercept
