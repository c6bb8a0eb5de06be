// close_range and closefrom (wide library): "close" for every named descriptor they are
// about to close, and the entries removed, as close does one at a time. A range over the
// sink's pipe number or the library's duplicate of it switches the pipe off, as close
// of that number does, and closes the duplicate with the rest.
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
  constexpr std::size_t BATCH = 8;  // small: signal handlers may run on small stacks
  int32_t named[BATCH];
  for (unsigned from = first;;) {
    const std::size_t n = table_named_in(from, last, named, BATCH);
    for (std::size_t i = 0; i < n; ++i) closing_fd(named[i]);
    if (n < BATCH || static_cast<unsigned>(named[n - 1]) >= last) return;
    from = static_cast<unsigned>(named[n - 1]) + 1;
  }
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
  velmora_io::pipe_range_closing(first, last);
  return real(first, last, flags);
}

VELMORA_EXPORT void closefrom(int low_fd) noexcept {
  auto* real = li::closefrom::get();
  if (real == nullptr) return li::real_function_missing<void>();
  const unsigned low = low_fd < 0 ? 0u : static_cast<unsigned>(low_fd);
  li::closing_range(low, ~0u);
  velmora_io::pipe_range_closing(low, ~0u);
  real(low_fd);
}
