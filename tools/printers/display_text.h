// Turning arbitrary detail bytes (file names, SQL) into text that is safe to
// show on a terminal, where control bytes must never reach the screen (JSON has
// its own writer, json_writer.h).
#pragma once

#include <charconv>
#include <cstddef>
#include <string>
#include <string_view>

namespace velmora::trace {

// Appends a terminal-safe rendering of `bytes`:
//   printable ASCII and well-formed UTF-8 pass through;
//   backslash becomes "\\", TAB "\t", LF "\n", CR "\r";
//   other control bytes, DEL and bytes that are not well-formed UTF-8 become
//   "\xNN";
//   C1 controls, bidirectional overrides and invisible format characters
//   (which can reorder or hide what is on screen) become "\uXXXX".
// Backslash is escaped too so that the rendering is unambiguous: a name that
// literally contains "\t" shows as "\\t".
void append_display(std::string& out, std::string_view bytes);
std::string to_display(std::string_view bytes);

// Columns a string produced by append_display takes on a terminal (East
// Asian wide characters count two, combining marks zero).
std::size_t display_width(std::string_view display);

// Shortens a string produced by append_display to at most `width` columns by
// cutting out its middle and putting an ellipsis there. Never splits an
// escape or a multi-byte character. At least `min_tail` columns of the end are
// kept when the width allows (a path's file name).
std::string shorten_middle(std::string_view display, std::size_t width, std::size_t min_tail = 0);

// "\uXXXX" for a code point of the Basic Multilingual Plane.
void append_unicode_escape(std::string& out, char32_t cp);

// Text for HTML or XML, in an element or a double-quoted attribute: & < > " escaped.
std::string escape_markup(std::string_view text);

// Numbers run once per event at hundreds of thousands of events a second, so they go
// through to_chars rather than printf or to_string.
template <class T>
void append_number(std::string& out, T value) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}
// `value` with exactly `digits` decimals.
void append_fixed(std::string& out, double value, int digits);

}  // namespace velmora::trace
