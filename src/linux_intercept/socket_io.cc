// recv, recvfrom, recvmsg, send, sendmsg, sendto: observed on every descriptor (no
// descriptor test). recvfrom and sendto name their datagram peer; send reports the
// text of a PostgreSQL query instead of a plain write.
#include <sys/socket.h>

#include <algorithm>
#include <optional>

#include "../async_safety.h"
#include "../export.h"
#include "../identify.h"
#include "../reentrancy.h"
#include "../reportable.h"
#include "../sink.h"
#include "../sql_extract.h"
#include "outgoing_sql.h"
#include "sender.h"
#include "slots.h"

namespace vio = velmora_io;
namespace li = velmora_io::linux_intercept;

VELMORA_EXPORT ssize_t recv(int fd, void* buf, size_t len, int flags) {
  auto* real = li::recv::get();
  if (real == nullptr) return li::real_function_missing<ssize_t>();
  if (vio::is_sink_fd(fd)) return real(fd, buf, len, flags);
  vio::observe_io(fd, "read");
  return real(fd, buf, len, flags);
}

VELMORA_EXPORT ssize_t recvfrom(int fd, void* buf, size_t len, int flags, struct sockaddr* src,
                                socklen_t* src_len) {
  auto* real = li::recvfrom::get();
  if (real == nullptr) return li::real_function_missing<ssize_t>();
  if (vio::is_sink_fd(fd)) return real(fd, buf, len, flags, src, src_len);
  vio::observe_io(fd, "read");
  const socklen_t buffer_size = src_len != nullptr ? *src_len : 0;
  const ssize_t result = real(fd, buf, len, flags, src, src_len);
  li::record_sender(fd, result, src, src_len, buffer_size);
  return result;
}

VELMORA_EXPORT ssize_t recvmsg(int fd, struct msghdr* msg, int flags) {
  auto* real = li::recvmsg::get();
  if (real == nullptr) return li::real_function_missing<ssize_t>();
  if (vio::is_sink_fd(fd)) return real(fd, msg, flags);
  vio::observe_io(fd, "read");
  return real(fd, msg, flags);
}

VELMORA_EXPORT ssize_t send(int fd, const void* buf, size_t len, int flags) {
  auto* real = li::send::get();
  if (real == nullptr) return li::real_function_missing<ssize_t>();
  if (vio::is_sink_fd(fd)) return real(fd, buf, len, flags);
  // The extraction only reads the buffer, so it may come first; the descriptor is
  // named either way.
  std::optional<std::string_view> query;
  if (buf != nullptr && len > 0) query = vio::sql_extract::extract_pg_query(buf, len);
  if (query) {
    vio::ensure_fd_mapped(fd);
    // Straight to the sink: the query is reported whether or not the socket has a name.
    vio::log_event("sql_write", *query, fd);
  } else {
    vio::observe_io(fd, "write");
  }
  return real(fd, buf, len, flags);
}

VELMORA_EXPORT ssize_t sendmsg(int fd, const struct msghdr* msg, int flags) {
  auto* real = li::sendmsg::get();
  if (real == nullptr) return li::real_function_missing<ssize_t>();
  if (vio::is_sink_fd(fd)) return real(fd, msg, flags);
  if constexpr (li::WIDE_LIBRARY) {
    if (msg != nullptr && li::may_begin_query(msg->msg_iov, msg->msg_iovlen)) {
      return li::outgoing_call(real, msg->msg_iov, msg->msg_iovlen, false, fd, msg, flags);
    }
  }
  vio::observe_io(fd, "write");
  return real(fd, msg, flags);
}

VELMORA_EXPORT ssize_t sendto(int fd, const void* buf, size_t len, int flags,
                              const struct sockaddr* dest, socklen_t dest_len) {
  auto* real = li::sendto::get();
  if (real == nullptr) return li::real_function_missing<ssize_t>();
  if (vio::is_sink_fd(fd)) return real(fd, buf, len, flags, dest, dest_len);
  if (dest != nullptr) {
    vio::run_guarded([&] { vio::record_sockaddr(fd, dest, dest_len); });
  }
  if constexpr (li::WIDE_LIBRARY) {
    const iovec one{const_cast<void*>(buf), len};
    if (buf != nullptr && li::may_begin_query(&one, 1)) {
      return li::outgoing_call(real, &one, 1, false, fd, buf, len, flags, dest, dest_len);
    }
  }
  vio::observe_io(fd, "write");
  return real(fd, buf, len, flags, dest, dest_len);
}
