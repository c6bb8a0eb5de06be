#include "json_writer.h"

#include "utf8.h"

namespace velmora::trace {

bool append_json_string(std::string& out, std::string_view bytes, bool script_safe) {
  bool exact = true;
  out += '"';
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b < 0x80) {
      switch (b) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
          if (b < 0x20 || b == 0x7F || (b == '<' && script_safe)) append_unicode_escape(out, b);
          else out += static_cast<char>(b);
      }
      ++i;
      continue;
    }
    const velmora_io::Utf8Step step = velmora_io::next_utf8(bytes.substr(i));
    const char32_t cp = step.code_point;
    if (!step.valid) {
      out += "\\ufffd";
      exact = false;
      ++i;
    } else if (cp == 0x2028 || cp == 0x2029 || (cp >= 0x80 && cp <= 0x9F)) {
      // Valid JSON either way; escaping keeps the line safe for JavaScript
      // consumers and for terminals that act on C1 controls.
      append_unicode_escape(out, cp);
      i += step.length;
    } else {
      out.append(bytes.data() + i, step.length);
      i += step.length;
    }
  }
  out += '"';
  return exact;
}

void append_base64(std::string& out, std::string_view bytes) {
  static constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += ALPHABET[(v >> 18) & 63];
    out += ALPHABET[(v >> 12) & 63];
    out += ALPHABET[(v >> 6) & 63];
    out += ALPHABET[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 0) return;
  unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
  if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
  out += ALPHABET[(v >> 18) & 63];
  out += ALPHABET[(v >> 12) & 63];
  out += rest == 2 ? ALPHABET[(v >> 6) & 63] : '=';
  out += '=';
}

void JsonWriter::item() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  const std::uint64_t bit = std::uint64_t{1} << depth_;
  if (has_items_ & bit) out_ += ',';
  has_items_ |= bit;
  if (depth_ == break_depth_) out_ += '\n';
}

JsonWriter& JsonWriter::open(char c) {
  item();
  out_ += c;
  ++depth_;  // documents here nest a few levels; the item bits go to 63
  has_items_ &= ~(std::uint64_t{1} << depth_);
  return *this;
}

JsonWriter& JsonWriter::close(char c) {
  if (depth_ == break_depth_ && (has_items_ & (std::uint64_t{1} << depth_))) out_ += '\n';
  --depth_;
  out_ += c;
  return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
  item();
  out_ += '"';
  out_ += name;
  out_ += "\":";
  after_key_ = true;
  return *this;
}

bool JsonWriter::string(std::string_view bytes) {
  item();
  return append_json_string(out_, bytes, script_safe_);
}

JsonWriter& JsonWriter::text(std::string_view name, std::string_view bytes) {
  if (key(name).string(bytes)) return *this;
  key(std::string(name) + "_base64");
  item();
  out_ += '"';
  append_base64(out_, bytes);
  out_ += '"';
  return *this;
}

JsonWriter& JsonWriter::fixed(double value, int digits) {
  item();
  append_fixed(out_, value, digits);
  return *this;
}

JsonWriter& JsonWriter::boolean(bool value) {
  item();
  out_ += value ? "true" : "false";
  return *this;
}

}  // namespace velmora::trace
