// Event line formatting: any detail survives escaping, and any line splits into the
// same five fields.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "event_line.h"

namespace {

std::string unescape(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\') {
      out += s[i];
      continue;
    }
    if (++i == s.size()) std::abort();  // a lone trailing backslash
    switch (s[i]) {
      case 't': out += '\t'; break;
      case 'n': out += '\n'; break;
      case '\\': out += '\\'; break;
      default: std::abort();
    }
  }
  return out;
}

template <typename T>
T parse_field(std::string_view s) {
  T value{};
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || ptr != s.data() + s.size()) std::abort();
  if (s.size() > 1 && (s[0] == '0' || (s[0] == '-' && s[1] == '0'))) std::abort();
  return value;
}

constexpr std::string_view KINDS[] = {"read", "write", "connect", "close", "sql_write"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // 17 leading bytes choose the kind and the numbers; the rest is the detail.
  if (size < 17) return 0;
  const std::string_view kind = KINDS[data[0] % (sizeof(KINDS) / sizeof(KINDS[0]))];
  int32_t fd, pid;
  int64_t tid;
  std::memcpy(&fd, data + 1, 4);
  std::memcpy(&pid, data + 5, 4);
  std::memcpy(&tid, data + 9, 8);
  const std::string_view detail(reinterpret_cast<const char*>(data) + 17, size - 17);

  const std::size_t esc = velmora_io::escaped_size(detail);
  // Exact sizes on the heap so that any write past them is caught.
  char* escaped = static_cast<char*>(std::malloc(esc + 1));
  char* end = velmora_io::escape_detail(detail, escaped);
  if (static_cast<std::size_t>(end - escaped) != esc) std::abort();
  if (unescape(std::string_view(escaped, esc)) != detail) std::abort();
  std::free(escaped);

  const std::size_t capacity = velmora_io::event_line_capacity(kind.size(), esc);
  char* line = static_cast<char*>(std::malloc(capacity));
  const std::size_t n = velmora_io::format_event_line(line, kind, detail, esc, fd, pid, tid);
  if (n > capacity || n == 0) std::abort();
  const std::string_view text(line, n);
  if (text.find('\n') != n - 1) std::abort();

  std::string_view fields[5];
  std::size_t count = 0, start = 0;
  for (std::size_t i = 0; i < n - 1; ++i) {
    if (text[i] != '\t') continue;
    if (count == 4) std::abort();  // a sixth field
    fields[count++] = text.substr(start, i - start);
    start = i + 1;
  }
  if (count != 4) std::abort();
  fields[4] = text.substr(start, n - 1 - start);
  if (fields[0] != kind) std::abort();
  if (unescape(fields[1]) != detail) std::abort();
  if (parse_field<int32_t>(fields[2]) != fd) std::abort();
  if (parse_field<int32_t>(fields[3]) != pid) std::abort();
  if (parse_field<int64_t>(fields[4]) != tid) std::abort();
  std::free(line);
  return 0;
}
