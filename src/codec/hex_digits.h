// The digits of lower-case hexadecimal, for every place that spells bytes in hex.
#pragma once

namespace velmora_io {

inline constexpr char HEX_DIGITS[] = "0123456789abcdef";

}  // namespace velmora_io
