// The tracer's main loop: runs the program, reads the event pipe until every
// process holding it is done (or the grace period after the program's exit
// runs out), forwards termination signals, and feeds the output.
#pragma once

#include <cstdint>
#include <string>

#include "library_locator.h"
#include "trace_settings.h"
#include "unique_fd.h"

namespace velmora::trace {

struct SessionResult {
  int exit_code = 0;
  std::uint64_t accepted = 0;  // lines that parsed, from both channels
  std::uint64_t rejected = 0;
};

// Runs settings.command with `lib` preloaded. Messages for the user go to
// standard error; events and summary to `output_fd`; the --html report, when
// asked for, to `html` (opened already, written at the end).
// `loadable` is finished before the program starts: a library the loader refuses ends
// the run with status 2.
SessionResult run_session(const TraceSettings& settings, const std::string& lib, LoadCheck& loadable, int output_fd,
                          UniqueFd html);

}  // namespace velmora::trace
