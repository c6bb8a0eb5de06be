// The system-call seam: every system call the library makes for itself goes through here
// and nowhere else calls syscall().
//
// The rule: raw system calls, never the C library's wrappers, so that
//   - other interposers (and our own wrappers) never see the library's own I/O;
//   - no cancellation point is hit: a thread cancelled in the middle of a line or a
//     naming step cannot unwind through the library with its guards set;
//   - every function here is async-signal-safe and touches no heap and no lock.
// Results and errno are the kernel's, as the C library's versions would give them: -1
// (or null, MAP failure) with errno set on failure. Inline, so that a path on a small
// signal stack pays no frame for the seam.
//
// Not even the C library's syscall() is used: the wide library interposes it, and the
// library's own calls must not reach that wrapper. `call` below is the one place that
// enters the kernel, an inline instruction: no frame, and no variadic register save
// area on a small signal stack.
#pragma once

#include <fcntl.h>
#include <linux/futex.h>
#include <linux/kcmp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace velmora_io::raw {

// Every argument widened to a full register, as the kernel reads it.
template <typename T>
[[gnu::always_inline]] inline long arg(T value) noexcept {
  if constexpr (std::is_pointer_v<T>) return reinterpret_cast<long>(value);
  else if constexpr (std::is_null_pointer_v<T>) return 0;
  else return static_cast<long>(value);
}
// The system call itself, with the C library's syscall() contract: up to six arguments,
// -1 with errno set on failure.
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
#elif defined(__aarch64__)
  register long x8 __asm__("x8") = number;
  register long x0 __asm__("x0") = a0;
  register long x1 __asm__("x1") = a1;
  register long x2 __asm__("x2") = a2;
  register long x3 __asm__("x3") = a3;
  register long x4 __asm__("x4") = a4;
  register long x5 __asm__("x5") = a5;
  __asm__ volatile("svc 0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2), "r"(x3), "r"(x4), "r"(x5) : "memory");
  const long result = x0;
#else
#error "the library's raw system calls are written for x86-64 and AArch64"
#endif
  if (result < 0 && result > -4096) {
    errno = static_cast<int>(-result);
    return -1;
  }
  return result;
}
template <typename... Args>
[[gnu::always_inline]] inline long call(long number, Args... args) noexcept {
  static_assert(sizeof...(Args) <= 6, "at most six arguments");
  long a[6] = {arg(args)...};
  return call6(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

inline int open(const char* path, int flags, mode_t mode) noexcept {
  return static_cast<int>(call(SYS_openat, AT_FDCWD, path, flags, mode));
}
inline int close(int fd) noexcept { return static_cast<int>(call(SYS_close, fd)); }
inline int fstat(int fd, struct stat* st) noexcept { return static_cast<int>(call(SYS_fstat, fd, st)); }
inline ssize_t readlink(const char* path, char* buffer, std::size_t size) noexcept {
  return call(SYS_readlinkat, AT_FDCWD, path, buffer, size);
}
inline ssize_t writev(int fd, const iovec* iov, int count) noexcept { return call(SYS_writev, fd, iov, count); }
// Whether path (relative to dir_fd) may be reached as `mode` asks (F_OK, X_OK, ...).
inline int access_at(int dir_fd, const char* path, int mode) noexcept {
  return static_cast<int>(call(SYS_faccessat, dir_fd, path, mode));
}
// The working directory; the count includes the terminating NUL.
inline long getcwd(char* buffer, std::size_t size) noexcept { return call(SYS_getcwd, buffer, size); }
inline int getsockname(int fd, sockaddr* address, socklen_t* length) noexcept {
  return static_cast<int>(call(SYS_getsockname, fd, address, length));
}
inline int getpeername(int fd, sockaddr* address, socklen_t* length) noexcept {
  return static_cast<int>(call(SYS_getpeername, fd, address, length));
}
// A copy of fd at the lowest free number >= floor, close-on-exec.
inline int dup_cloexec_at_least(int fd, int floor) noexcept {
  return static_cast<int>(call(SYS_fcntl, fd, F_DUPFD_CLOEXEC, floor));
}
inline int resource_limit(int resource, rlimit* limit) noexcept {
  return static_cast<int>(call(SYS_prlimit64, 0, resource, nullptr, limit));
}
inline int open_file_limit(rlimit* limit) noexcept { return resource_limit(RLIMIT_NOFILE, limit); }
// Whether a file may grow to `size` bytes without the kernel raising SIGXFSZ.
inline bool file_may_reach(off_t size) noexcept {
  rlimit limit;
  if (resource_limit(RLIMIT_FSIZE, &limit) != 0) return false;
  return limit.rlim_cur == RLIM_INFINITY || static_cast<rlim_t>(size) <= limit.rlim_cur;
}
// Whether the file system fd is on has `size` bytes free for this process now.
inline bool room_for(int fd, uint64_t size) noexcept {
  struct statfs fs;
  if (call(SYS_fstatfs, fd, &fs) != 0) return false;
  return static_cast<uint64_t>(fs.f_bavail) * static_cast<uint64_t>(fs.f_bsize) >= size;
}
// Waits until fd can take a write or the wait ends; a signal counts as an end.
inline int wait_writable(int fd, const timespec* wait) noexcept {
  pollfd p{fd, POLLOUT, 0};
  return static_cast<int>(call(SYS_ppoll, &p, 1, wait, nullptr, 0));
}

// Whether pid is a child of this process, exited or not: asked without waiting and
// without reaping it (WNOWAIT), so the program's own wait still finds it.
inline bool is_child(pid_t pid) noexcept {
  siginfo_t info;
  return pid > 0 && call(SYS_waitid, P_PID, pid, &info, WEXITED | WSTOPPED | WCONTINUED | WNOHANG | WNOWAIT,
                         nullptr) == 0;
}
inline int64_t gettid() noexcept { return call(SYS_gettid); }
inline int32_t getpid() noexcept { return static_cast<int32_t>(call(SYS_getpid)); }
inline int32_t getppid() noexcept { return static_cast<int32_t>(call(SYS_getppid)); }
// The file's first `size` bytes with their pages reserved: a mapping of them can never
// meet a full file system (SIGBUS) the way a sparse file's can.
inline int reserve(int fd, off_t size) noexcept { return static_cast<int>(call(SYS_fallocate, fd, 0, 0, size)); }
// The file's size set to `size`, sparse: no page is taken for it.
inline int set_size(int fd, off_t size) noexcept { return static_cast<int>(call(SYS_ftruncate, fd, size)); }
// The pages of a shared writable mapping taken and mapped now: an error (EFAULT where
// the file system is full, EINVAL before Linux 5.14) instead of a later SIGBUS.
inline int populate(void* start, std::size_t bytes) noexcept {
  return static_cast<int>(call(SYS_madvise, start, bytes, MADV_POPULATE_WRITE));
}
inline int unlink(const char* path) noexcept { return static_cast<int>(call(SYS_unlinkat, AT_FDCWD, path, 0)); }
// Whether process pid exists (it may belong to another user).
inline bool process_exists(pid_t pid) noexcept { return pid > 0 && (call(SYS_kill, pid, 0) == 0 || errno == EPERM); }
// Copies up to `size` bytes of this process's memory at `from` without touching them
// directly: an unreadable address gives -1 (EFAULT) or a short count, never a fault.
inline ssize_t copy_readable(void* to, const void* from, std::size_t size) noexcept {
  const iovec local{to, size};
  const iovec remote{const_cast<void*>(from), size};
  return call(SYS_process_vm_readv, call(SYS_getpid), &local, 1, &remote, 1, 0);
}
// Whether fd is a terminal, as isatty asks it (the terminal's settings, read, not kept).
inline bool is_terminal(int fd) noexcept {
  unsigned char settings[64];  // the kernel's struct termios is smaller
  return call(SYS_ioctl, fd, TCGETS, settings) == 0;
}
// CLOCK_MONOTONIC in nanoseconds. Through the vDSO, the one read here that is no system
// call: it enters the kernel only where the vDSO cannot tell the time, and is no
// cancellation point either way.
inline uint64_t monotonic_ns() noexcept {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}
inline void sleep_for(const timespec* step) noexcept { call(SYS_nanosleep, step, nullptr); }
inline void yield() noexcept { call(SYS_sched_yield); }
// KCMP_VM: 0 when the two processes share one address space; 1 or 2 when not; -1 when
// the kernel will not tell.
inline long compare_memory(pid_t a, pid_t b) noexcept { return call(SYS_kcmp, a, b, KCMP_VM, 0, 0); }

// Process-private futex on an atomic word.
inline void futex_wait(std::atomic<uint32_t>* word, uint32_t seen) noexcept {
  call(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
}
inline void futex_wake_all(std::atomic<uint32_t>* word) noexcept {
  call(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// Whether the 8 aligned bytes around `address` can be read, asked of the kernel without
// touching them: a signal-mask change with an invalid `how` copies them in first (EFAULT
// if it cannot) and then refuses (EINVAL), changing nothing. errno is kept.
inline bool readable(const void* address) noexcept {
  const auto around = reinterpret_cast<std::uintptr_t>(address) & ~std::uintptr_t{7};
  const int saved = errno;
  const long probe = call(SYS_rt_sigprocmask, -1, around, nullptr, 8);
  const bool ok = probe != 0 && errno == EINVAL;
  errno = saved;
  return ok;
}

// ---- Private anonymous pages, never the heap: page rounding happens here, so callers
// give and take back the same byte count they asked for.
constexpr std::size_t PAGE = 4096;
constexpr std::size_t round_to_pages(std::size_t bytes) noexcept { return (bytes + PAGE - 1) / PAGE * PAGE; }
// Zero-filled pages for `bytes` bytes; null when none could be had.
inline void* map_pages(std::size_t bytes) noexcept {
  void* p = reinterpret_cast<void*>(call(SYS_mmap, nullptr, round_to_pages(bytes), PROT_READ | PROT_WRITE,
                                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  return p == MAP_FAILED ? nullptr : p;
}
inline void unmap_pages(void* pages, std::size_t bytes) noexcept { call(SYS_munmap, pages, round_to_pages(bytes)); }
// fd's first `bytes` bytes, mapped shared for reading and writing; null on failure.
inline void* map_shared(int fd, std::size_t bytes) noexcept {
  void* p = reinterpret_cast<void*>(call(SYS_mmap, nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  return p == MAP_FAILED ? nullptr : p;
}

// ---- The link of a descriptor in /proc/self/fd.
// Where fd's link lives, as a C string in `path`; false for a number that has none.
inline bool fd_link_path(int32_t fd, char (&path)[32]) noexcept {
  constexpr char PREFIX[] = "/proc/self/fd/";
  constexpr std::size_t prefix = sizeof(PREFIX) - 1;
  for (std::size_t i = 0; i < prefix; ++i) path[i] = PREFIX[i];
  auto [end, ec] = std::to_chars(path + prefix, path + sizeof(path) - 1, fd);
  if (ec != std::errc()) return false;
  *end = '\0';
  return true;
}
// readlink of fd's link into buffer (not terminated); -1 as readlink, or for a number
// that has no link.
inline ssize_t read_fd_link(int32_t fd, char* buffer, std::size_t size) noexcept {
  char path[32];
  if (!fd_link_path(fd, path)) return -1;
  return readlink(path, buffer, size);
}

}  // namespace velmora_io::raw
