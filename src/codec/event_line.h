// The event line: kind TAB detail TAB fd TAB pid TAB tid LF, with TAB, LF and
// backslash in the detail escaped so every line splits into exactly five fields.
//
// Both directions live here so that what the library writes and what its readers
// (the host tool, the tests) accept are one definition: the library formats, the
// readers parse. Everything here is pure: no allocation, no system call, no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace velmora_io {

// Size of the detail once escaped.
std::size_t escaped_size(std::string_view detail) noexcept;

// The one escaping rule: TAB, LF and backslash become two bytes each.
inline bool needs_escape(char c) noexcept { return c == '\t' || c == '\n' || c == '\\'; }
inline std::string_view escape_of(char c) noexcept {
  return c == '\t' ? std::string_view("\\t", 2)
         : c == '\n' ? std::string_view("\\n", 2)
                     : std::string_view("\\\\", 2);
}

// The escaped detail in pieces, for a writer that must not copy it (the sink writes the
// caller's text as it is): `put(const char* data, std::size_t size)` is called, in
// order, with each run of the detail's own bytes between characters that need escaping
// (possibly empty) and with each two-byte escape. The pieces together are exactly what
// escape_detail writes.
template <typename Put>
inline void escape_detail_in_pieces(std::string_view detail, Put&& put) noexcept {
  std::size_t run = 0;
  for (std::size_t i = 0; i < detail.size(); ++i) {
    if (!needs_escape(detail[i])) continue;
    put(detail.data() + run, i - run);
    const std::string_view escape = escape_of(detail[i]);
    put(escape.data(), escape.size());
    run = i + 1;
  }
  put(detail.data() + run, detail.size() - run);
}

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

// ---- Reading lines back (never used by the library itself) ----

// Every kind, in the order readers number them: first the five both libraries write,
// then those only the wide library writes (docs/library.md, "Events of the wide library").
inline constexpr std::string_view EVENT_KINDS[] = {
    "read",        "write",       "close",     "connect",      "sql_write",      "open_read",
    "open_write",  "open_read_write", "create", "missing",     "query",          "delete",
    "rename_from", "rename_to",   "make_dir",  "link_from",    "link_to",        "symlink",
    "exec",        "exec_failed", "bind",      "listen",       "accept",         "accept_local",
    "connect_failed", "resolve",     "load"};
inline constexpr std::size_t EVENT_KIND_COUNT = sizeof(EVENT_KINDS) / sizeof(EVENT_KINDS[0]);
// The narrow library's kinds are the first five.
inline constexpr std::size_t NARROW_EVENT_KIND_COUNT = 5;

// Index of `name` in EVENT_KINDS; nothing for any other text.
std::optional<std::size_t> event_kind_index(std::string_view name) noexcept;

// Why a line was refused, in the order the checks are made. A reader must treat
// its input as untrusted: long lines from several writers can tear into each other.
enum class LineError : uint8_t { none, field_count, unknown_kind, bad_fd, bad_pid, bad_tid, bad_escape };

// A parsed line; the detail still escaped (it points into the line).
struct ParsedLine {
  std::size_t kind = 0;  // index into EVENT_KINDS
  std::string_view escaped_detail;
  std::size_t detail_size = 0;  // once unescaped
  int32_t fd = 0;
  int32_t pid = 0;
  int64_t tid = 0;
};

// Parses one line given without its LF. Accepts exactly what format_event_line can
// write with a kind from EVENT_KINDS: five fields; numbers in their one spelling
// (optional '-', no '+', no leading zero, no "-0", within the type's range); a detail
// whose only backslashes start the pairs \t, \n and \\. On failure `out` may be
// partly written.
LineError parse_event_line(std::string_view line, ParsedLine& out) noexcept;

// A number in the spelling format_event_line writes; nothing for any other text.
std::optional<int32_t> parse_line_i32(std::string_view text) noexcept;
std::optional<int64_t> parse_line_i64(std::string_view text) noexcept;

// Undoes escape_detail for a detail that parse_event_line accepted: writes
// detail_size bytes to `out`; returns the end.
char* unescape_detail(std::string_view escaped_detail, char* out) noexcept;

}  // namespace velmora_io
