// The event line: kind TAB detail TAB fd TAB pid TAB tid LF, with TAB, LF and
// backslash in the detail escaped so every line splits into exactly five fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velmora_io {

// Size of the detail once escaped.
std::size_t escaped_size(std::string_view detail) noexcept;

// Writes the escaped detail to `out` (escaped_size(detail) bytes); returns the end.
char* escape_detail(std::string_view detail, char* out) noexcept;

// Size of the whole line for a detail whose escaped size is known, with the widest
// numbers: callers size buffers with it before formatting.
constexpr std::size_t event_line_capacity(std::size_t kind_size, std::size_t escaped_detail_size) noexcept {
  // fd and pid: "-2147483648"; tid: "-9223372036854775808"; four TABs and one LF.
  return kind_size + escaped_detail_size + 11 + 11 + 20 + 5;
}

// Formats the line into `out`, which holds event_line_capacity(...) bytes; returns its length.
std::size_t format_event_line(char* out, std::string_view kind, std::string_view detail,
                              std::size_t escaped_detail_size, int32_t fd, int32_t pid,
                              int64_t tid) noexcept;

}  // namespace velmora_io
