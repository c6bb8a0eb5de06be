// close_range and closefrom (wide library): "close" for every named descriptor they are
// about to close, and the entries removed, as close does one at a time.
#include <dirent.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

#include "../errno_saver.h"
#include "../export.h"
#include "../reentrancy.h"
#include "fd_life.h"
#include "slots.h"

namespace velmora_io::linux_intercept {
namespace {

// Calls `each` for every open descriptor in [first, last], read from /proc/self/fd
// with raw system calls into a stack buffer: no allocation, so a signal handler may get
// here. Without /proc the range is walked number by number up to the descriptor limit.
template <typename Each>
void for_each_open_fd(unsigned first, unsigned last, Each&& each) noexcept {
  ErrnoSaver caller_errno;
  const int dir = static_cast<int>(::syscall(SYS_openat, AT_FDCWD, "/proc/self/fd",
                                             O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir < 0) {
    const long limit = ::sysconf(_SC_OPEN_MAX);
    for (unsigned fd = first; fd <= last && static_cast<long>(fd) < limit; ++fd) each(static_cast<int>(fd));
    return;
  }
  alignas(8) char buffer[64];  // two entries a call: small, for signal stacks
  for (;;) {
    const long got = ::syscall(SYS_getdents64, dir, buffer, sizeof(buffer));
    if (got <= 0) break;
    for (long at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
      at += entry->d_reclen;
      unsigned fd = 0;
      const char* digit = entry->d_name;
      if (*digit < '0' || *digit > '9') continue;  // "." and ".."
      for (; *digit >= '0' && *digit <= '9'; ++digit) fd = fd * 10 + static_cast<unsigned>(*digit - '0');
      if (fd >= first && fd <= last && static_cast<int>(fd) != dir) each(static_cast<int>(fd));
    }
  }
  ::syscall(SYS_close, dir);
}

void closing_range(unsigned first, unsigned last) noexcept {
  if (IN_HOOK) return;
  // The sink's pipe among them is left to the sink's own checks: a vfork child (as
  // subprocess modules start) closes its descriptors here in its parent's memory, and
  // must not switch the parent's pipe off.
  for_each_open_fd(first, last, [](int fd) { closing_fd(fd); });
}

}  // namespace
}  // namespace velmora_io::linux_intercept

namespace li = velmora_io::linux_intercept;

VELMORA_EXPORT int close_range(unsigned int first, unsigned int last, int flags) noexcept {
  auto* real = li::close_range::get();
  if (real == nullptr) return li::real_function_missing<int>();
  // CLOSE_RANGE_CLOEXEC only marks the descriptors; an invalid range closes nothing.
  if ((flags & CLOSE_RANGE_CLOEXEC) == 0 && first <= last) li::closing_range(first, last);
  return real(first, last, flags);
}

VELMORA_EXPORT void closefrom(int low_fd) noexcept {
  auto* real = li::closefrom::get();
  if (real == nullptr) {
    errno = ENOSYS;
    return;
  }
  li::closing_range(low_fd < 0 ? 0u : static_cast<unsigned>(low_fd), ~0u);
  real(low_fd);
}
