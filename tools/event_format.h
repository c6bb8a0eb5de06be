// One event as a line of output in the format the user chose.
#pragma once

#include <string>
#include <string_view>

#include "event_parse.h"
#include "options.h"

namespace velmora::trace {

// Appends the rendering of `event` (received `seconds` after the start) to
// `out`, LF included. `raw_line` is the line as read, without its LF.
void format_event(Format format, const Event& event, std::string_view raw_line, double seconds,
                  std::string& out);

}  // namespace velmora::trace
