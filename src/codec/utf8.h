// UTF-8 well-formedness as the Unicode Standard defines it (no overlongs, no
// surrogates, nothing above U+10FFFF), and the lossy conversion that stands U+FFFD in
// for each maximal ill-formed subpart. No allocation: callers own the buffers.
#pragma once

#include <cstddef>
#include <string_view>

namespace velmora_io {

// One step through UTF-8: at the start of a non-empty `bytes`, either a well-formed
// sequence (valid, its length 1 to 4 and its code point) or the maximal ill-formed
// subpart there (not valid, its length at least 1, code point 0).
struct Utf8Step {
  bool valid;
  std::size_t length;
  char32_t code_point;
};
Utf8Step next_utf8(std::string_view bytes) noexcept;

bool is_valid_utf8(std::string_view bytes) noexcept;

// Room that lossy_utf8 may need for `n` input bytes (each bad byte becomes 3).
constexpr std::size_t lossy_utf8_capacity(std::size_t n) noexcept { return 3 * n; }

// Writes the lossy conversion of `bytes` to `out`, which must hold
// lossy_utf8_capacity(bytes.size()) bytes; returns the count written.
std::size_t lossy_utf8(std::string_view bytes, char* out) noexcept;

}  // namespace velmora_io
