// The library's own way into the kernel, behind raw_syscalls.h: the wide library
// interposes the C library's syscall() itself, and the library's own raw calls (the
// sink's writes and closes, private pages, identification) must neither reach that
// wrapper nor be seen by any other interposer. Same contract as the C library's: up to
// six arguments, -1 with errno set on failure.
#include <cerrno>
#include <cstdarg>

#if !defined(__x86_64__) && !defined(__aarch64__)
#error "the library's raw system calls are written for x86-64 and AArch64"
#endif

extern "C" long velmora_raw_syscall(long number, ...) noexcept {
  va_list ap;
  va_start(ap, number);
  long a[6];
  for (long& arg : a) arg = va_arg(ap, long);
  va_end(ap);
#if defined(__x86_64__)
  register long r10 __asm__("r10") = a[3];
  register long r8 __asm__("r8") = a[4];
  register long r9 __asm__("r9") = a[5];
  long result;
  __asm__ volatile("syscall"
                   : "=a"(result)
                   : "a"(number), "D"(a[0]), "S"(a[1]), "d"(a[2]), "r"(r10), "r"(r8), "r"(r9)
                   : "rcx", "r11", "memory");
#else
  register long x8 __asm__("x8") = number;
  register long x0 __asm__("x0") = a[0];
  register long x1 __asm__("x1") = a[1];
  register long x2 __asm__("x2") = a[2];
  register long x3 __asm__("x3") = a[3];
  register long x4 __asm__("x4") = a[4];
  register long x5 __asm__("x5") = a[5];
  __asm__ volatile("svc 0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2), "r"(x3), "r"(x4), "r"(x5) : "memory");
  const long result = x0;
#endif
  if (result < 0 && result > -4096) {
    errno = static_cast<int>(-result);
    return -1;
  }
  return result;
}
