// Writes that may carry a PostgreSQL query. `send`, in both libraries, and in the wide
// library every write to a descriptor named as a socket (write, writev, sendmsg, sendto:
// clients built on event loops send their queries with write and writev, a Parse message
// in the first buffer, Bind and Execute after it) report "sql_write" with the query text
// in place of "write" when the bytes begin with a whole Query or Parse message.
//
// In the wide library, a message that begins a write but goes on past it is gathered
// from the socket's next writes and reported when whole (query_assembly.h).
//
// The caller's bytes are read only after the real call, and only those the kernel
// accepted: a pointer the kernel answers with EFAULT is never touched, and a failed call
// (or one that sent less than the whole message) is a plain "write". Either is reported
// before the wrapper returns, so before any reply can be read. Files and pipes are never
// inspected; their "write" comes before the call, as read and write's does.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>

#include "connect_outcome.h"
#include "library_kind.h"

namespace velmora_io::linux_intercept {

// The bytes a write handed to the kernel, looked at only once it has accepted some.
struct SentBytes {
  const iovec* iov;
  std::size_t count;
};

// After a write of `sent` bytes (negative: it failed) on fd: "sql_write" with the query
// text when the accepted bytes begin with a whole Query or Parse message, else "write"
// when fd has a name. Reads the caller's memory only when sent > 0, and then only the
// iovec array and the first `sent` bytes it describes. Keeps errno.
void report_sent(int fd, ssize_t sent, SentBytes bytes) noexcept;

// Before a write on fd that may carry a query (`data_test`: under read and write's test
// of the descriptor; else under the socket calls', none): reports it now as "write"
// unless fd is named as a socket. True when the caller reports it with report_sent.
bool defer_if_socket(int fd, bool data_test) noexcept;

// The whole observed write: `bytes()` gives what was sent, and is asked only after the
// kernel accepted some. Out of the wrappers' own frames, as observed_call.
template <typename Fn, typename Bytes, typename... Args>
[[gnu::noinline]] ssize_t outgoing_call(Fn* real, bool data_test, Bytes bytes, int fd, Args... args) {
  if (!defer_if_socket(fd, data_test)) return real(fd, args...);
  const ssize_t sent = real(fd, args...);
  report_sent(fd, sent, sent > 0 ? bytes() : SentBytes{nullptr, 0});
  if constexpr (WIDE_LIBRARY) {
    if (sent < 0) io_failed(fd);  // a pending connect's refusal shows at its first write
  }
  return sent;
}

}  // namespace velmora_io::linux_intercept
