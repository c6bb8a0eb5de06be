// Program starts (wide library): the exec family, fexecve, execveat, posix_spawn and
// posix_spawnp report "exec" before the program is replaced, so the host can name the
// process by what it becomes.
//
// The detail is the program's absolute path, then its arguments from argv[0], each field
// escaped as the line codec escapes a detail (backslash, TAB and LF as \\, \t and \n) and
// joined by a TAB; the line codec escapes once more on top. A reader undoes the line's
// escapes, splits at TAB and undoes each field's escapes: every argument comes back
// exactly, TABs and backslashes in it included. fd is -1.
//
// An exec that returns failed: "exec_failed" names the program (and "missing" too when
// it does not exist); the process goes on as what it was. The searching forms (execvp,
// execvpe, execlp, posix_spawnp) look along PATH first, as the C library will, and
// report each place that has no such program "missing". posix_spawn's child never
// runs a wrapper: its parent writes the line after the spawn, under the child's pid
// (the tid is the parent's thread), so it may follow the child's own first lines.
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "errno_saver.h"
#include "event_line.h"
#include "export.h"
#include "link_name.h"
#include "raw_syscalls.h"
#include "reentrancy.h"
#include "sink.h"
#include "path_report.h"
#include "slots.h"

extern char** environ;

namespace velmora_io::linux_intercept {
namespace {

// An exec is reported before the call, from the caller's memory, which the kernel
// would refuse with EFAULT if it could not be read: each page a text or the argument
// list reaches is asked about first (raw::readable; arguments mostly share a page or
// two, so few are asked), and nothing is reported when one cannot be read, so the call
// fails as it would without the library.
class ReadablePages {
 public:
  bool text(const char* text) noexcept {
    for (const char* at = text;; ++at) {
      if (!byte(at)) return false;
      if (*at == '\0') return true;
    }
  }
  bool list(char* const* list) noexcept {
    if (list == nullptr) return true;  // taken as an empty list
    for (char* const* at = list;; ++at) {
      if (!byte(at) || (*at != nullptr && !text(*at))) return false;
      if (*at == nullptr) return true;
    }
  }

 private:
  bool byte(const void* at) noexcept {
    const std::uintptr_t page = reinterpret_cast<std::uintptr_t>(at) & ~(raw::PAGE - 1);
    if (page == known_) return true;
    if (!raw::readable(at)) return false;
    known_ = page;
    return true;
  }
  std::uintptr_t known_ = 0;  // page 0 is never readable
};

// The absolute path of a program, without the "file:" a resource name carries.
std::string_view program_path(const TextCopy& name) noexcept {
  std::string_view text = name.view();
  if (text.starts_with(FILE_PREFIX)) text.remove_prefix(FILE_PREFIX.size());
  return text;
}

// Writes the detail described above into *out.
bool exec_detail(std::string_view program, char* const* argv, TextCopy* out) noexcept {
  std::size_t size = escaped_size(program);
  if (argv != nullptr) {
    for (char* const* arg = argv; *arg != nullptr; ++arg) size += 1 + escaped_size(*arg);
  }
  char* to = out->reserve(size);
  if (to == nullptr) return false;
  to = escape_detail(program, to);
  if (argv != nullptr) {
    for (char* const* arg = argv; *arg != nullptr; ++arg) {
      *to++ = '\t';
      to = escape_detail(*arg, to);
    }
  }
  return true;
}

// "exec" (or "exec_failed") for `program` with `argv`, as `pid` (the caller's own
// unless `callers_pid` is false).
void report_program(std::string_view kind, const TextCopy& program, char* const* argv, int32_t pid,
                    bool callers_pid = true) noexcept {
  if (program.empty()) return;
  run_guarded([&] {
    TextCopy detail;
    if (exec_detail(program_path(program), argv, &detail)) log_own_event(kind, detail.view(), -1, pid, callers_pid);
  });
}

// The program a path names, made absolute (dir_fd AT_FDCWD: the working directory; a
// path of "" with AT_EMPTY_PATH: dir_fd itself).
void name_program(int dir_fd, const char* path, int flags, TextCopy* program) noexcept {
  ErrnoSaver caller_errno;
  if (path != nullptr && !ReadablePages().text(path)) return;
  if (path != nullptr && path[0] == '\0' && (flags & AT_EMPTY_PATH) != 0) {
    link_stage(dir_fd, program);
  } else {
    absolute_file_name(dir_fd, path, program);
  }
}

// PATH as the C library's search reads it: the environment's, else its default.
const char* search_path() noexcept {
  if (environ != nullptr) {
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::strncmp(*e, "PATH=", 5) == 0) return *e + 5;
    }
  }
  return "/bin:/usr/bin";
}

