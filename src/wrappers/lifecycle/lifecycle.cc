// close, dup2, dup3: keep FD_MAP in step with the life of descriptors, so a
// reused descriptor number is named afresh.
#include <unistd.h>

#include "export.h"
#include "fd_map.h"
#include "reentrancy.h"
#include "sink.h"
#include "unnameable.h"
#include "slots.h"
#include "std_streams.h"
#include "fd_life.h"

namespace velmora_io::linux_intercept {

// Drops the entry of the descriptor that a successful dup2/dup3 overwrote; no event.
void forget_duped_fd(int result, int new_fd) noexcept {
  if (result < 0 || new_fd < 3) return;
  if (is_sink_fd(new_fd)) return;
  run_guarded([&] { table_remove(new_fd); });
}

namespace {

void after_dup(int result, int old_fd, int new_fd) noexcept {
  // dup2 onto itself closes nothing: the descriptor keeps its name (a datagram socket
  // named by sendto, an unlinked file could not be named again).
  if (result >= 0 && old_fd == new_fd) return;
  if constexpr (WIDE_LIBRARY) {
    if (result >= 0 && !is_sink_fd(new_fd)) duplicated_fd(old_fd, new_fd);
  } else {
    forget_duped_fd(result, new_fd);
  }
}

}  // namespace

}  // namespace velmora_io::linux_intercept

namespace vio = velmora_io;
namespace li = velmora_io::linux_intercept;

VELMORA_EXPORT int close(int fd) {
  auto* real = li::close::get();
  if (real == nullptr) return li::real_function_missing<int>();
  return li::close_with(real, fd);
}

VELMORA_EXPORT int dup2(int old_fd, int new_fd) noexcept {
  auto* real = li::dup2::get();
  if (real == nullptr) return li::real_function_missing<int>();
  if (old_fd != new_fd) vio::pipe_number_gone(new_fd);  // the program gets its own object there
  const int result = real(old_fd, new_fd);
  if (result >= 0) vio::forget_unnameable(new_fd);
  li::after_dup(result, old_fd, new_fd);
  return result;
}

VELMORA_EXPORT int dup3(int old_fd, int new_fd, int flags) noexcept {
  auto* real = li::dup3::get();
  if (real == nullptr) return li::real_function_missing<int>();
  if (old_fd != new_fd) vio::pipe_number_gone(new_fd);  // the program gets its own object there
  const int result = real(old_fd, new_fd, flags);
  if (result >= 0) vio::forget_unnameable(new_fd);
  li::after_dup(result, old_fd, new_fd);
  return result;
}
