#include "std_streams.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "errno_saver.h"
#include "fd_life.h"
#include "fd_map.h"
#include "process_identity.h"
#include "raw_syscalls.h"
#include "reentrancy.h"

namespace velmora_io::linux_intercept {

constinit std::atomic<uint8_t> STD_STATE[3] = {};

bool std_stream_observed(int32_t fd) noexcept {
  std::atomic<uint8_t>& state = STD_STATE[fd];
  const uint8_t known = state.load(std::memory_order_acquire);
  if (known != STD_UNKNOWN) return known == STD_OBSERVED;
  ErrnoSaver caller_errno;
  struct stat st;
  const bool observed =
      raw::fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISSOCK(st.st_mode));
  // A vfork child has descriptors of its own: its answer is not its parent's.
  if (owned_here()) state.store(observed ? STD_OBSERVED : STD_PASSED_OVER, std::memory_order_release);
  return observed;
}

void std_stream_changed(int32_t fd) noexcept {
  if (fd < 0 || fd > 2) return;
  STD_STATE[fd].store(STD_UNKNOWN, std::memory_order_release);
  run_guarded([&] { table_remove(fd, nullptr, pid_for_table()); });
}

}  // namespace velmora_io::linux_intercept
