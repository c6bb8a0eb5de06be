// The event stream as lines, one per event, in the text, jsonl or raw format;
// who a process is, written before its first event.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

#include "printer.h"

namespace velmora::trace {

// Appends the rendering of `event` (received `seconds` after the start) to
// `out`, LF included. `raw_line` is the line as read, without its LF.
void format_event(Format format, const Event& event, std::string_view raw_line, double seconds,
                  std::string& out);

// Appends who process `pid` is, written before its first shown event:
// text "<t> pid N = PROGRAM ARGS", jsonl {"t","pid","kind":"process","exe",
// "argv"} (or "gone":true). Nothing for raw.
void format_process(Format format, std::int32_t pid, const ProcessInfo& info, double seconds,
                    std::string& out);

class LinePrinter : public Printer {
 public:
  LinePrinter(Format format, OutputSink& out) : format_(format), out_(out) {}
  void event(const Event& event, std::string_view raw, double seconds, const ProcessInfo& who) override;
  std::string finish(const Model&) override { return {}; }

 private:
  Format format_;
  OutputSink& out_;
  std::unordered_set<std::int32_t> announced_;
  std::int32_t last_pid_ = 0;  // events come in runs from one process
};

}  // namespace velmora::trace
