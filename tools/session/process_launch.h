// Starting the traced program: the event pipe it reports into, the
// environment that makes it preload the library, and fork/exec with exec
// failures reported back to the tracer.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "unique_fd.h"

namespace velmora::trace {

struct EventPipe {
  UniqueFd read;   // close-on-exec, non-blocking; stays with the tracer
  UniqueFd write;  // inheritable, at a high number; closed after the spawn
};

// Creates the event pipe. The write end is moved to a high descriptor number
// so that programs which close or reuse the low numbers leave it alone.
// Returns an empty string on success, else a one-line reason.
std::string open_event_pipe(EventPipe& pipe);

// The environment for the traced program: `base` with the library put first
// in LD_PRELOAD (existing entries kept), VELMORA_IO_FD naming the write end,
// and VELMORA_IO_LOG naming the tracer's own log file (the user's is
// replaced), which the library falls back to once the pipe is gone, and
// VELMORA_IO_RING naming the rings' directory when there is one, with
// VELMORA_IO_HOST naming the tracer's pid (a user's own are dropped either way).
std::vector<std::string> traced_environment(char** base, const std::string& lib, int write_fd,
                                            const std::string& log_path, const std::string& ring_dir);

struct SpawnResult {
  pid_t pid = -1;     // the child, also when exec failed (it must be reaped)
  int exec_error = 0; // errno of the failed exec, 0 when the program runs
  std::string error;  // fork or pipe failure: nothing was started
};

// Forks and execs `argv` (searched in PATH as a shell would) with `env`.
// `found`, when not empty, is where the tracer found the program already: tried
// first, so that the child does not walk PATH again (each miss copies the whole
// environment into the kernel); any failure there falls back to the search.
// The child gets `child_mask` as its signal mask. Returns once the exec has
// either succeeded or failed.
SpawnResult spawn_program(const std::vector<std::string>& argv, const std::string& found,
                          const std::vector<std::string>& env, const sigset_t& child_mask);

}  // namespace velmora::trace
