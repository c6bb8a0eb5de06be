// The real-function slot of every interposed function, named after it:
// linux_intercept::read::ADDR, linux_intercept::read::RESOLVED, and so on.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "../real_function.h"

namespace velmora_io::linux_intercept {

using read = RealFunction<"read", ssize_t(int, void*, size_t)>;
using readv = RealFunction<"readv", ssize_t(int, const iovec*, int)>;
using write = RealFunction<"write", ssize_t(int, const void*, size_t)>;
using writev = RealFunction<"writev", ssize_t(int, const iovec*, int)>;
using recv = RealFunction<"recv", ssize_t(int, void*, size_t, int)>;
using recvfrom = RealFunction<"recvfrom", ssize_t(int, void*, size_t, int, sockaddr*, socklen_t*)>;
using recvmsg = RealFunction<"recvmsg", ssize_t(int, msghdr*, int)>;
using send = RealFunction<"send", ssize_t(int, const void*, size_t, int)>;
using sendmsg = RealFunction<"sendmsg", ssize_t(int, const msghdr*, int)>;
using sendto = RealFunction<"sendto", ssize_t(int, const void*, size_t, int, const sockaddr*, socklen_t)>;
using connect = RealFunction<"connect", int(int, const sockaddr*, socklen_t)>;
using close = RealFunction<"close", int(int)>;
using dup2 = RealFunction<"dup2", int(int, int)>;
using dup3 = RealFunction<"dup3", int(int, int, int)>;

// What every wrapper returns when the process has no real definition to forward to.
template <typename Result>
inline Result real_function_missing() noexcept {
  errno = ENOSYS;
  return static_cast<Result>(-1);
}

}  // namespace velmora_io::linux_intercept
