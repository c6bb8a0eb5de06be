// close_range and closefrom (wide library): "close" for every named descriptor they are
// about to close, and the entries removed, as close does one at a time. The library's
// private duplicate of the sink's pipe is left open: the range is closed around it.
#include <linux/close_range.h>
#include <unistd.h>

#include <cstdint>

#include "export.h"
#include "fd_map.h"
#include "reentrancy.h"
#include "sink.h"
#include "fd_life.h"
#include "slots.h"

namespace velmora_io::linux_intercept {
namespace {

// The named numbers come from the table itself, a batch at a time on the stack: no
// descriptor is borrowed (a program at its descriptor limit would see its own opens
// fail) and nothing is allocated, so a signal handler may get here.
void closing_range(unsigned first, unsigned last) noexcept {
  if (IN_HOOK) return;
  // The sink's pipe among them is left to the sink's own checks: a vfork child (as
  // subprocess modules start) closes its descriptors here in its parent's memory, and
  // must not switch the parent's pipe off.
  constexpr std::size_t BATCH = 8;  // small: signal handlers may run on small stacks
  int32_t named[BATCH];
  for (unsigned from = first;;) {
    const std::size_t n = table_named_in(from, last, named, BATCH);
    for (std::size_t i = 0; i < n; ++i) closing_fd(named[i]);
    if (n < BATCH || static_cast<unsigned>(named[n - 1]) >= last) return;
    from = static_cast<unsigned>(named[n - 1]) + 1;
  }
}

// The private pipe's number when it lies inside [first, last] and the range is more
// than that number alone (a program that names exactly it closes it, as with close).
int kept_inside(unsigned first, unsigned last) noexcept {
  const int32_t kept = private_pipe_fd();
  if (kept < 0 || static_cast<unsigned>(kept) < first || static_cast<unsigned>(kept) > last) return -1;
  if (first == last) {
    private_pipe_closing(kept);
    return -1;
  }
  return kept;
}

}  // namespace
}  // namespace velmora_io::linux_intercept

namespace li = velmora_io::linux_intercept;

VELMORA_EXPORT int close_range(unsigned int first, unsigned int last, int flags) noexcept {
  auto* real = li::close_range::get();
  if (real == nullptr) return li::real_function_missing<int>();
  // CLOSE_RANGE_CLOEXEC only marks the descriptors; an invalid range closes nothing.
  if ((flags & CLOSE_RANGE_CLOEXEC) != 0 || first > last) return real(first, last, flags);
  li::closing_range(first, last);
  const int kept = li::kept_inside(first, last);
  if (kept < 0) return real(first, last, flags);
  const unsigned k = static_cast<unsigned>(kept);
  const int below = k > first ? real(first, k - 1, flags) : 0;
  if (below != 0 || k == last) return below;
  return real(k + 1, last, flags);
}

VELMORA_EXPORT void closefrom(int low_fd) noexcept {
  auto* real = li::closefrom::get();
  if (real == nullptr) return li::real_function_missing<void>();
  const unsigned low = low_fd < 0 ? 0u : static_cast<unsigned>(low_fd);
  li::closing_range(low, ~0u);
  const int kept = li::kept_inside(low, ~0u);
  auto* range = li::close_range::get();
  // Without close_range the whole range goes; the pipe's check then switches it off.
  if (kept < 0 || range == nullptr || (kept > low_fd && range(low, static_cast<unsigned>(kept) - 1, 0) != 0)) {
    real(low_fd);
    return;
  }
  real(kept + 1);
}