// The searching forms: a name without a slash is looked for along PATH; each place
// without it is reported "missing", and the first that has it named into *program.
void search_program(const char* file, TextCopy* program) noexcept {
  ErrnoSaver caller_errno;
  if (file == nullptr || !ReadablePages().text(file) || file[0] == '\0') return;
  if (std::strchr(file, '/') != nullptr) {
    absolute_file_name(AT_FDCWD, file, program);
    return;
  }
  const std::size_t file_len = std::strlen(file);
  for (const char* dir = search_path();; ++dir) {
    const char* end = std::strchr(dir, ':');
    if (end == nullptr) end = dir + std::strlen(dir);
    const std::size_t dir_len = static_cast<std::size_t>(end - dir);
    TextCopy candidate;
    char* p = candidate.reserve(dir_len + 1 + file_len + 1);
    if (p == nullptr) return;
    std::memcpy(p, dir, dir_len);  // an empty entry is the working directory
    std::size_t at = dir_len;
    if (dir_len > 0) p[at++] = '/';
    std::memcpy(p + at, file, file_len + 1);
    if (raw::access_at(AT_FDCWD, p, X_OK) == 0) {
      absolute_file_name(AT_FDCWD, p, program);
      return;
    }
    if (means_missing(errno)) report_path("missing", AT_FDCWD, p);
    if (*end == '\0') return;
    dir = end;
  }
}

// After an exec that returned, with its errno.
void exec_returned(const TextCopy& program, const char* path, int err) noexcept {
  report_program("exec_failed", program, nullptr, raw::getpid());
  if (means_missing(err) && path != nullptr && std::strchr(path, '/') != nullptr) {
    report_path("missing", AT_FDCWD, path);
  }
  errno = err;
}

template <typename Slot, typename... Args>
int exec_call(const TextCopy& program, const char* path, char* const* argv, Args... args) noexcept {
  auto* real = Slot::get();
  if (real == nullptr) return real_function_missing<int>();
  if (ReadablePages().list(argv)) report_program("exec", program, argv, raw::getpid());
  const int result = real(args...);
  exec_returned(program, path, errno);
  return result;
}

template <typename Slot>
int spawn_call(const TextCopy& program, pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
               const posix_spawnattr_t* attr, char* const* argv, char* const* envp) noexcept {
  auto* real = Slot::get();
  if (real == nullptr) return ENOSYS;  // the spawn calls return the error, not -1
  const int result = real(pid, path, actions, attr, argv, envp);
  ErrnoSaver caller_errno;
  if (result == 0) {
    if (pid != nullptr) report_program("exec", program, argv, *pid, false);
  } else {
    report_program("exec_failed", program, nullptr, raw::getpid());
  }
  return result;
}

// popen's child, started by the C library's own spawn that no wrapper sees: its
// stream keeps the pid right after the stream itself (the C library's process stream,
// laid out so since its first versions). The number is believed only when the kernel
// says it is a child of this process, else nothing is reported.
pid_t popen_child(FILE* stream) noexcept {
  struct ProcessStream {
    FILE file;
    const void* jumps;
    pid_t pid;
  };
  const pid_t pid = reinterpret_cast<const ProcessStream*>(stream)->pid;
  ErrnoSaver caller_errno;
  return raw::is_child(pid) ? pid : 0;
}

// "exec" of the shell the C library starts for a command: /bin/sh, named "sh", given
// "-c" and the command, as it does.
void report_shell(const char* command, pid_t pid) noexcept {
  if (pid <= 0 || command == nullptr) return;
  ErrnoSaver caller_errno;
  TextCopy shell;
  if (!shell.assign("/bin/sh")) return;
  char* const argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(command), nullptr};
  report_program("exec", shell, argv, pid, false);  // the child's pid, not this thread's
}

