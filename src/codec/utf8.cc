#include "utf8.h"

#include <cstring>

namespace velmora_io {

Utf8Step next_utf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  const unsigned char lead = p[0];
  if (lead < 0x80) return {true, 1, lead};
  std::size_t need;
  char32_t value;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    value = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;  // overlong below
    if (lead == 0xED) hi = 0x9F;  // surrogates above
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    value = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;  // overlong below
    if (lead == 0xF4) hi = 0x8F;  // beyond U+10FFFF above
  } else {
    return {false, 1, 0};
  }
  // Narrowing the second byte's range rules out overlongs, surrogates and values
  // past U+10FFFF, so a sequence that gets through is a scalar value.
  for (std::size_t i = 1; i <= need; ++i) {
    if (i >= n) return {false, i, 0};
    const unsigned char c = p[i];
    const bool ok = (i == 1) ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
    if (!ok) return {false, i, 0};
    value = (value << 6) | (c & 0x3F);
  }
  return {true, need + 1, value};
}

bool is_valid_utf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  while (n > 0) {
    // ASCII runs are the common case: eight bytes at a time while none has its top bit.
    uint64_t word;
    if (n >= sizeof(word) && (std::memcpy(&word, p, sizeof(word)), (word & 0x8080808080808080ull) == 0)) {
      p += sizeof(word);
      n -= sizeof(word);
      continue;
    }
    if (p[0] < 0x80) {
      ++p;
      --n;
      continue;
    }
    const Utf8Step step = next_utf8({reinterpret_cast<const char*>(p), n});
    if (!step.valid) return false;
    p += step.length;
    n -= step.length;
  }
  return true;
}

std::size_t lossy_utf8(std::string_view bytes, char* out) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  std::size_t written = 0;
  while (n > 0) {
    const Utf8Step step = next_utf8({reinterpret_cast<const char*>(p), n});
    if (step.valid) {
      std::memcpy(out + written, p, step.length);
      written += step.length;
    } else {
      std::memcpy(out + written, "\xEF\xBF\xBD", 3);
      written += 3;
    }
    p += step.length;
    n -= step.length;
  }
  return written;
}

}  // namespace velmora_io
