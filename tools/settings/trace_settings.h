// What a run is asked to do, as plain values: the command line fills them in, the
// session reads them. Nothing here is opened or looked up yet.
#pragma once

#include <string>
#include <vector>

#include "event_filter.h"
#include "printer.h"

namespace velmora::trace {

struct TraceSettings {
  std::vector<std::string> command;  // the program and its arguments
  EventFilter filter;
  Format format = Format::text;
  bool stream = true;        // events as they arrive; false with --summary-only or --files
  bool summary = false;      // table at exit
  bool files = false;        // --files: what was touched, at exit
  bool per_process = false;  // --per-process: --files for each process too
  bool queries = false;      // --queries: text shows "query" lines
  std::string html;          // --html; empty: no report
  bool ring = true;          // --no-ring: the pipe and the log file only
  double wait_seconds = 2;   // grace period for descendants after the program
  std::vector<std::string> forbid;  // --forbid: resources no process may touch
  std::vector<std::string> allow;   // --allow: let through what a forbid would catch
  std::string junit;                // --report-junit; empty: none
};

}  // namespace velmora::trace
