// Command line of velmora-trace.
#pragma once

#include <string>

#include "trace_settings.h"

namespace velmora::trace {

// The run's settings, and what only the command line's own program uses: which
// library, where the output goes.
struct Options : TraceSettings {
  std::string lib;          // --lib; empty: look it up
  bool narrow = false;      // --narrow: the library that sees only the fourteen functions
  std::string output;       // -o; empty: standard error
};

struct ParseOutcome {
  enum Status { run, help, error } status = run;
  std::string message;  // one line, without the program name
};

// Options end at the first word that is not one (or after "--"): what follows
// is the command and its own options.
ParseOutcome parse_options(int argc, char** argv, Options& out);

// Text printed by --help.
std::string usage_text();

}  // namespace velmora::trace
