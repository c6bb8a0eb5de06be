// The library's own system calls. Every piece of the library writes `syscall(...)` as
// the C library spells it, and the build renames that to velmora_raw_syscall and
// includes this header first (see src/CMakeLists.txt): the wide library interposes the
// C library's syscall() itself, and the library's own raw calls (the sink's writes and
// closes, private pages, identification) must neither reach that wrapper nor be seen by
// any other interposer. Same contract as the C library's: up to six arguments, -1 with
// errno set on failure; no cancellation point. Inline, with the arguments in registers:
// a signal handler on a small alternate stack pays no frame for it.
#pragma once

#include <errno.h>

#include <type_traits>

#if !defined(__x86_64__) && !defined(__aarch64__)
#error "the library's raw system calls are written for x86-64 and AArch64"
#endif

namespace velmora_io::raw {

template <typename T>
[[gnu::always_inline]] inline long as_argument(T value) noexcept {
  if constexpr (std::is_pointer_v<T> || std::is_null_pointer_v<T>) {
    return reinterpret_cast<long>(value);
  } else {
    return static_cast<long>(value);
  }
}

[[gnu::always_inline]] inline long call6(long number, long a0, long a1, long a2, long a3, long a4,
                                         long a5) noexcept {
#if defined(__x86_64__)
  register long r10 __asm__("r10") = a3;
  register long r8 __asm__("r8") = a4;
  register long r9 __asm__("r9") = a5;
  long result;
  __asm__ volatile("syscall"
                   : "=a"(result)
                   : "a"(number), "D"(a0), "S"(a1), "d"(a2), "r"(r10), "r"(r8), "r"(r9)
                   : "rcx", "r11", "memory");
#else
  register long x8 __asm__("x8") = number;
  register long x0 __asm__("x0") = a0;
  register long x1 __asm__("x1") = a1;
  register long x2 __asm__("x2") = a2;
  register long x3 __asm__("x3") = a3;
  register long x4 __asm__("x4") = a4;
  register long x5 __asm__("x5") = a5;
  __asm__ volatile("svc 0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2), "r"(x3), "r"(x4), "r"(x5) : "memory");
  const long result = x0;
#endif
  if (result < 0 && result > -4096) {
    errno = static_cast<int>(-result);
    return -1;
  }
  return result;
}

}  // namespace velmora_io::raw

// The number's own type is a template parameter too, so that this exact match, not the
// C library's variadic declaration (which the rename also reaches), is chosen.
template <typename Number, typename... Args>
[[gnu::always_inline]] inline long velmora_raw_syscall(Number number, Args... args) noexcept {
  static_assert(std::is_integral_v<Number>, "a system call's number");
  static_assert(sizeof...(Args) <= 6, "a system call takes at most six arguments");
  long a[6] = {velmora_io::raw::as_argument(args)...};
  return velmora_io::raw::call6(static_cast<long>(number), a[0], a[1], a[2], a[3], a[4], a[5]);
}

