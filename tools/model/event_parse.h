// Events as the host reads them from the preloaded library's lines. The line format
// itself (fields, escapes, the one spelling of each number) is defined once, in the
// library's event_line.h, which both the library and this parser link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "event_line.h"

namespace velmora::trace {

// Numbered as velmora_io::EVENT_KINDS lists them: the five both libraries write, then
// those only the wide library writes.
enum class Kind : std::uint8_t {
  read, write, close, connect, sql_write,
  open_read, open_write, open_read_write, create, missing, query, delete_, rename_from, rename_to, make_dir,
  link_from, link_to, symlink, exec, exec_failed, bind, listen, accept, accept_local, connect_failed, resolve, load
};
inline constexpr std::size_t kKindCount = velmora_io::EVENT_KIND_COUNT;

std::string_view kind_name(Kind kind);
std::optional<Kind> kind_from_name(std::string_view name);

struct Event {
  Kind kind = Kind::read;
  std::string detail;  // escapes undone; arbitrary bytes
  std::int32_t fd = 0;
  std::int32_t pid = 0;
  std::int64_t tid = 0;
  bool no_data = false;  // a read that returned nothing: known only from a ring's record
};

using ParseError = velmora_io::LineError;

// Parses one line given without its terminating LF. On failure `out` may be
// partly overwritten and the reason is returned.
ParseError parse_event_line(std::string_view line, Event& out);

// An "exec" detail split into the program's path and its arguments (argv[0] on): the
// fields are joined by TAB, each escaped as the line escapes a detail.
std::vector<std::string> exec_fields(std::string_view detail);

// Splits a byte stream into lines and parses each one. Chunks may end in the
// middle of a line; the remainder is kept for the next feed. Lines that are
// absurdly long are dropped (and counted as rejected) instead of growing the
// buffer without bound.
class LineParser {
 public:
  static constexpr std::size_t kMaxLineBytes = 64u << 20;

  // on_event(const Event&)
  template <class OnEvent>
  void feed(std::string_view chunk, OnEvent&& on_event);

  // Call at end of input: a trailing unterminated line counts as rejected,
  // since the library always ends its lines with LF.
  void finish();

  std::uint64_t accepted() const { return accepted_; }
  std::uint64_t rejected() const { return rejected_; }

 private:
  template <class OnEvent>
  void handle_line(std::string_view line, OnEvent& on_event);

  std::string pending_;
  bool discarding_ = false;  // inside an over-long line, skipping to its LF
  Event scratch_;
  std::uint64_t accepted_ = 0;
  std::uint64_t rejected_ = 0;
};

template <class OnEvent>
void LineParser::handle_line(std::string_view line, OnEvent& on_event) {
  if (parse_event_line(line, scratch_) == ParseError::none) {
    ++accepted_;
    on_event(static_cast<const Event&>(scratch_));
  } else {
    ++rejected_;
  }
}

template <class OnEvent>
void LineParser::feed(std::string_view chunk, OnEvent&& on_event) {
  while (!chunk.empty()) {
    const std::size_t lf = chunk.find('\n');
    if (lf == std::string_view::npos) {
      if (!discarding_) {
        if (pending_.size() + chunk.size() > kMaxLineBytes) {
          pending_.clear();
          discarding_ = true;
        } else {
          pending_.append(chunk);
        }
      }
      return;
    }
    const std::string_view head = chunk.substr(0, lf);
    chunk.remove_prefix(lf + 1);
    if (discarding_) {
      discarding_ = false;
      ++rejected_;
    } else if (pending_.empty()) {
      handle_line(head, on_event);
    } else {
      pending_.append(head);
      if (pending_.size() > kMaxLineBytes) {
        ++rejected_;
      } else {
        handle_line(pending_, on_event);
      }
      pending_.clear();
    }
  }
}

}  // namespace velmora::trace
