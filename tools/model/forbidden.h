// The tool's guard, for any test runner: every event whose detail a --forbid pattern
// matches and no --allow pattern lets through, kept once per resource with the first
// process that touched it. The command runs to its end; nothing is stopped.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "event_parse.h"
#include "process_names.h"

namespace velmora::trace {

class Forbidden {
 public:
  struct Touch {
    Kind kind = Kind::read;
    std::int32_t pid = 0;
    std::string program;  // who the process was when it touched it
    std::string pattern;  // the --forbid pattern it matched
    std::uint64_t events = 0;
  };

  std::vector<std::string> forbid;
  std::vector<std::string> allow;  // wins over forbid

  bool active() const { return !forbid.empty(); }
  // Every event, whatever the filter keeps (the filter only shapes what is shown).
  void see(const Event& event, const ProcessInfo& who);
  // By resource (an "exec": its program), sorted.
  const std::map<std::string, Touch>& touched() const { return touched_; }

 private:
  std::map<std::string, Touch> touched_;
};

}  // namespace velmora::trace
