// Whether the preloaded library can see into a program at all: it is loaded
// by the dynamic loader, so a statically linked program (no loader), or one
// for another word size, never runs it.
#pragma once

#include <string>

namespace velmora::trace {

// The file execvp would run for `command` (searched in PATH when it holds no
// '/'); empty if none is found.
std::string find_program(const std::string& command);

// Why the library cannot observe the program in file `path`, as a short
// phrase ("is statically linked"), or empty when it can (or the file cannot
// be read). A "#!" script is judged by its interpreter.
std::string unobservable_reason(const std::string& path);

// The dynamic loader the 64-bit ELF program in file `path` names (PT_INTERP); empty for
// a static program or a file that cannot be read.
std::string program_interpreter(const std::string& path);

}  // namespace velmora::trace
