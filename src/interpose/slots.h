// The real-function slot of every interposed function, named after it:
// linux_intercept::read::ADDR, linux_intercept::read::RESOLVED, and so on, one per
// line of entry_points.h.
#pragma once

#include <stdio.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <type_traits>

#include "real_function.h"
#include "entry_points.h"

namespace velmora_io::linux_intercept {

#define VELMORA_SLOT(library, family, name, result, params) \
  using name = RealFunction<#name, result params>;
VELMORA_ENTRY_POINTS(VELMORA_SLOT)
#undef VELMORA_SLOT

// What every wrapper does when the process has no real definition to forward to: the
// call fails with ENOSYS, returning -1, a null pointer, nothing for a void function, or
// the failure value given (EOF, MAP_FAILED).
template <typename Result>
inline Result real_function_missing() noexcept {
  errno = ENOSYS;
  if constexpr (std::is_void_v<Result>) {
    return;
  } else if constexpr (std::is_pointer_v<Result>) {
    return nullptr;
  } else {
    return static_cast<Result>(-1);
  }
}
template <typename Result>
inline Result real_function_missing(Result failure) noexcept {
  errno = ENOSYS;
  return failure;
}

}  // namespace velmora_io::linux_intercept
