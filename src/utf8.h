// UTF-8 well-formedness as the Unicode Standard defines it (no overlongs, no
// surrogates, nothing above U+10FFFF), and the lossy conversion that stands U+FFFD in
// for each maximal ill-formed subpart. No allocation: callers own the buffers.
#pragma once

#include <cstddef>
#include <string_view>

namespace velmora_io {

bool is_valid_utf8(std::string_view bytes) noexcept;

// Room that lossy_utf8 may need for `n` input bytes (each bad byte becomes 3).
constexpr std::size_t lossy_utf8_capacity(std::size_t n) noexcept { return 3 * n; }

// Writes the lossy conversion of `bytes` to `out`, which must hold
// lossy_utf8_capacity(bytes.size()) bytes; returns the count written.
std::size_t lossy_utf8(std::string_view bytes, char* out) noexcept;

}  // namespace velmora_io
