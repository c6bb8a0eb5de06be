#include "utf8.h"

#include <cstring>

namespace velmora_io {
namespace {

// Length of the well-formed sequence at p, or minus the length of its maximal
// ill-formed subpart (at least 1). n > 0.
int next_sequence(const unsigned char* p, std::size_t n) noexcept {
  const unsigned char lead = p[0];
  if (lead < 0x80) return 1;
  int need;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return -1;
  }
  for (int i = 1; i <= need; ++i) {
    if (static_cast<std::size_t>(i) >= n) return -i;
    const unsigned char c = p[i];
    const bool ok = (i == 1) ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
    if (!ok) return -i;
  }
  return need + 1;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  while (n > 0) {
    if (p[0] < 0x80) {  // ASCII runs are the common case
      ++p;
      --n;
      continue;
    }
    const int len = next_sequence(p, n);
    if (len < 0) return false;
    p += len;
    n -= static_cast<std::size_t>(len);
  }
  return true;
}

std::size_t lossy_utf8(std::string_view bytes, char* out) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  std::size_t written = 0;
  while (n > 0) {
    const int len = next_sequence(p, n);
    if (len > 0) {
      std::memcpy(out + written, p, static_cast<std::size_t>(len));
      written += static_cast<std::size_t>(len);
      p += len;
      n -= static_cast<std::size_t>(len);
    } else {
      std::memcpy(out + written, "\xEF\xBF\xBD", 3);
      written += 3;
      p += -len;
      n -= static_cast<std::size_t>(-len);
    }
  }
  return written;
}

}  // namespace velmora_io
