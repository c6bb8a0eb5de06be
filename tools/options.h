// Command line of velmora-trace.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "event_filter.h"

namespace velmora::trace {

enum class Format { text, jsonl, raw };

struct Options {
  std::string lib;          // --lib; empty: look it up
  bool narrow = false;      // --narrow: the library that sees only the fourteen functions
  std::string output;       // -o; empty: standard error
  Format format = Format::text;
  bool summary = false;     // table at exit
  bool stream = true;       // false with --summary-only
  double wait_seconds = 2;  // grace period for descendants after the program
  EventFilter filter;
  std::vector<std::string> command;
};

struct ParseOutcome {
  enum Status { run, help, error } status = run;
  std::string message;  // one line, without the program name
};

ParseOutcome parse_options(int argc, char** argv, Options& out);

// Text printed by --help.
std::string usage_text();

}  // namespace velmora::trace
