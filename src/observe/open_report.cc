// The open events shared by the descriptor and the stream calls (wide library): the
// two steps every open wrapper runs around its real call.
#include "open_report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>

#include "errno_saver.h"
#include "fd_life.h"
#include "fd_map.h"
#include "link_name.h"
#include "raw_syscalls.h"
#include "reentrancy.h"
#include "sink.h"
#include "path_report.h"
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

// The slow half of report_path_used: the path made absolute and folded (a relative one,
// or one with dots), or one that led elsewhere. Out of line: the folding's room is not
// under an open that needs none.
[[gnu::noinline]] void report_folded_path_used(int dir_fd, const char* path, std::string_view target,
                                               int32_t pid) noexcept {
  TextCopy given;
  if (absolute_file_name(dir_fd, path, &given, pid) && given.view() != target) {
    log_event("query", given.view(), -1, pid);
  }
}

// The name the program gave, when the descriptor is known by another (a symbolic link
// on the way): a "query" of it, so that the path used shows beside the file it led to.
// Out of line, so that nothing of it stays under the open's own lines.
[[gnu::noinline]] void report_path_used(int dir_fd, const char* path, std::string_view target, int32_t pid) noexcept {
  constexpr std::string_view FILE_PREFIX = "file:";
  const std::string_view given(path, ::strnlen(path, PATH_MAX));
  if (folds_to_itself(given) && target.size() == FILE_PREFIX.size() + given.size() && target.starts_with(FILE_PREFIX) &&
      target.ends_with(given)) {
    return;
  }
  report_folded_path_used(dir_fd, path, target, pid);
}

// The name the new descriptor's link would show, without reading it: with O_NOFOLLOW and
// a path of one component (not "." or ".."), no symbolic link lies between the
// directory and the file, so the directory's known name (the table's, the working
// directory's memo) and that component are the name. A walk of a tree opens each entry
// so. Otherwise, or when the directory's name is not at hand, the link is read.
// A name made so is the path used as well.
enum class Named : uint8_t { NOT, FROM_PATH, FROM_LINK };
[[gnu::noinline]] Named name_of_opened(int fd, int dir_fd, const char* path, int flags, int32_t pid,
                                       TextCopy* name) noexcept {
  if ((flags & O_NOFOLLOW) != 0 && path != nullptr) {
    const std::string_view given(path, ::strnlen(path, NAME_MAX + 1));
    if (!given.empty() && given.size() <= NAME_MAX && given != "." && given != ".." &&
        given.find('/') == std::string_view::npos && absolute_file_name(dir_fd, path, name, pid)) {
      return Named::FROM_PATH;
    }
  }
  return link_stage(fd, name) ? Named::FROM_LINK : Named::NOT;
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
    const int32_t pid = pid_for_table();
    TextCopy name;
    const Named named = reported ? name_of_opened(fd, dir_fd, path, intent.flags, pid, &name) : Named::NOT;
    if (named == Named::NOT || !table_insert(fd, name.view(), pid)) {
      table_remove(fd, nullptr, pid);
      return;
    }
    if (named == Named::FROM_LINK) report_path_used(dir_fd, path, name.view(), pid);
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
