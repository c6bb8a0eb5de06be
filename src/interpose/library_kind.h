// Which of the two libraries these sources are being built into: the narrow one (the
// fourteen functions, and nothing more) or the wide one (see entry_points.h).
#pragma once

#ifndef VELMORA_WIDE_LIBRARY
#error "VELMORA_WIDE_LIBRARY must be 0 or 1"
#endif

namespace velmora_io::linux_intercept {

inline constexpr bool WIDE_LIBRARY = VELMORA_WIDE_LIBRARY != 0;

}  // namespace velmora_io::linux_intercept
