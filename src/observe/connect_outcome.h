// The outcome of a non-blocking connect (wide library). connect reports "connect" when
// the call returns EINPROGRESS, as it does for one that succeeded; the descriptor is
// then marked pending. When the outcome turns out to be a failure, one more line,
// "connect_failed" under the same name and descriptor, says so: getsockopt(SO_ERROR)
// returning an error, or the first read or write on it failing with ECONNREFUSED,
// ETIMEDOUT, EHOSTUNREACH or ENETUNREACH. An outcome seen (success or failure) clears
// the mark, as does a new descriptor at that number.
//
// Marks live in fixed storage for numbers below CONNECT_MARK_LIMIT: no lock, no
// allocation.
#pragma once

#include <cstdint>

namespace velmora_io::linux_intercept {

inline constexpr int32_t CONNECT_MARK_LIMIT = 1024;

void connect_pending(int32_t fd) noexcept;
void connect_settled(int32_t fd) noexcept;

// After a failed read or write on fd, with its errno (kept): "connect_failed" when fd
// was pending and the error is one of a connection that never came up.
void io_failed(int32_t fd) noexcept;

// After a receive whose read was deferred (a socket's): its "read", marked when it
// returned no data, so that a reply is timed to the read that brought it. Keeps errno.
void report_received(int32_t fd, bool got_data) noexcept;

// The result of a receive on fd, passed through; a read `deferred` until now is
// reported, then a failure goes to io_failed (a refused connect shows at the first recv
// as well as at the first read).
template <typename Result>
inline Result received(int32_t fd, Result result, bool deferred = false) noexcept {
  if (deferred) report_received(fd, result > 0);
  if (result < 0) io_failed(fd);
  return result;
}

}  // namespace velmora_io::linux_intercept
