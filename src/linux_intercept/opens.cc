// open, openat, creat and their 64-bit and fortified forms, opendir and closedir, the mkstemp family
// and mkdtemp (wide library): the open events of opens.h. fopen and freopen report
// through the same two steps (stdio_lifecycle.cc).
#include "opens.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

#include "errno_saver.h"
#include "export.h"
#include "fd_map.h"
#include "link_name.h"
#include "raw_syscalls.h"
#include "reentrancy.h"
#include "sink.h"
#include "fd_life.h"
#include "path_report.h"
#include "slots.h"
#include "std_streams.h"

namespace velmora_io::linux_intercept {
namespace {

std::string_view open_kind(int flags) noexcept {
  switch (flags & O_ACCMODE) {
    case O_WRONLY:
      return "open_write";
    case O_RDWR:
      return "open_read_write";
    default:
      return "open_read";
  }
}

bool proves_creation(const OpenIntent& intent) noexcept {
  if ((intent.flags & O_CREAT) == 0) return false;
  return (intent.flags & O_EXCL) != 0 || intent.absent_before;
}

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

OpenIntent before_open(int dir_fd, const char* path, int flags) noexcept {
  OpenIntent intent{flags, false};
  if ((flags & (O_CREAT | O_EXCL)) == O_CREAT && (flags & O_TMPFILE) != O_TMPFILE && !IN_HOOK) {
    ErrnoSaver caller_errno;
    // A raw call: an unreadable pointer gives EFAULT, never a fault in the library.
    intent.absent_before = raw::access_at(dir_fd, path, F_OK) != 0 && errno == ENOENT;
  }
  return intent;
}

void after_open(int fd, int dir_fd, const char* path, const OpenIntent& intent) noexcept {
  if (fd < 0) {
    report_if_missing(errno, dir_fd, path);
    return;
  }
  ErrnoSaver caller_errno;
  // The number was free: whatever the table or the sink held for it is stale.
  pipe_number_gone(fd);
  std_stream_changed(fd);
  const bool reported = (intent.flags & O_PATH) == 0;
  run_guarded([&] {
    const int32_t pid = ::getpid();
    TextCopy name;
    if (!reported || !link_stage(fd, &name) || !table_insert(fd, name.view(), pid)) {
      table_remove(fd, nullptr, pid);
      return;
    }
    if (proves_creation(intent)) log_event("create", name.view(), fd, pid);
    log_event(open_kind(intent.flags), name.view(), fd, pid);
  });
}

int stream_open_flags(const char* mode) noexcept {
  if (mode == nullptr) return O_RDONLY;
  int flags = mode[0] == 'r' ? O_RDONLY : (O_WRONLY | O_CREAT);
  for (const char* c = mode; *c != '\0' && *c != ','; ++c) {
    if (*c == '+') flags = (flags & ~O_ACCMODE) | O_RDWR;
    if (*c == 'x') flags |= O_EXCL;
  }
  return flags;
}

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
