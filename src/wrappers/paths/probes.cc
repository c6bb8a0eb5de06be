// The stat family, access, readlink and realpath (wide library): a lookup that succeeded is a
// "query" of its path, one that found nothing is "missing" (path_report.h). The forms
// that take no path (fstat, statx or fstatat with AT_EMPTY_PATH and "") report nothing.
// Old programs call the __xstat forms the C library still exports.
#include <fcntl.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <type_traits>

#include "export.h"
#include "path_report.h"
#include "slots.h"

namespace velmora_io::linux_intercept {
namespace {

// The slot's real function with `args`, its outcome reported for the path.
template <typename Slot, typename... Args>
auto probe_call(int dir_fd, const char* path, Args... args) noexcept {
  auto* real = Slot::get();
  using Result = decltype(real(args...));
  if (real == nullptr) return real_function_missing<Result>();
  const Result result = real(args...);
  bool succeeded;
  if constexpr (std::is_pointer_v<Result>) {
    succeeded = result != nullptr;  // realpath and kin
  } else {
    succeeded = result >= 0;
  }
  report_outcome(succeeded ? 0 : -1, "query", dir_fd, path);
  return result;
}

}  // namespace
}  // namespace velmora_io::linux_intercept

namespace li = velmora_io::linux_intercept;

VELMORA_EXPORT int stat(const char* path, struct stat* buf) noexcept {
  return li::probe_call<li::stat>(AT_FDCWD, path, path, buf);
}
VELMORA_EXPORT int stat64(const char* path, struct stat64* buf) noexcept {
  return li::probe_call<li::stat64>(AT_FDCWD, path, path, buf);
}
VELMORA_EXPORT int lstat(const char* path, struct stat* buf) noexcept {
  return li::probe_call<li::lstat>(AT_FDCWD, path, path, buf);
}
VELMORA_EXPORT int lstat64(const char* path, struct stat64* buf) noexcept {
  return li::probe_call<li::lstat64>(AT_FDCWD, path, path, buf);
}
VELMORA_EXPORT int fstatat(int dir_fd, const char* path, struct stat* buf, int flags) noexcept {
  return li::probe_call<li::fstatat>(dir_fd, path, dir_fd, path, buf, flags);
}
VELMORA_EXPORT int fstatat64(int dir_fd, const char* path, struct stat64* buf, int flags) noexcept {
  return li::probe_call<li::fstatat64>(dir_fd, path, dir_fd, path, buf, flags);
}
VELMORA_EXPORT int statx(int dir_fd, const char* path, int flags, unsigned int mask, struct statx* buf) noexcept {
  return li::probe_call<li::statx>(dir_fd, path, dir_fd, path, flags, mask, buf);
}
VELMORA_EXPORT int __xstat(int ver, const char* path, struct stat* buf) noexcept {
  return li::probe_call<li::__xstat>(AT_FDCWD, path, ver, path, buf);
}
VELMORA_EXPORT int __xstat64(int ver, const char* path, struct stat64* buf) noexcept {
  return li::probe_call<li::__xstat64>(AT_FDCWD, path, ver, path, buf);
}
VELMORA_EXPORT int __lxstat(int ver, const char* path, struct stat* buf) noexcept {
  return li::probe_call<li::__lxstat>(AT_FDCWD, path, ver, path, buf);
}
VELMORA_EXPORT int __lxstat64(int ver, const char* path, struct stat64* buf) noexcept {
  return li::probe_call<li::__lxstat64>(AT_FDCWD, path, ver, path, buf);
}
VELMORA_EXPORT int __fxstatat(int ver, int dir_fd, const char* path, struct stat* buf, int flags) noexcept {
  return li::probe_call<li::__fxstatat>(dir_fd, path, ver, dir_fd, path, buf, flags);
}
VELMORA_EXPORT int __fxstatat64(int ver, int dir_fd, const char* path, struct stat64* buf, int flags) noexcept {
  return li::probe_call<li::__fxstatat64>(dir_fd, path, ver, dir_fd, path, buf, flags);
}
VELMORA_EXPORT int access(const char* path, int mode) noexcept {
  return li::probe_call<li::access>(AT_FDCWD, path, path, mode);
}
VELMORA_EXPORT int faccessat(int dir_fd, const char* path, int mode, int flags) noexcept {
  return li::probe_call<li::faccessat>(dir_fd, path, dir_fd, path, mode, flags);
}
VELMORA_EXPORT int euidaccess(const char* path, int mode) noexcept {
  return li::probe_call<li::euidaccess>(AT_FDCWD, path, path, mode);
}
VELMORA_EXPORT int eaccess(const char* path, int mode) noexcept {
  return li::probe_call<li::eaccess>(AT_FDCWD, path, path, mode);
}
VELMORA_EXPORT ssize_t readlink(const char* path, char* buf, size_t size) noexcept {
  return li::probe_call<li::readlink>(AT_FDCWD, path, path, buf, size);
}
VELMORA_EXPORT ssize_t readlinkat(int dir_fd, const char* path, char* buf, size_t size) noexcept {
  return li::probe_call<li::readlinkat>(dir_fd, path, dir_fd, path, buf, size);
}
VELMORA_EXPORT char* realpath(const char* path, char* resolved) noexcept {
  return li::probe_call<li::realpath>(AT_FDCWD, path, path, resolved);
}
VELMORA_EXPORT char* canonicalize_file_name(const char* path) noexcept {
  return li::probe_call<li::canonicalize_file_name>(AT_FDCWD, path, path);
}
