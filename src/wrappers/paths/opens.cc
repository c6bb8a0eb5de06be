// open, openat, creat and their 64-bit and fortified forms, opendir and closedir, the mkstemp family
// and mkdtemp (wide library): the open events of open_report.h. fopen and freopen report
// through the same two steps (stdio_lifecycle.cc).
#include "open_report.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdarg>

#include "export.h"
#include "fd_life.h"
#include "path_report.h"
#include "slots.h"

namespace velmora_io::linux_intercept {
namespace {

// The mode argument exists only when the flags ask for a new file, as open(2) says.
constexpr bool needs_mode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

template <typename Slot, typename... Args>
int open_call(int dir_fd, const char* path, int flags, Args... args) noexcept {
  auto* real = Slot::get();
  if (real == nullptr) return real_function_missing<int>();
  const OpenIntent intent = before_open(dir_fd, path, flags);
  const int fd = real(args...);
  after_open(fd, dir_fd, path, intent);
  return fd;
}

// A new file made from a template (mkstemp and kin), the template now its name.
int made_from_template(int fd, char* path, int flags) noexcept {
  after_open(fd, AT_FDCWD, path, OpenIntent{O_RDWR | O_CREAT | O_EXCL | flags, false});
  return fd;
}

}  // namespace
}  // namespace velmora_io::linux_intercept

namespace li = velmora_io::linux_intercept;

#define VELMORA_MODE_FROM_VARARGS(flags)         \
  mode_t mode = 0;                               \
  if (li::needs_mode(flags)) {                   \
    va_list ap;                                  \
    va_start(ap, flags);                         \
    mode = static_cast<mode_t>(va_arg(ap, int)); \
    va_end(ap);                                  \
  }

VELMORA_EXPORT int open(const char* path, int flags, ...) {
  VELMORA_MODE_FROM_VARARGS(flags)
  return li::open_call<li::open>(AT_FDCWD, path, flags, path, flags, mode);
}

VELMORA_EXPORT int open64(const char* path, int flags, ...) {
  VELMORA_MODE_FROM_VARARGS(flags)
  return li::open_call<li::open64>(AT_FDCWD, path, flags, path, flags, mode);
}

VELMORA_EXPORT int openat(int dir_fd, const char* path, int flags, ...) {
  VELMORA_MODE_FROM_VARARGS(flags)
  return li::open_call<li::openat>(dir_fd, path, flags, dir_fd, path, flags, mode);
}

VELMORA_EXPORT int openat64(int dir_fd, const char* path, int flags, ...) {
  VELMORA_MODE_FROM_VARARGS(flags)
  return li::open_call<li::openat64>(dir_fd, path, flags, dir_fd, path, flags, mode);
}

// The checking forms a fortified build calls when the flags are not known at compile
// time (the C library refuses those that would need a mode): the same opens.
VELMORA_EXPORT int __open_2(const char* path, int flags) {
  return li::open_call<li::__open_2>(AT_FDCWD, path, flags, path, flags);
}

VELMORA_EXPORT int __open64_2(const char* path, int flags) {
  return li::open_call<li::__open64_2>(AT_FDCWD, path, flags, path, flags);
}

VELMORA_EXPORT int __openat_2(int dir_fd, const char* path, int flags) {
  return li::open_call<li::__openat_2>(dir_fd, path, flags, dir_fd, path, flags);
}

VELMORA_EXPORT int __openat64_2(int dir_fd, const char* path, int flags) {
  return li::open_call<li::__openat64_2>(dir_fd, path, flags, dir_fd, path, flags);
}

VELMORA_EXPORT int creat(const char* path, mode_t mode) {
  return li::open_call<li::creat>(AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, path, mode);
}

VELMORA_EXPORT int creat64(const char* path, mode_t mode) {
  return li::open_call<li::creat64>(AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, path, mode);
}

VELMORA_EXPORT DIR* opendir(const char* path) {
  auto* real = li::opendir::get();
  if (real == nullptr) return li::real_function_missing<DIR*>();
  DIR* dir = real(path);
  li::after_open(dir != nullptr ? ::dirfd(dir) : -1, AT_FDCWD, path, li::OpenIntent{O_RDONLY, false});
  return dir;
}

VELMORA_EXPORT int closedir(DIR* dir) {
  auto* real = li::closedir::get();
  if (real == nullptr) return li::real_function_missing<int>();
  // The C library closes the descriptor inside, where close sees nothing. A null
  // stream is declared impossible yet refused by the C library: hide the pointer from
  // the optimiser so the test stays.
  DIR* checked = dir;
  asm("" : "+r"(checked));
  if (checked != nullptr) li::closing_fd(::dirfd(checked));
  return real(dir);
}

#define VELMORA_TEMPLATE_OPEN(name, params, args, flags)   \
  VELMORA_EXPORT int name params {                         \
    auto* real = li::name::get();                          \
    if (real == nullptr) return li::real_function_missing<int>(); \
    return li::made_from_template(real args, path, flags); \
  }

VELMORA_TEMPLATE_OPEN(mkstemp, (char* path), (path), 0)
VELMORA_TEMPLATE_OPEN(mkstemp64, (char* path), (path), 0)
VELMORA_TEMPLATE_OPEN(mkostemp, (char* path, int flags), (path, flags), 0)
VELMORA_TEMPLATE_OPEN(mkostemp64, (char* path, int flags), (path, flags), 0)
VELMORA_TEMPLATE_OPEN(mkstemps, (char* path, int suffix), (path, suffix), 0)
VELMORA_TEMPLATE_OPEN(mkstemps64, (char* path, int suffix), (path, suffix), 0)
VELMORA_TEMPLATE_OPEN(mkostemps, (char* path, int suffix, int flags), (path, suffix, flags), 0)
VELMORA_TEMPLATE_OPEN(mkostemps64, (char* path, int suffix, int flags), (path, suffix, flags), 0)

VELMORA_EXPORT char* mkdtemp(char* path) {
  auto* real = li::mkdtemp::get();
  if (real == nullptr) return li::real_function_missing<char*>();
  char* made = real(path);
  if (made != nullptr) li::report_path("make_dir", AT_FDCWD, made);
  return made;
}
