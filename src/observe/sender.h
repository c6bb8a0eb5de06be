// recvfrom's naming of a datagram's sender, shared with its fortified form.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>


#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "identify.h"
#include "raw_syscalls.h"
#include "reentrancy.h"

namespace velmora_io::linux_intercept {

// The caller's *src_len before the call, which record_sender needs, or 0 when nothing will
// be recorded. The kernel reads it only when src is given, and answers an unreadable one
// with EFAULT; so it is read only then, and only once the kernel says it can be.
inline socklen_t address_room(const sockaddr* src, const socklen_t* src_len) noexcept {
  if (src == nullptr || src_len == nullptr) return 0;
  return raw::readable(src_len) ? *src_len : 0;
}

// After a successful receive: records the sender's address under fd. `buffer_size` is
// the caller's *src_len before the call; the kernel may raise *src_len above it when it
// cut the address, and only the bytes inside the buffer may be read.
// Out of line: its name's room lives only after the call, not under it.
[[gnu::noinline]] inline void record_sender(int fd, ssize_t result, const sockaddr* src, const socklen_t* src_len,
                          socklen_t buffer_size) noexcept {
  if (result < 0 || src == nullptr || src_len == nullptr || buffer_size == 0) return;
  const socklen_t valid = std::min(*src_len, buffer_size);
  run_guarded([&] { record_sockaddr(fd, src, valid); });
}

}  // namespace velmora_io::linux_intercept
