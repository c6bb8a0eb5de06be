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

namespace velmora_io {
namespace {

std::optional<uint64_t> parse_unsigned(std::string_view digits) noexcept {
  if (digits.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

std::optional<PipeIdentity> parse_pipe_identity(std::string_view value) noexcept {
  const std::size_t colon = value.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  // Split by hand: substr would bring in the C++ runtime's out-of-range exception.
  const std::optional<uint64_t> dev = parse_unsigned({value.data(), colon});
  const std::optional<uint64_t> ino = parse_unsigned({value.data() + colon + 1, value.size() - colon - 1});
  if (!dev || !ino) return std::nullopt;
  return PipeIdentity{*dev, *ino};
}

}  // namespace velmora_io
