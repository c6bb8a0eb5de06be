// A process as every machine format writes it: its pid and parent's, the working
// directory at its first event, its program and arguments, its first and last times,
// and how it ended when the tool saw that. Fields not known are left out.
#pragma once

#include <cstdint>

#include "json_writer.h"
#include "process_names.h"

namespace velmora::trace {

// The fields, into an object the caller has begun. `with_end`: also its end and exit,
// once every event is in (a record written at a process's first event knows neither).
void write_process_fields(JsonWriter& json, std::int32_t pid, const ProcessInfo& info, bool with_end);

}  // namespace velmora::trace
