// The libraries a trial load accepted, remembered between runs by their file's
// identity. A trial costs a program start under the dynamic loader, about 1 ms: as
// much as a short program's whole run. A library that loaded once and has not changed since (same
// device, inode, size, modification and change times) is not tried again.
//
// The memo is a small file of the user's own beside the tracer's session files. One
// that is missing, not the user's, unreadable or unwritable only means the trial is
// made; a line torn by two tracers writing at once matches nothing.
#pragma once

#include <sys/stat.h>

namespace velmora::trace {

// True when a library with this identity was accepted before.
bool load_remembered(const struct stat& library);
// Records that a library with this identity was accepted (best effort).
void remember_load(const struct stat& library);

}  // namespace velmora::trace
