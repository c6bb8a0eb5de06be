// connect, recv, recvfrom, recvmsg, send, sendmsg, sendto: observed on every descriptor (no
// descriptor test). recvfrom and sendto name their datagram peer; send reports the
// text of a PostgreSQL query instead of a plain write.
#include <sys/socket.h>

#include "async_safety.h"
#include "connect_outcome.h"
#include "errno_saver.h"
#include "export.h"
#include "identify.h"
#include "reentrancy.h"
#include "sink.h"
#include "outgoing_sql.h"
#include "raw_syscalls.h"
#include "sender.h"
#include "slots.h"

namespace velmora_io::linux_intercept {
namespace {

// The destination names the datagram's peer before the call, whatever its result, so
// that the call's "write" (and a failed call's, on any descriptor) carries it. It is
// read through a copy the kernel makes: an address the kernel would refuse with EFAULT
// stays its answer and never faults here. Out of line: the copy's room is not under
// the call.
[[gnu::noinline]] void record_destination(int fd, const sockaddr* dest, socklen_t dest_len) noexcept {
  if (dest == nullptr || dest_len == 0) return;
  ErrnoSaver caller_errno;
  sockaddr_storage copy;
  const ssize_t got = raw::copy_readable(&copy, dest, dest_len < sizeof(copy) ? dest_len : sizeof(copy));
  if (got <= 0) return;
  run_guarded([&] { record_sockaddr_only(fd, reinterpret_cast<const sockaddr*>(&copy), static_cast<socklen_t>(got)); });
}

// The wide library reports a socket's receive after the call, with its outcome, so that
// a reply is timed to the read that brought it; else before it, as every read. True
// when deferred.
bool observe_receive(int fd) noexcept {
  if constexpr (WIDE_LIBRARY) return observe_io_unless_socket(fd, "read");
  observe_io(fd, "read");
  return false;
}

}  // namespace
}  // namespace velmora_io::linux_intercept

namespace vio = velmora_io;
namespace li = velmora_io::linux_intercept;

VELMORA_EXPORT ssize_t recv(int fd, void* buf, size_t len, int flags) {
  auto* real = li::recv::get();
  if (real == nullptr) return li::real_function_missing<ssize_t>();
  if (vio::is_sink_fd(fd)) return real(fd, buf, len, flags);
  const bool later = li::observe_receive(fd);
  if constexpr (li::WIDE_LIBRARY) return li::received(fd, real(fd, buf, len, flags), later);
  return real(fd, buf, len, flags);
}

VELMORA_EXPORT ssize_t recvfrom(int fd, void* buf, size_t len, int flags, struct sockaddr* src,
                                socklen_t* src_len) {
  auto* real = li::recvfrom::get();
  if (real == nullptr) return li::real_function_missing<ssize_t>();
  if (vio::is_sink_fd(fd)) return real(fd, buf, len, flags, src, src_len);
  const bool later = li::observe_receive(fd);
  const socklen_t buffer_size = li::address_room(src, src_len);
  const ssize_t result = real(fd, buf, len, flags, src, src_len);
  li::record_sender(fd, result, src, src_len, buffer_size);
  if constexpr (li::WIDE_LIBRARY) return li::received(fd, result, later);
  return result;
}

VELMORA_EXPORT ssize_t recvmsg(int fd, struct msghdr* msg, int flags) {
  auto* real = li::recvmsg::get();
  if (real == nullptr) return li::real_function_missing<ssize_t>();
  if (vio::is_sink_fd(fd)) return real(fd, msg, flags);
  const bool later = li::observe_receive(fd);
  if constexpr (li::WIDE_LIBRARY) return li::received(fd, real(fd, msg, flags), later);
  return real(fd, msg, flags);
}

VELMORA_EXPORT ssize_t send(int fd, const void* buf, size_t len, int flags) {
  auto* real = li::send::get();
  if (real == nullptr) return li::real_function_missing<ssize_t>();
  if (vio::is_sink_fd(fd)) return real(fd, buf, len, flags);
  // Named before the call, while the peer is surely there; reported after it, from the
  // bytes sent. The query is reported whether or not the socket has a name.
  vio::ensure_fd_mapped(fd);
  const ssize_t sent = real(fd, buf, len, flags);
  const iovec one{const_cast<void*>(buf), len};
  li::report_sent(fd, sent, {&one, 1});
  return sent;
}

VELMORA_EXPORT ssize_t sendmsg(int fd, const struct msghdr* msg, int flags) {
  auto* real = li::sendmsg::get();
  if (real == nullptr) return li::real_function_missing<ssize_t>();
  if (vio::is_sink_fd(fd)) return real(fd, msg, flags);
  if constexpr (li::WIDE_LIBRARY) {
    // The header and its buffers are read only once the kernel has taken them.
    return li::outgoing_call(real, false, [msg] { return li::SentBytes{msg->msg_iov, msg->msg_iovlen}; }, fd, msg,
                             flags);
  }
  vio::observe_io(fd, "write");
  return real(fd, msg, flags);
}

VELMORA_EXPORT ssize_t sendto(int fd, const void* buf, size_t len, int flags,
                              const struct sockaddr* dest, socklen_t dest_len) {
  auto* real = li::sendto::get();
  if (real == nullptr) return li::real_function_missing<ssize_t>();
  if (vio::is_sink_fd(fd)) return real(fd, buf, len, flags, dest, dest_len);
  li::record_destination(fd, dest, dest_len);
  if constexpr (li::WIDE_LIBRARY) {
    // A socket's "write" follows the call, from the bytes the kernel took (a query).
    const bool deferred = vio::observe_io_unless_socket(fd, "write");
    const ssize_t sent = real(fd, buf, len, flags, dest, dest_len);
    const iovec one{const_cast<void*>(buf), len};
    if (deferred) li::report_sent(fd, sent, {&one, 1});
    return sent;
  }
  vio::observe_io(fd, "write");
  return real(fd, buf, len, flags, dest, dest_len);
}

VELMORA_EXPORT int connect(int fd, const struct sockaddr* addr, socklen_t len) {
  auto* real = li::connect::get();
  if (real == nullptr) return li::real_function_missing<int>();
  const int result = real(fd, addr, len);
  vio::ErrnoSaver real_errno;  // put back whatever observation does to it
  if (result == 0 || real_errno.value() == EINPROGRESS) {
    vio::run_guarded([&] {
      // Named by the address the caller gave, not by what the kernel reports later.
      if (std::optional<vio::SocketName> name = vio::record_sockaddr(fd, addr, len)) {
        vio::log_event("connect", name->view(), fd);
      }
    });
    if constexpr (li::WIDE_LIBRARY) {
      if (result != 0) li::connect_pending(fd);
    }
  }
  return result;
}
