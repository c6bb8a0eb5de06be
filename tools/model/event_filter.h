// Which events the user asked to see. The same filter feeds the event stream
// and the summary, so both always describe the same set of events.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "event_parse.h"
#include "process_names.h"

namespace velmora::trace {

// A pattern with any of * ? [ is a shell glob (fnmatch, '/' not special) that
// must match the whole detail, or the part after "file:" or "socket:" so that
// '/tmp/*' and '*.pyc' work on resource names; any other pattern matches a
// detail that contains it.
bool pattern_matches(const std::string& pattern, const std::string& detail);

inline constexpr std::array<bool, kKindCount> all_kinds() {
  std::array<bool, kKindCount> all{};
  all.fill(true);
  return all;
}

struct EventFilter {
  // Kinds to keep (--kind); all by default.
  std::array<bool, kKindCount> kinds = all_kinds();
  // Classes to keep (--only); all by default.
  bool files = true;
  bool sockets = true;
  bool sql = true;
  // --match: keep only details matching one of these; empty keeps everything.
  std::vector<std::string> match;
  // --exclude: drop details matching any of these.
  std::vector<std::string> exclude;

  // --under: keep only paths (files, programs started) under one of these directories.
  std::vector<std::string> under;
  // --pid: keep only these processes; --program: only processes whose program (what
  // they last became), or its file name, matches one of these globs.
  std::vector<std::int32_t> pids;
  std::vector<std::string> programs;

  // `who`: the event's process, named as of this event (an "exec" already applied).
  bool accepts(const Event& event, const ProcessInfo& who = {}) const;
  // Whether `dir` is a usable --under directory; made absolute and without a trailing '/'.
  static bool normalise_under(std::string& dir);

  // Parse a comma-separated list; on error return false and describe the bad
  // item in `error`.
  bool set_kinds(std::string_view list, std::string& error);
  bool set_only(std::string_view list, std::string& error);
};

}  // namespace velmora::trace
