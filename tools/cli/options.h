// Command line of velmora-trace.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "event_filter.h"
#include "printer.h"

namespace velmora::trace {

struct Options {
  std::string lib;          // --lib; empty: look it up
  bool narrow = false;      // --narrow: the library that sees only the fourteen functions
  std::string output;       // -o; empty: standard error
  std::string html;         // --html; empty: no report
  Format format = Format::text;
  bool summary = false;     // table at exit
  bool files = false;       // --files: what was touched, at exit
  bool per_process = false; // --per-process: --files for each process too
  bool queries = false;     // --queries: text shows "query" lines
  bool ring = true;         // --no-ring: the pipe and the log file only
  bool stream = true;       // false with --summary-only or --files
  double wait_seconds = 2;  // grace period for descendants after the program
  EventFilter filter;
  std::vector<std::string> command;
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
