#include "event_line.h"

#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <type_traits>

namespace velmora_io {

// Sixteen bytes at a time (plain SSE2 on x86-64): names rarely need escaping, so
// most blocks are skipped with three compares and one test.
using Block = unsigned char __attribute__((vector_size(16)));

inline bool block_needs_escape(const char* p) noexcept {
  Block b;
  std::memcpy(&b, p, sizeof(b));
  const Block hits = (b == '\t') | (b == '\n') | (b == '\\');
  uint64_t halves[2];
  std::memcpy(halves, &hits, sizeof(halves));
  return (halves[0] | halves[1]) != 0;
}

std::size_t escaped_size(std::string_view detail) noexcept {
  std::size_t extra = 0, i = 0;
  for (; i + sizeof(Block) <= detail.size(); i += sizeof(Block)) {
    if (!block_needs_escape(detail.data() + i)) continue;
    for (std::size_t j = i; j < i + sizeof(Block); ++j) extra += needs_escape(detail[j]);
  }
  // The tail: the last sixteen bytes, overlapping what was checked, tell whether the
  // remaining bytes need counting one by one.
  if (i < detail.size() && detail.size() >= sizeof(Block) &&
      !block_needs_escape(detail.data() + detail.size() - sizeof(Block))) {
    return detail.size() + extra;
  }
  for (; i < detail.size(); ++i) extra += needs_escape(detail[i]);
  return detail.size() + extra;
}

char* escape_detail(std::string_view detail, char* out) noexcept {
  escape_detail_in_pieces(detail, [&out](const char* data, std::size_t size) {
    std::memcpy(out, data, size);
    out += size;
  });
  return out;
}

std::size_t format_event_line(char* out, std::string_view kind, std::string_view detail,
                              std::size_t escaped_detail_size, int32_t fd, int32_t pid,
                              int64_t tid) noexcept {
  char* w = out;
  std::memcpy(w, kind.data(), kind.size());
  w += kind.size();
  *w++ = '\t';
  if (escaped_detail_size == detail.size()) {
    std::memcpy(w, detail.data(), detail.size());
    w += detail.size();
  } else {
    w = escape_detail(detail, w);
  }
  *w++ = '\t';
  w = std::to_chars(w, w + 11, fd).ptr;
  *w++ = '\t';
  w = std::to_chars(w, w + 11, pid).ptr;
  *w++ = '\t';
  w = std::to_chars(w, w + 20, tid).ptr;
  *w++ = '\n';
  return static_cast<std::size_t>(w - out);
}

namespace {

// The one spelling to_chars gives: '-' for negatives only, "0" alone, no other
// leading zero. Anything else is refused rather than read leniently, so a torn or
// forged line cannot pass as a real one.
template <class Int>
std::optional<Int> parse_canonical(std::string_view text) noexcept {
  using Unsigned = std::make_unsigned_t<Int>;
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  if (text.front() == '0' && (text.size() > 1 || negative)) return std::nullopt;
  // The magnitude may reach max + 1 only for a negative number.
  const Unsigned limit = static_cast<Unsigned>(std::numeric_limits<Int>::max()) + (negative ? 1u : 0u);
  Unsigned value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<Unsigned>(c - '0');
    if (value > (limit - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  // Negated in the unsigned domain: the minimum has no positive counterpart.
  return static_cast<Int>(negative ? Unsigned{0} - value : value);
}

// Size of the unescaped detail; nothing when `escaped` holds a raw TAB or LF or a
// backslash that does not begin one of the three pairs.
std::optional<std::size_t> unescaped_size(std::string_view escaped) noexcept {
  std::size_t pairs = 0;
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    const char c = escaped[i];
    if (c == '\t' || c == '\n') return std::nullopt;
    if (c != '\\') continue;
    if (i + 1 == escaped.size()) return std::nullopt;
    const char next = escaped[++i];
    if (next != 't' && next != 'n' && next != '\\') return std::nullopt;
    ++pairs;
  }
  return escaped.size() - pairs;
}

}  // namespace

namespace {

// Every kind by its first letter and its length, which no two kinds share: a lookup is
// one load and one compare, on the path of every event.
constexpr std::size_t kind_key(char first, std::size_t size) noexcept {
  return static_cast<std::size_t>(static_cast<unsigned char>(first - 'a')) * 16 + size % 16;
}
constexpr std::size_t KIND_KEYS = 26 * 16;
constexpr auto KIND_BY_KEY = [] {
  std::array<uint8_t, KIND_KEYS> table{};
  table.fill(UINT8_MAX);
  for (std::size_t i = 0; i < EVENT_KIND_COUNT; ++i) table[kind_key(EVENT_KINDS[i][0], EVENT_KINDS[i].size())] = i;
  return table;
}();
static_assert([] {
  for (std::size_t i = 0; i < EVENT_KIND_COUNT; ++i) {
    const std::string_view kind = EVENT_KINDS[i];
    if (kind[0] < 'a' || kind[0] > 'z' || KIND_BY_KEY[kind_key(kind[0], kind.size())] != i) return false;
  }
  return true;
}(), "two kinds share a first letter and a length");

}  // namespace

std::optional<std::size_t> event_kind_index(std::string_view name) noexcept {
  if (name.empty() || name[0] < 'a' || name[0] > 'z') return std::nullopt;
  const std::size_t i = KIND_BY_KEY[kind_key(name[0], name.size())];
  if (i >= EVENT_KIND_COUNT || EVENT_KINDS[i] != name) return std::nullopt;
  return i;
}

std::optional<int32_t> parse_line_i32(std::string_view text) noexcept { return parse_canonical<int32_t>(text); }
std::optional<int64_t> parse_line_i64(std::string_view text) noexcept { return parse_canonical<int64_t>(text); }

LineError parse_event_line(std::string_view line, ParsedLine& out) noexcept {
  // No substr: its range check would pull the C++ runtime's exception support into
  // the library.
  std::string_view fields[5];
  std::size_t count = 0;
  for (std::size_t start = 0;;) {
    if (count == 5) return LineError::field_count;
    const std::size_t found = line.find('\t', start);
    const std::size_t end = found == std::string_view::npos ? line.size() : found;
    fields[count++] = std::string_view(line.data() + start, end - start);
    if (found == std::string_view::npos) break;
    start = found + 1;
  }
  if (count != 5) return LineError::field_count;

  const auto kind = event_kind_index(fields[0]);
  if (!kind) return LineError::unknown_kind;
  const auto fd = parse_line_i32(fields[2]);
  if (!fd) return LineError::bad_fd;
  const auto pid = parse_line_i32(fields[3]);
  if (!pid) return LineError::bad_pid;
  const auto tid = parse_line_i64(fields[4]);
  if (!tid) return LineError::bad_tid;
  const auto detail_size = unescaped_size(fields[1]);
  if (!detail_size) return LineError::bad_escape;

  out.kind = *kind;
  out.escaped_detail = fields[1];
  out.detail_size = *detail_size;
  out.fd = *fd;
  out.pid = *pid;
  out.tid = *tid;
  return LineError::none;
}

char* unescape_detail(std::string_view escaped_detail, char* out) noexcept {
  for (std::size_t i = 0; i < escaped_detail.size(); ++i) {
    const char c = escaped_detail[i];
    if (c != '\\' || i + 1 == escaped_detail.size()) {
      *out++ = c;
      continue;
    }
    const char next = escaped_detail[++i];
    *out++ = next == 't' ? '\t' : next == 'n' ? '\n' : next;
  }
  return out;
}

}  // namespace velmora_io
