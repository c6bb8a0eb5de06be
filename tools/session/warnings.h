// What the tracer tells the user after everything else: why nothing may have
// been seen, lines it could not read, processes that reported the slow way.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "process_names.h"
#include "ring_reader.h"

namespace velmora::trace {

struct RunFacts {
  pid_t program_pid = -1;
  std::string program;  // the command's first word
  std::uint64_t accepted = 0;
  std::uint64_t rejected = 0;
  int pipe_number = -1;  // the event pipe's descriptor number in the program
  const ProcessRegistry* processes = nullptr;
  const std::vector<std::string>* program_warnings = nullptr;  // ProgramWatch's
  bool wide_library = true;
  std::vector<RingLoss> ring_losses;  // records the rings lost, per process  // the default library, which sees stdio, mmap, sendfile and more
};

// Says each warning on standard error, "warning: " first, and at most one note.
void say_warnings(const RunFacts& facts);

}  // namespace velmora::trace
