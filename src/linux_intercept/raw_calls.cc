// The C library's syscall() (wide library): a program that makes an observed call by
// number (an I/O library closing its files with syscall(SYS_close, fd)) would otherwise
// close or reuse descriptors behind the table's back. The numbers of the calls this
// library observes go to their named wrappers, which observe them exactly as a direct
// call and make the same system call through the C library's function: the result and
// errno are that call's; so do chdir and fchdir, which keep the working directory's
// memo (working_dir.h). Every other number goes to the real syscall() untouched, with
// the six argument registers the kernel can read.
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdarg>

#include "export.h"
#include "slots.h"

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
  switch (number) {
    case SYS_close:
      return ::close(fd);
    case SYS_read:
      return ::read(fd, reinterpret_cast<void*>(a1), size);
    case SYS_write:
      return ::write(fd, reinterpret_cast<const void*>(a1), size);
    case SYS_readv:
      return ::readv(fd, reinterpret_cast<const iovec*>(a1), static_cast<int>(a2));
    case SYS_writev:
      return ::writev(fd, reinterpret_cast<const iovec*>(a1), static_cast<int>(a2));
    case SYS_pread64:
      return ::pread64(fd, reinterpret_cast<void*>(a1), size, static_cast<off64_t>(a3));
    case SYS_pwrite64:
      return ::pwrite64(fd, reinterpret_cast<const void*>(a1), size, static_cast<off64_t>(a3));
    case SYS_openat:
      return ::openat(fd, reinterpret_cast<const char*>(a1), static_cast<int>(a2), static_cast<mode_t>(a3));
    case SYS_open:
      return ::open(reinterpret_cast<const char*>(a0), static_cast<int>(a1), static_cast<mode_t>(a2));
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
    default:
      return real(number, a0, a1, a2, a3, a4, a5);
  }
}
