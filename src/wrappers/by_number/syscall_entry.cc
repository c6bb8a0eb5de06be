// The C library's syscall() (wide library): a program that makes an observed call by
// number (an I/O library closing its files with syscall(SYS_close, fd)) would otherwise
// close or reuse descriptors behind the table's back. The numbers of the calls that are
// observed as data, opens and closes run the named wrappers' observation around the
// real syscall() itself: syscall() is no cancellation point while the named functions
// are, so the call is made exactly as the program asked, and its result and errno are
// the kernel's. dup2, dup3, chdir, fchdir and close_range, no cancellation points and
// one system call each in the C library, go to their wrappers (which keep the table,
// the sink and the working directory's memo in step). Every other number goes to the
// real syscall() untouched, with the six argument registers the kernel can read.
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdarg>

#include "data_call.h"
#include "export.h"
#include "fd_life.h"
#include "open_report.h"
#include "process_identity.h"
#include "raw_syscalls.h"
#include "slots.h"

namespace velmora_io::linux_intercept {
namespace {

// The real syscall() for number N in the shape of the named function, for the
// wrappers' bodies to call as their real function.
template <long N, typename R, typename... Args>
R by_number(Args... args) noexcept {
  return static_cast<R>(syscall::get()(N, raw::arg(args)...));
}

long open_by_number(long number, int dir_fd, const char* path, int flags, long a0, long a1, long a2,
                    long a3) noexcept {
  const OpenIntent intent = before_open(dir_fd, path, flags);
  const long fd = syscall::get()(number, a0, a1, a2, a3);
  after_open(fd < 0 ? -1 : static_cast<int>(fd), dir_fd, path, intent);
  return fd;
}

}  // namespace
}  // namespace velmora_io::linux_intercept

namespace li = velmora_io::linux_intercept;

extern "C" int close_range(unsigned int first, unsigned int last, int flags) noexcept;

VELMORA_EXPORT long syscall(long number, ...) noexcept {
  auto* real = li::syscall::get();
  if (real == nullptr) return li::real_function_missing<long>();
  va_list ap;
  va_start(ap, number);
  const long a0 = va_arg(ap, long);
  const long a1 = va_arg(ap, long);
  const long a2 = va_arg(ap, long);
  const long a3 = va_arg(ap, long);
  const long a4 = va_arg(ap, long);
  const long a5 = va_arg(ap, long);
  va_end(ap);
  const auto fd = static_cast<int>(a0);
  const auto size = static_cast<size_t>(a2);
  auto* const buffer = reinterpret_cast<void*>(a1);
  const auto* const vector = reinterpret_cast<const iovec*>(a1);
  const auto count = static_cast<int>(a2);
  switch (number) {
    case SYS_close:
      return li::close_with(&li::by_number<SYS_close, int, int>, fd);
    case SYS_read:
      return li::data_call_with(&li::by_number<SYS_read, ssize_t, int, void*, size_t>, "read", fd, buffer, size);
    case SYS_write:
      return li::write_with(&li::by_number<SYS_write, ssize_t, int, const void*, size_t>, fd, buffer, size);
    case SYS_readv:
      return li::data_call_with(&li::by_number<SYS_readv, ssize_t, int, const iovec*, int>, "read", fd, vector, count);
    case SYS_writev:
      return li::writev_with(&li::by_number<SYS_writev, ssize_t, int, const iovec*, int>, fd, vector, count);
    case SYS_pread64:
      return li::data_call_with(&li::by_number<SYS_pread64, ssize_t, int, void*, size_t, long>, "read", fd, buffer,
                                size, a3);
    case SYS_pwrite64:
      return li::data_call_with(&li::by_number<SYS_pwrite64, ssize_t, int, const void*, size_t, long>, "write", fd,
                                static_cast<const void*>(buffer), size, a3);
    case SYS_openat:
      return li::open_by_number(number, fd, reinterpret_cast<const char*>(a1), static_cast<int>(a2), a0, a1, a2, a3);
    case SYS_open:
      return li::open_by_number(number, AT_FDCWD, reinterpret_cast<const char*>(a0), static_cast<int>(a1), a0, a1,
                                a2, a3);
    case SYS_dup2:
      return ::dup2(fd, static_cast<int>(a1));
    case SYS_dup3:
      return ::dup3(fd, static_cast<int>(a1), static_cast<int>(a2));
    case SYS_chdir:  // keeps the working directory's memo honest
      return ::chdir(reinterpret_cast<const char*>(a0));
    case SYS_fchdir:
      return ::fchdir(fd);
    case SYS_close_range:
      return ::close_range(static_cast<unsigned>(a0), static_cast<unsigned>(a1), static_cast<int>(a2));
    case SYS_clone:  // with no stack of its own, the child returns here
    case SYS_clone3:
#ifdef SYS_fork
    case SYS_fork:
#endif
    {
      const long result = real(number, a0, a1, a2, a3, a4, a5);
      if (result == 0) velmora_io::forget_this_thread();  // as clone_entry.cc says
      return result;
    }
    default:
      return real(number, a0, a1, a2, a3, a4, a5);
  }
}
