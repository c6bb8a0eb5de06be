#include "display_text.h"

#include <algorithm>
#include <vector>

#include "hex_digits.h"
#include "utf8.h"

namespace velmora::trace {
namespace {

using velmora_io::HEX_DIGITS;

void append_hex_byte(std::string& out, unsigned char b) {
  out += "\\x";
  out += HEX_DIGITS[b >> 4];
  out += HEX_DIGITS[b & 0xF];
}

// Characters that are printable in a strict sense but change how the rest of
// the line is shown: C1 controls, bidi embeddings/overrides/isolates, zero
// width characters and the byte order mark.
bool is_hazardous(char32_t cp) {
  return (cp >= 0x80 && cp <= 0x9F) || cp == 0x061C || cp == 0x00AD ||
         (cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E) ||
         (cp >= 0x2060 && cp <= 0x206F) || cp == 0xFEFF ||
         (cp >= 0xFFF9 && cp <= 0xFFFB);
}

bool is_wide(char32_t cp) {
  return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
         (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
         (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
         (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1F64F) ||
         (cp >= 0x1F900 && cp <= 0x1F9FF) || (cp >= 0x20000 && cp <= 0x3FFFD);
}

bool is_combining(char32_t cp) {
  return (cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x1AB0 && cp <= 0x1AFF) ||
         (cp >= 0x1DC0 && cp <= 0x1DFF) || (cp >= 0x20D0 && cp <= 0x20FF) ||
         (cp >= 0xFE20 && cp <= 0xFE2F);
}

struct Unit {
  std::size_t offset;
  std::size_t length;
  std::size_t columns;
};

// Splits a rendering made by append_display into indivisible pieces.
std::vector<Unit> split_units(std::string_view s) {
  std::vector<Unit> units;
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t len = 1;
    std::size_t cols = 1;
    if (b == '\\' && i + 1 < s.size()) {
      len = s[i + 1] == 'x' ? 4 : s[i + 1] == 'u' ? 6 : 2;
      if (i + len > s.size()) len = s.size() - i;
      cols = len;
    } else if (b >= 0x80) {
      const velmora_io::Utf8Step step = velmora_io::next_utf8(s.substr(i));
      // An ill-formed byte is not produced by append_display; keep going regardless.
      if (step.valid) {
        len = step.length;
        cols = is_combining(step.code_point) ? 0 : is_wide(step.code_point) ? 2 : 1;
      }
    }
    units.push_back({i, len, cols});
    i += len;
  }
  return units;
}

}  // namespace

std::string escape_markup(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

void append_unicode_escape(std::string& out, char32_t cp) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += HEX_DIGITS[(cp >> shift) & 0xF];
}

void append_display(std::string& out, std::string_view bytes) {
  out.reserve(out.size() + bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    // A run that shows as it is (most names are one), appended at once.
    std::size_t end = i;
    while (end < bytes.size() && bytes[end] >= 0x20 && bytes[end] < 0x7F && bytes[end] != '\\') ++end;
    if (end != i) {
      out.append(bytes.data() + i, end - i);
      i = end;
      continue;
    }
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b == '\\') {
      out += "\\\\";
      ++i;
      continue;
    }
    if (b < 0x80) {
      switch (b) {
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: append_hex_byte(out, b); break;
      }
      ++i;
      continue;
    }
    const velmora_io::Utf8Step step = velmora_io::next_utf8(bytes.substr(i));
    if (!step.valid) {
      append_hex_byte(out, b);  // byte by byte: each bad byte is shown as it is
      ++i;
    } else if (is_hazardous(step.code_point)) {
      append_unicode_escape(out, step.code_point);
      i += step.length;
    } else {
      out.append(bytes.data() + i, step.length);
      i += step.length;
    }
  }
}

std::string to_display(std::string_view bytes) {
  std::string out;
  append_display(out, bytes);
  return out;
}

std::size_t display_width(std::string_view display) {
  std::size_t cols = 0;
  for (const Unit& u : split_units(display)) cols += u.columns;
  return cols;
}

std::string shorten_middle(std::string_view display, std::size_t width, std::size_t min_tail) {
  const std::vector<Unit> units = split_units(display);
  std::size_t total = 0;
  for (const Unit& u : units) total += u.columns;
  if (total <= width) return std::string(display);
  if (width == 0) return {};
  const std::string_view ellipsis = "\u2026";
  const std::size_t budget = width - 1;  // the ellipsis takes one column
  // Keep a little more of the end than the start: for paths the file name,
  // for queries the tail, tell more than the common prefix.
  const std::size_t tail_budget = std::max(budget - budget / 2, std::min(min_tail, budget));
  const std::size_t head_budget = budget - tail_budget;

  std::size_t head_end = 0;  // units [0, head_end)
  std::size_t used = 0;
  while (head_end < units.size() && used + units[head_end].columns <= head_budget) {
    used += units[head_end].columns;
    ++head_end;
  }
  std::size_t tail_begin = units.size();  // units [tail_begin, size)
  used = 0;
  while (tail_begin > head_end && used + units[tail_begin - 1].columns <= tail_budget) {
    used += units[tail_begin - 1].columns;
    --tail_begin;
  }
  std::string out;
  if (head_end > 0) out.append(display.substr(0, units[head_end - 1].offset + units[head_end - 1].length));
  out.append(ellipsis);
  if (tail_begin < units.size()) out.append(display.substr(units[tail_begin].offset));
  return out;
}

void append_fixed(std::string& out, double value, int digits) {
  char buf[48];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, digits);
  out.append(buf, r.ptr);
}

}  // namespace velmora::trace
