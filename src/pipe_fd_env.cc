#include "pipe_fd_env.h"

namespace velmora_io {

std::optional<int32_t> parse_pipe_fd(std::string_view value) noexcept {
  bool negative = false;
  if (!value.empty() && (value.front() == '+' || value.front() == '-')) {
    negative = value.front() == '-';
    value.remove_prefix(1);
  }
  if (value.empty()) return std::nullopt;
  // Accumulate the magnitude; 2147483648 is allowed only with a minus sign.
  constexpr int64_t LIMIT = int64_t{INT32_MAX} + 1;
  int64_t magnitude = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > LIMIT) return std::nullopt;
  }
  if (!negative && magnitude == LIMIT) return std::nullopt;
  return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

}  // namespace velmora_io
