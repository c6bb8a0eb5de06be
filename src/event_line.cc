#include "event_line.h"

#include <charconv>
#include <cstring>

namespace velmora_io {

namespace {
inline bool needs_escape(char c) noexcept { return c == '\t' || c == '\n' || c == '\\'; }
}  // namespace

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
  for (char c : detail) {
    if (!needs_escape(c)) {
      *out++ = c;
      continue;
    }
    *out++ = '\\';
    *out++ = c == '\t' ? 't' : c == '\n' ? 'n' : '\\';
  }
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

}  // namespace velmora_io
