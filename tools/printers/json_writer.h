// JSON written as values: objects, arrays, members and scalars, with the commas
// and escapes placed by the writer. Every JSON output of the tool goes through it,
// so a document is composed by writing a value where it belongs, never by cutting
// another document apart. It appends to a string and keeps no tree: events go out
// at hundreds of thousands a second.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "display_text.h"

namespace velmora::trace {

// Appends `bytes` as a JSON string literal (with the quotes). Bytes that are
// not well-formed UTF-8 become U+FFFD each; returns false when that happened
// so the caller can add the exact bytes another way. With `script_safe`, '<'
// is written as \u003c, so that the text can sit inside an HTML <script>.
bool append_json_string(std::string& out, std::string_view bytes, bool script_safe = false);

// Standard base64 with padding.
void append_base64(std::string& out, std::string_view bytes);

class JsonWriter {
 public:
  explicit JsonWriter(std::string& out, bool script_safe = false) : out_(out), script_safe_(script_safe) {}

  JsonWriter& begin_object() { return open('{'); }
  JsonWriter& end_object() { return close('}'); }
  JsonWriter& begin_array() { return open('['); }
  JsonWriter& end_array() { return close(']'); }

  // A member's name (plain ASCII, written as given); its value follows.
  JsonWriter& key(std::string_view name);
  // Arbitrary bytes as a string; false when some were not UTF-8 (see append_json_string).
  bool string(std::string_view bytes);
  JsonWriter& str(std::string_view bytes) {
    string(bytes);
    return *this;
  }
  // The member "name":"..." for arbitrary bytes; when they are not valid UTF-8,
  // "name_base64" follows with them exactly, as for an event's detail.
  JsonWriter& text(std::string_view name, std::string_view bytes);
  template <class T>
  JsonWriter& number(T value) {
    item();
    append_number(out_, value);
    return *this;
  }
  // `value` with exactly `digits` decimals.
  JsonWriter& fixed(double value, int digits);
  JsonWriter& boolean(bool value);

  // Items of containers at this depth (1: the top-level value's) start on a line
  // of their own, so that a long array reads as one item per line.
  void break_items_at(int depth) { break_depth_ = depth; }

 private:
  JsonWriter& open(char c);
  JsonWriter& close(char c);
  void item();  // a comma before every item but a container's first

  std::string& out_;
  bool script_safe_;
  int depth_ = 0;
  int break_depth_ = -1;
  std::uint64_t has_items_ = 0;  // bit d: the container at depth d has an item
  bool after_key_ = false;
};

}  // namespace velmora::trace
