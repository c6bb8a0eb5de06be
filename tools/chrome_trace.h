// The Chrome trace event format (JSON object form), which Perfetto and
// chrome://tracing open: one instant event per line received, on the track of
// its process and thread, then names for every process and thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "event_parse.h"
#include "process_names.h"

namespace velmora::trace {

class ChromeTrace {
 public:
  // Appends the opening of the document.
  void begin(std::string& out);
  // One instant event ("ph":"i", thread scope) named by kind, with the
  // detail and fd as arguments; `seconds` is when the line was received.
  void event(const Event& event, double seconds, std::string& out);
  // Process and thread name metadata, then `extra` members (each
  // '"key":{...}', may be empty) of the top-level object, and the end.
  void end(const ProcessRegistry& processes, std::string_view extra, std::string& out);

 private:
  bool first_ = true;
  void separator(std::string& out);
};

}  // namespace velmora::trace
