#include "event_parse.h"

#include <array>
#include <limits>
#include <type_traits>

namespace velmora::trace {
namespace {

constexpr std::array<std::string_view, kKindCount> kKindNames = {
    "read", "write", "close", "connect", "sql_write"};

template <class Int>
bool parse_strict(std::string_view text, Int& out) {
  using Unsigned = std::make_unsigned_t<Int>;
  bool negative = false;
  if (!text.empty() && text.front() == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  if (text.empty()) return false;
  if (text.front() == '0' && (text.size() > 1 || negative)) return false;
  // Magnitude limit: max for positives, max + 1 for negatives.
  const Unsigned limit = static_cast<Unsigned>(std::numeric_limits<Int>::max()) +
                         (negative ? 1u : 0u);
  Unsigned value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<Unsigned>(c - '0');
    if (value > (limit - digit) / 10) return false;
    value = value * 10 + digit;
  }
  if (negative) {
    // Two's complement negation done in the unsigned domain avoids overflow
    // for the minimum value.
    out = static_cast<Int>(Unsigned{0} - value);
  } else {
    out = static_cast<Int>(value);
  }
  return true;
}

}  // namespace

std::string_view kind_name(Kind kind) {
  return kKindNames[static_cast<std::size_t>(kind)];
}

std::optional<Kind> kind_from_name(std::string_view name) {
  for (std::size_t i = 0; i < kKindNames.size(); ++i) {
    if (kKindNames[i] == name) return static_cast<Kind>(i);
  }
  return std::nullopt;
}

std::string_view parse_error_name(ParseError error) {
  switch (error) {
    case ParseError::none: return "none";
    case ParseError::field_count: return "field count";
    case ParseError::unknown_kind: return "unknown kind";
    case ParseError::bad_escape: return "bad escape";
    case ParseError::bad_fd: return "bad fd";
    case ParseError::bad_pid: return "bad pid";
    case ParseError::bad_tid: return "bad tid";
  }
  return "unknown";
}

bool parse_i32(std::string_view text, std::int32_t& out) {
  return parse_strict(text, out);
}

bool parse_i64(std::string_view text, std::int64_t& out) {
  return parse_strict(text, out);
}

bool unescape_detail(std::string_view text, std::string& out) {
  out.clear();
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    // Copy the run up to the next byte that needs attention in one go.
    std::size_t j = i;
    while (j < text.size() && text[j] != '\\' && text[j] != '\t' && text[j] != '\n') ++j;
    out.append(text.data() + i, j - i);
    if (j == text.size()) break;
    if (text[j] != '\\') return false;
    if (j + 1 == text.size()) return false;
    switch (text[j + 1]) {
      case 't': out.push_back('\t'); break;
      case 'n': out.push_back('\n'); break;
      case '\\': out.push_back('\\'); break;
      default: return false;
    }
    i = j + 2;
  }
  return true;
}

ParseError parse_event_line(std::string_view line, Event& out) {
  std::array<std::string_view, 5> fields;
  std::size_t n = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    if (n == fields.size()) return ParseError::field_count;
    if (tab == std::string_view::npos) {
      fields[n++] = line.substr(start);
      break;
    }
    fields[n++] = line.substr(start, tab - start);
    start = tab + 1;
  }
  if (n != fields.size()) return ParseError::field_count;

  const auto kind = kind_from_name(fields[0]);
  if (!kind) return ParseError::unknown_kind;
  if (!parse_i32(fields[2], out.fd)) return ParseError::bad_fd;
  if (!parse_i32(fields[3], out.pid)) return ParseError::bad_pid;
  if (!parse_i64(fields[4], out.tid)) return ParseError::bad_tid;
  if (!unescape_detail(fields[1], out.detail)) return ParseError::bad_escape;
  out.kind = *kind;
  return ParseError::none;
}

void LineParser::finish() {
  if (discarding_ || !pending_.empty()) ++rejected_;
  discarding_ = false;
  pending_.clear();
}

}  // namespace velmora::trace
