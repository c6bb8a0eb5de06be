// recvfrom's naming of a datagram's sender, shared with its fortified form.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <algorithm>

#include "../identify.h"
#include "../reentrancy.h"

namespace velmora_io::linux_intercept {

// After a successful receive: records the sender's address under fd. `buffer_size` is
// the caller's *src_len before the call; the kernel may raise *src_len above it when it
// cut the address, and only the bytes inside the buffer may be read.
inline void record_sender(int fd, ssize_t result, const sockaddr* src, const socklen_t* src_len,
                          socklen_t buffer_size) noexcept {
  if (result < 0 || src == nullptr || src_len == nullptr) return;
  const socklen_t valid = std::min(*src_len, buffer_size);
  run_guarded([&] { record_sockaddr(fd, src, valid); });
}

}  // namespace velmora_io::linux_intercept
