// One event as a line of output in the format the user chose.
#pragma once

#include <string>
#include <string_view>

#include "event_parse.h"
#include "options.h"
#include "process_names.h"

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

}  // namespace velmora::trace
