// The calls that hand out a new descriptor (wide library): no event, but the number
// they return was free, so whatever the table still holds for it is stale. Opens of
// files are in paths/opens.cc, accept in sockets/server_sockets.cc.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdarg>

#include "export.h"
#include "fd_life.h"
#include "slots.h"

namespace li = velmora_io::linux_intercept;

namespace velmora_io::linux_intercept {
namespace {

// The slot's real function called with `args`, its new descriptor forgotten; -1 with
// ENOSYS when there is none.
template <typename Slot, typename... Args>
int new_fd_call(Args... args) noexcept {
  auto* real = Slot::get();
  if (real == nullptr) return real_function_missing<int>();
  return new_fd(real(args...));
}

// Both ends of a new pair (pipe, socketpair), `fds` being where the call put them.
template <typename Slot, typename... Args>
int new_pair_call(const int* fds, Args... args) noexcept {
  auto* real = Slot::get();
  if (real == nullptr) return real_function_missing<int>();
  const int result = real(args...);
  if (result == 0) {
    forget_fd(fds[0]);
    forget_fd(fds[1]);
  }
  return result;
}

}  // namespace
}  // namespace velmora_io::linux_intercept

VELMORA_EXPORT int socket(int domain, int type, int protocol) noexcept {
  return li::new_fd_call<li::socket>(domain, type, protocol);
}

VELMORA_EXPORT int socketpair(int domain, int type, int protocol, int fds[2]) noexcept {
  return li::new_pair_call<li::socketpair>(fds, domain, type, protocol, fds);
}

VELMORA_EXPORT int pipe(int fds[2]) noexcept { return li::new_pair_call<li::pipe>(fds, fds); }

VELMORA_EXPORT int pipe2(int fds[2], int flags) noexcept { return li::new_pair_call<li::pipe2>(fds, fds, flags); }

VELMORA_EXPORT int dup(int fd) noexcept {
  auto* real = li::dup::get();
  if (real == nullptr) return li::real_function_missing<int>();
  const int result = real(fd);
  li::duplicated_fd(fd, result);
  return result;
}

VELMORA_EXPORT int fcntl(int fd, int cmd, ...) {
  // Every command takes at most one argument, an integer or a pointer; passed on as the
  // register-sized value it arrived in.
  va_list ap;
  va_start(ap, cmd);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  auto* real = li::fcntl::get();
  if (real == nullptr) return li::real_function_missing<int>();
  const int result = real(fd, cmd, arg);
  if (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC) li::duplicated_fd(fd, result);
  return result;
}

VELMORA_EXPORT int eventfd(unsigned int count, int flags) noexcept {
  return li::new_fd_call<li::eventfd>(count, flags);
}

VELMORA_EXPORT int memfd_create(const char* name, unsigned int flags) noexcept {
  return li::new_fd_call<li::memfd_create>(name, flags);
}

VELMORA_EXPORT int epoll_create1(int flags) noexcept { return li::new_fd_call<li::epoll_create1>(flags); }
