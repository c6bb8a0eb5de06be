// The guard's finding as a JUnit XML document, so that CI systems show it: one test case
// per forbidden resource, failed, naming the process that touched it and the pattern.
#pragma once

#include <string>

#include "forbidden.h"

namespace velmora::trace {

std::string junit_report(const Forbidden& forbidden, const std::string& command);

}  // namespace velmora::trace
