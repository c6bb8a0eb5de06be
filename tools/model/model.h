// Everything the printers read at the end of a run: who each process was, and the
// summary's counts. Events themselves reach the printers one by one as they arrive.
#pragma once

#include <string>
#include <vector>

#include "process_names.h"
#include "forbidden.h"
#include "summary.h"

namespace velmora::trace {

struct Model {
  std::vector<std::string> command;  // as the user gave it
  ProcessRegistry processes;
  Summary summary;
  Forbidden forbidden;
};

}  // namespace velmora::trace
