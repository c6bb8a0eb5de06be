// Calls that change names in the file system (wide library), reported after they
// succeed: "delete" (unlink, unlinkat, remove, rmdir), "rename_from" and "rename_to"
// back to back from one thread (rename, renameat, renameat2), "make_dir" (mkdir,
// mkdirat), "link_from" and "link_to" (link, linkat), "symlink" (the new link's name).
// A call that finds its path absent reports it "missing". Paths as path_report.h
// makes them.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "errno_saver.h"
#include "export.h"
#include "process_identity.h"
#include "reentrancy.h"
#include "sink.h"
#include "path_report.h"
#include "slots.h"

namespace velmora_io::linux_intercept {
namespace {

template <typename Slot, typename... Args>
int path_call(std::string_view kind, int dir_fd, const char* path, Args... args) noexcept {
  auto* real = Slot::get();
  if (real == nullptr) return real_function_missing<int>();
  const int result = real(args...);
  report_outcome(result, kind, dir_fd, path);
  return result;
}

// Two names of one call as two lines with nothing of this thread between them.
template <typename Slot, typename... Args>
int pair_call(std::string_view from_kind, std::string_view to_kind, int from_dir, const char* from,
              int to_dir, const char* to, Args... args) noexcept {
  auto* real = Slot::get();
  if (real == nullptr) return real_function_missing<int>();
  const int result = real(args...);
  if (result != 0) {
    report_if_missing(errno, from_dir, from);
    return result;
  }
  run_guarded([&] {
    ErrnoSaver caller_errno;
    TextCopy from_name;
    TextCopy to_name;
    if (!absolute_file_name(from_dir, from, &from_name) || !absolute_file_name(to_dir, to, &to_name)) return;
    const int32_t pid = current_pid();
    log_own_event(from_kind, from_name.view(), -1, pid);
    log_own_event(to_kind, to_name.view(), -1, pid);
  });
  return result;
}

}  // namespace
}  // namespace velmora_io::linux_intercept

namespace li = velmora_io::linux_intercept;

VELMORA_EXPORT int unlink(const char* path) noexcept {
  return li::path_call<li::unlink>("delete", AT_FDCWD, path, path);
}
VELMORA_EXPORT int unlinkat(int dir_fd, const char* path, int flags) noexcept {
  return li::path_call<li::unlinkat>("delete", dir_fd, path, dir_fd, path, flags);
}
VELMORA_EXPORT int remove(const char* path) noexcept {
  return li::path_call<li::remove>("delete", AT_FDCWD, path, path);
}
VELMORA_EXPORT int rmdir(const char* path) noexcept {
  return li::path_call<li::rmdir>("delete", AT_FDCWD, path, path);
}
VELMORA_EXPORT int mkdir(const char* path, mode_t mode) noexcept {
  return li::path_call<li::mkdir>("make_dir", AT_FDCWD, path, path, mode);
}
VELMORA_EXPORT int mkdirat(int dir_fd, const char* path, mode_t mode) noexcept {
  return li::path_call<li::mkdirat>("make_dir", dir_fd, path, dir_fd, path, mode);
}
VELMORA_EXPORT int symlink(const char* target, const char* path) noexcept {
  return li::path_call<li::symlink>("symlink", AT_FDCWD, path, target, path);
}
VELMORA_EXPORT int symlinkat(const char* target, int dir_fd, const char* path) noexcept {
  return li::path_call<li::symlinkat>("symlink", dir_fd, path, target, dir_fd, path);
}
VELMORA_EXPORT int rename(const char* from, const char* to) noexcept {
  return li::pair_call<li::rename>("rename_from", "rename_to", AT_FDCWD, from, AT_FDCWD, to, from, to);
}
VELMORA_EXPORT int renameat(int from_dir, const char* from, int to_dir, const char* to) noexcept {
  return li::pair_call<li::renameat>("rename_from", "rename_to", from_dir, from, to_dir, to, from_dir, from,
                                     to_dir, to);
}
VELMORA_EXPORT int renameat2(int from_dir, const char* from, int to_dir, const char* to,
                             unsigned int flags) noexcept {
  return li::pair_call<li::renameat2>("rename_from", "rename_to", from_dir, from, to_dir, to, from_dir, from,
                                      to_dir, to, flags);
}
VELMORA_EXPORT int link(const char* from, const char* to) noexcept {
  return li::pair_call<li::link>("link_from", "link_to", AT_FDCWD, from, AT_FDCWD, to, from, to);
}
VELMORA_EXPORT int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) noexcept {
  return li::pair_call<li::linkat>("link_from", "link_to", from_dir, from, to_dir, to, from_dir, from, to_dir,
                                   to, flags);
}
