// The open events shared by the descriptor and the stream calls (wide library): the
// two steps every open wrapper runs around its real call.
#include "open_report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "errno_saver.h"
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
    const int32_t pid = raw::getpid();
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
