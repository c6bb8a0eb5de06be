// A reference model of the "VELMORA_IO_FD" parser, stated through the C library:
// strtoll must consume the whole value (which also rules out blanks and embedded
// zeros), must start at a digit after an optional sign, and the value must fit in
// 32 bits. Shared by the unit test and the fuzzer so both check the same rule.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace velmora_test {

inline std::optional<int32_t> strtoll_model(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const std::size_t digits_at = (text[0] == '+' || text[0] == '-') ? 1 : 0;
  if (digits_at >= text.size() || text[digits_at] < '0' || text[digits_at] > '9') return std::nullopt;
  const std::string copy(text);
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(copy.c_str(), &end, 10);
  if (errno == ERANGE || end != copy.c_str() + copy.size()) return std::nullopt;
  if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(v);
}

}  // namespace velmora_test
