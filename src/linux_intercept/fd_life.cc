#include "fd_life.h"

#include <unistd.h>

#include "connect_outcome.h"
#include "fd_map.h"
#include "reentrancy.h"
#include "sink.h"
#include "std_streams.h"

namespace velmora_io::linux_intercept {

void forget_fd(int fd) noexcept {
  if (fd < 0) return;
  pipe_number_gone(fd);
  std_stream_changed(fd);
  connect_settled(fd);
  run_guarded([&] { table_remove(fd); });
}

void closing_fd(int fd) noexcept {
  if (!observed_fd(fd)) return;
  run_guarded([&] {
    const int32_t pid = ::getpid();  // one for the table's owner check and the line
    TextCopy name;
    if (table_remove(fd, &name, pid)) log_event("close", name.view(), fd, pid);
  });
  std_stream_changed(fd);
}

}  // namespace velmora_io::linux_intercept
