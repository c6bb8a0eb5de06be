// The event stream as lines, one per event, in the text, jsonl or raw format;
// who a process is, written before its first event (for one that exited before it
// was looked up, once its exec line has named it or another process's line comes).
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>

#include "printer.h"

namespace velmora::trace {

// Appends the rendering of `event` (made or received `seconds` after the start) to
// `out`, LF included.
void format_event(Format format, const Event& event, double seconds, std::string& out);

// Appends who process `pid` is, written before its first shown event:
// text "<t> pid N = PROGRAM ARGS", jsonl {"t","pid","kind":"process","exe",
// "argv"} (or "gone":true). Nothing for raw.
void format_process(Format format, std::int32_t pid, const ProcessInfo& info, double seconds,
                    std::string& out);

class LinePrinter : public Printer {
 public:
  // `queries`: whether text shows "query" lines (the other formats carry every line).
  LinePrinter(Format format, bool queries, OutputSink& out) : format_(format), queries_(queries), out_(out) {}
  void event(const Event& event, double seconds, const ProcessInfo& who) override;
  std::string finish(const Model&) override;

 private:
  Format format_;
  bool queries_;
  OutputSink& out_;
  std::unordered_set<std::int32_t> announced_;
  std::int32_t last_pid_ = 0;  // events come in runs from one process
  // A process gone before it was looked up: its header and lines wait for its exec
  // line (or another process's line) so that the header names what it became.
  void release_held();
  static constexpr std::size_t MAX_HELD_BYTES = 64 * 1024;
  const ProcessInfo* held_ = nullptr;  // the registry's entry, kept at one address
  std::int32_t held_pid_ = 0;
  double held_seconds_ = 0;
  std::string held_lines_;
};

}  // namespace velmora::trace
