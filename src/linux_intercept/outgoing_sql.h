// The wide library reads query text from every kind of write to a socket: clients
// built on event loops send their queries with write and writev (a Parse message in
// the first buffer, Bind and Execute after it), not with send. A write, writev,
// sendmsg or sendto on a descriptor named as a socket whose bytes begin with a whole
// Query or Parse message is reported as "sql_write" with the text, in place of "write".
// Files, pipes and unnamed descriptors are never inspected.
#pragma once

#include <sys/uio.h>

#include <cstddef>

#include "library_kind.h"

namespace velmora_io::linux_intercept {

// The cheap first test, made before anything else: the first byte of the first
// non-empty buffer is a Query or Parse type byte. Reads that one byte only.
inline bool may_begin_query(const iovec* iov, std::size_t count) noexcept {
  // More buffers than the kernel takes (IOV_MAX) fail with EINVAL: nothing to look at.
  if (iov == nullptr || count > 1024) return false;
  for (std::size_t i = 0; i < count; ++i) {
    if (iov[i].iov_len == 0) continue;
    if (iov[i].iov_base == nullptr) return false;  // the real call's EFAULT, not ours
    const char first = *static_cast<const char*>(iov[i].iov_base);
    return first == 'Q' || first == 'P';
  }
  return false;
}

// Observes an outgoing write of the bytes in iov[0..count) on fd: "sql_write" with the
// query text when fd is named as a socket and the bytes begin with a query, else
// "write" as the wrapper would report it (`data_test`: under read and write's test of
// the descriptor; else under the socket calls', none).
void observe_outgoing(int fd, const iovec* iov, std::size_t count, bool data_test) noexcept;

// observe_outgoing, then the real call: out of the wrappers' own frames, as observed_call.
template <typename Fn, typename... Args>
[[gnu::noinline]] auto outgoing_call(Fn* real, const iovec* iov, std::size_t count, bool data_test, int fd,
                                     Args... args) {
  observe_outgoing(fd, iov, count, data_test);
  return real(fd, args...);
}

}  // namespace velmora_io::linux_intercept
