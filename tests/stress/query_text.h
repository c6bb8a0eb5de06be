// The query texts the stress driver sends and the tests expect back, made the same way
// on both sides so a line can be checked byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora_stress {

// A distinct text of exactly `size` bytes for message `index` of sender `sender`. It
// carries a newline, a tab and a backslash so every line needs escaping, and its filler
// differs from message to message so a piece of one line spliced into another can
// never pass for a whole line.
inline std::string query_text(int sender, int index, std::size_t size) {
  std::string text = "SELECT\n'" + std::to_string(sender) + ":" + std::to_string(index) + "'\tAS tag, '\\";
  static constexpr char FILLER[] = "abcdefghijklmnopqrstuvwxyz0123456789 ,.;()";
  constexpr std::size_t FILLER_SIZE = sizeof(FILLER) - 1;
  std::size_t at = static_cast<std::size_t>(sender) * 7 + static_cast<std::size_t>(index) * 13;
  while (text.size() < size) text.push_back(FILLER[at++ % FILLER_SIZE]);
  text.resize(size);
  return text;
}

// A simple-query message: type byte, big-endian length of everything after the type
// byte (itself included), the text and its terminating zero.
inline std::string query_message(const std::string& text) {
  const uint32_t length = static_cast<uint32_t>(text.size() + 1 + 4);
  std::string m;
  m.reserve(text.size() + 6);
  m.push_back('Q');
  for (int shift = 24; shift >= 0; shift -= 8) m.push_back(static_cast<char>((length >> shift) & 0xFF));
  m += text;
  m.push_back('\0');
  return m;
}

}  // namespace velmora_stress
