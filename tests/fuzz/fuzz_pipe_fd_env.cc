// Descriptor number parsing against the C library's own conversion.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "pipe_fd_env.h"

namespace {

// strtoll with every leniency taken away: no leading blanks (checked before the call),
// the whole string consumed (which also rules out embedded zeros), no overflow, and
// the value inside 32 bits.
std::optional<int32_t> model(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const std::size_t digit_at = (text[0] == '+' || text[0] == '-') ? 1 : 0;
  if (digit_at >= text.size() || text[digit_at] < '0' || text[digit_at] > '9') return std::nullopt;
  const std::string copy(text);
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(copy.c_str(), &end, 10);
  if (errno == ERANGE || end != copy.c_str() + copy.size()) return std::nullopt;
  if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (velmora_io::parse_pipe_fd(text) != model(text)) std::abort();
  return 0;
}
