// The table's side of a descriptor's life outside the data calls: close (both
// libraries), the numbers handed out and the closes of many (wide library).
#include "fd_life.h"

#include <unistd.h>

#include "connect_outcome.h"
#include "fd_map.h"
#include "library_kind.h"
#include "raw_syscalls.h"
#include "reentrancy.h"
#include "sink.h"
#include "std_streams.h"
#include "unnameable.h"

namespace velmora_io::linux_intercept {

void forget_fd(int fd) noexcept {
  if (fd < 0) return;
  pipe_number_gone(fd);
  std_stream_changed(fd);
  connect_settled(fd);
  run_guarded([&] { table_remove(fd, nullptr, pid_for_table()); });
}

void duplicated_fd(int from, int to) noexcept {
  if (to < 0) return;
  pipe_number_gone(to);
  std_stream_changed(to);
  connect_settled(to);
  // The standard streams keep no entry of their own: their state above decides.
  if (to < 3) return;
  run_guarded([&] { table_copy_quietly(from, to, pid_for_table()); });
}

namespace {

// The entry taken out and, when there was one, "close" reported.
void report_close(int fd) noexcept {
  run_guarded([&] {
    const int32_t pid = pid_for_table();  // one for the table's owner check and the line
    TextCopy name;
    if (table_remove(fd, &name, pid)) log_event("close", name.view(), fd, pid);
  });
}

}  // namespace

void closing_fd(int fd) noexcept {
  if (!observed_fd(fd)) return;
  report_close(fd);
  std_stream_changed(fd);
}

int close_with(int (*real)(int), int fd) noexcept {
  forget_unnameable(fd);
  // Giving up the sink's number switches the pipe off, before any line could follow it.
  pipe_number_gone(fd);
  if (observed_fd(fd)) {
    report_close(fd);
    if constexpr (WIDE_LIBRARY) std_stream_changed(fd);
    return real(fd);
  }
  const int result = real(fd);
  if constexpr (WIDE_LIBRARY) std_stream_changed(fd);
  return result;
}

}  // namespace velmora_io::linux_intercept