// The variadic argument list of execl and kin as an argv on the caller's stack, as the
// C library builds it.
#define VELMORA_ARGV_FROM_VARARGS(first, last_arg)                                   \
  std::size_t count = 1;                                                             \
  {                                                                                  \
    va_list ap;                                                                      \
    va_start(ap, last_arg);                                                          \
    while (va_arg(ap, const char*) != nullptr) ++count;                              \
    va_end(ap);                                                                      \
  }                                                                                  \
  auto** argv = static_cast<char**>(__builtin_alloca((count + 1) * sizeof(char*))); \
  argv[0] = const_cast<char*>(first);                                                \
  {                                                                                  \
    va_list ap;                                                                      \
    va_start(ap, last_arg);                                                          \
    for (std::size_t i = 1; i <= count; ++i) argv[i] = va_arg(ap, char*);           \
    va_end(ap);                                                                      \
  }

}  // namespace
}  // namespace velmora_io::linux_intercept

namespace vio = velmora_io;
namespace li = velmora_io::linux_intercept;

VELMORA_EXPORT int execve(const char* path, char* const argv[], char* const envp[]) noexcept {
  vio::TextCopy program;
  li::name_program(AT_FDCWD, path, 0, &program);
  return li::exec_call<li::execve>(program, path, argv, path, argv, envp);
}

VELMORA_EXPORT int execveat(int dir_fd, const char* path, char* const argv[], char* const envp[],
                            int flags) noexcept {
  vio::TextCopy program;
  li::name_program(dir_fd, path, flags, &program);
  return li::exec_call<li::execveat>(program, nullptr, argv, dir_fd, path, argv, envp, flags);
}

VELMORA_EXPORT int fexecve(int fd, char* const argv[], char* const envp[]) noexcept {
  vio::TextCopy program;
  li::name_program(fd, "", AT_EMPTY_PATH, &program);
  return li::exec_call<li::fexecve>(program, nullptr, argv, fd, argv, envp);
}

VELMORA_EXPORT int execv(const char* path, char* const argv[]) noexcept {
  vio::TextCopy program;
  li::name_program(AT_FDCWD, path, 0, &program);
  return li::exec_call<li::execv>(program, path, argv, path, argv);
}

VELMORA_EXPORT int execvp(const char* file, char* const argv[]) noexcept {
  vio::TextCopy program;
  li::search_program(file, &program);
  return li::exec_call<li::execvp>(program, file, argv, file, argv);
}

VELMORA_EXPORT int execvpe(const char* file, char* const argv[], char* const envp[]) noexcept {
  vio::TextCopy program;
  li::search_program(file, &program);
  return li::exec_call<li::execvpe>(program, file, argv, file, argv, envp);
}

VELMORA_EXPORT int execl(const char* path, const char* arg, ...) noexcept {
  VELMORA_ARGV_FROM_VARARGS(arg, arg)
  return execv(path, argv);
}

VELMORA_EXPORT int execlp(const char* file, const char* arg, ...) noexcept {
  VELMORA_ARGV_FROM_VARARGS(arg, arg)
  return execvp(file, argv);
}

VELMORA_EXPORT int execle(const char* path, const char* arg, ...) noexcept {
  VELMORA_ARGV_FROM_VARARGS(arg, arg)
  va_list ap;  // the environment follows the terminating null
  va_start(ap, arg);
  for (std::size_t i = 0; i < count; ++i) va_arg(ap, char*);
  char* const* envp = va_arg(ap, char* const*);
  va_end(ap);
  return execve(path, argv, envp);
}

VELMORA_EXPORT int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                               const posix_spawnattr_t* attr, char* const argv[], char* const envp[]) {
  vio::TextCopy program;
  li::name_program(AT_FDCWD, path, 0, &program);
  return li::spawn_call<li::posix_spawn>(program, pid, path, actions, attr, argv, envp);
}

VELMORA_EXPORT int posix_spawnp(pid_t* pid, const char* file, const posix_spawn_file_actions_t* actions,
                                const posix_spawnattr_t* attr, char* const argv[], char* const envp[]) {
  vio::TextCopy program;
  li::search_program(file, &program);
  return li::spawn_call<li::posix_spawnp>(program, pid, file, actions, attr, argv, envp);
}

VELMORA_EXPORT FILE* popen(const char* command, const char* mode) {
  auto* real = li::popen::get();
  if (real == nullptr) return li::real_function_missing<FILE*>();
  FILE* stream = real(command, mode);
  if (stream != nullptr) li::report_shell(command, li::popen_child(stream));
  return stream;
}
