// Server sockets and the outcome of connects (wide library).
//
// bind and listen report "bind" and "listen" with the socket's local address (asked of
// the kernel after the call, so a port chosen by the kernel shows). accept and accept4
// report the new descriptor twice, back to back from one thread: "accept" names it by
// its peer (and the table keeps that name for its reads and writes), "accept_local" by
// the local address of the listening socket it came from, the text "listen" reported.
// getsockopt(SO_ERROR) settles a pending connect (connect_outcome.h).
#include "connect_outcome.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>

#include "errno_saver.h"
#include "export.h"
#include "fd_map.h"
#include "identify.h"
#include "raw_syscalls.h"
#include "reentrancy.h"
#include "ring_protocol.h"
#include "sink.h"
#include "fd_life.h"
#include "slots.h"

namespace velmora_io::linux_intercept {
namespace {

constinit std::atomic<bool> CONNECT_MARKS[CONNECT_MARK_LIMIT] = {};

bool take_mark(int32_t fd) noexcept {
  if (fd < 0 || fd >= CONNECT_MARK_LIMIT) return false;
  if (!CONNECT_MARKS[fd].load(std::memory_order_relaxed)) return false;
  return CONNECT_MARKS[fd].exchange(false, std::memory_order_acq_rel);
}

std::optional<SocketName> local_name(int fd) noexcept {
  sockaddr_storage local;
  std::memset(&local, 0, sizeof(local));
  socklen_t len = sizeof(local);
  if (raw::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) return std::nullopt;
  return sockaddr_to_resource(reinterpret_cast<const sockaddr*>(&local), len);
}

void report_local(std::string_view kind, int fd) noexcept {
  ErrnoSaver caller_errno;
  run_guarded([&] {
    if (std::optional<SocketName> name = local_name(fd)) log_event(kind, name->view(), fd);
  });
}

void report_connect_failed(int fd) noexcept {
  run_guarded([&] {
    TextCopy name;
    if (table_copy_name(fd, &name) == Lookup::FOUND) log_event("connect_failed", name.view(), fd);
  });
}

int accepted(int listener, int fd) noexcept {
  if (fd < 0) return fd;
  ErrnoSaver caller_errno;
  forget_fd(fd);
  run_guarded([&] {
    std::optional<SocketName> peer = peer_stage(fd);
    if (!peer || !table_insert(fd, peer->view())) return;
    log_event("accept", peer->view(), fd);
    if (std::optional<SocketName> local = local_name(listener)) log_event("accept_local", local->view(), fd);
  });
  return fd;
}

}  // namespace

void connect_pending(int32_t fd) noexcept {
  if (fd >= 0 && fd < CONNECT_MARK_LIMIT) CONNECT_MARKS[fd].store(true, std::memory_order_release);
}

void connect_settled(int32_t fd) noexcept {
  if (fd >= 0 && fd < CONNECT_MARK_LIMIT) CONNECT_MARKS[fd].store(false, std::memory_order_release);
}

void report_received(int32_t fd, bool got_data) noexcept {
  ErrnoSaver caller_errno;
  report_io(fd, "read", got_data ? 0 : RECORD_NO_DATA);
}

void io_failed(int32_t fd) noexcept {
  const int err = errno;
  if (err != ECONNREFUSED && err != ETIMEDOUT && err != EHOSTUNREACH && err != ENETUNREACH) return;
  if (take_mark(fd)) report_connect_failed(fd);
  errno = err;
}

}  // namespace velmora_io::linux_intercept

namespace li = velmora_io::linux_intercept;

VELMORA_EXPORT int bind(int fd, const struct sockaddr* addr, socklen_t len) noexcept {
  auto* real = li::bind::get();
  if (real == nullptr) return li::real_function_missing<int>();
  const int result = real(fd, addr, len);
  if (result == 0) li::report_local("bind", fd);
  return result;
}

VELMORA_EXPORT int listen(int fd, int backlog) noexcept {
  auto* real = li::listen::get();
  if (real == nullptr) return li::real_function_missing<int>();
  const int result = real(fd, backlog);
  if (result == 0) li::report_local("listen", fd);
  return result;
}

VELMORA_EXPORT int accept(int fd, struct sockaddr* addr, socklen_t* len) {
  auto* real = li::accept::get();
  if (real == nullptr) return li::real_function_missing<int>();
  return li::accepted(fd, real(fd, addr, len));
}

VELMORA_EXPORT int accept4(int fd, struct sockaddr* addr, socklen_t* len, int flags) {
  auto* real = li::accept4::get();
  if (real == nullptr) return li::real_function_missing<int>();
  return li::accepted(fd, real(fd, addr, len, flags));
}

VELMORA_EXPORT int getsockopt(int fd, int level, int name, void* value, socklen_t* len) noexcept {
  auto* real = li::getsockopt::get();
  if (real == nullptr) return li::real_function_missing<int>();
  const int result = real(fd, level, name, value, len);
  // Only what the kernel wrote is read: *len bytes, which a short buffer makes fewer
  // than an int (the error is then unknown, and the mark stays for a later call).
  if (result == 0 && level == SOL_SOCKET && name == SO_ERROR && value != nullptr && *len >= sizeof(int) &&
      li::take_mark(fd)) {
    int error = 0;
    std::memcpy(&error, value, sizeof(error));
    if (error != 0) {
      velmora_io::ErrnoSaver caller_errno;
      li::report_connect_failed(fd);
    }
  }
  return result;
}
