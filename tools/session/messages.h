// One-line messages from the tracer itself, on standard error.
#pragma once

#include <string>

namespace velmora::trace {

// Writes "velmora-trace: <line>\n" in one write, so that it is not split up
// by output of the traced program sharing standard error.
void say(const std::string& line);

}  // namespace velmora::trace
