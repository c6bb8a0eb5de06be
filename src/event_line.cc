#include "event_line.h"

#include <charconv>
#include <cstring>

namespace velmora_io {

namespace {
inline bool needs_escape(char c) noexcept { return c == '\t' || c == '\n' || c == '\\'; }
}  // namespace

std::size_t escaped_size(std::string_view detail) noexcept {
  std::size_t extra = 0;
  for (char c : detail) extra += needs_escape(c);
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
