// Which events the user asked to see. The same filter feeds the event stream
// and the summary, so both always describe the same set of events.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "event_parse.h"

namespace velmora::trace {

struct EventFilter {
  // Kinds to keep (--kind); all by default.
  std::array<bool, kKindCount> kinds{true, true, true, true, true};
  // Classes to keep (--only); all by default.
  bool files = true;
  bool sockets = true;
  bool sql = true;
  // Substring of the decoded detail (--match); empty keeps everything.
  std::string match;

  bool accepts(const Event& event) const;

  // Parse a comma-separated list; on error return false and describe the bad
  // item in `error`.
  bool set_kinds(std::string_view list, std::string& error);
  bool set_only(std::string_view list, std::string& error);
};

}  // namespace velmora::trace
