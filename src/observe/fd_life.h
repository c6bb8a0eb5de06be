// The table's side of a descriptor's life outside dup2 and dup3: close (both libraries,
// and syscall() by number), and in the wide library the calls that hand out a number
// and the calls that close many.
#pragma once

#include <cstdint>

#include "library_kind.h"
#include "process_identity.h"
#include "raw_syscalls.h"

namespace velmora_io::linux_intercept {

// The pid a change of the table is made under. The wide library takes the thread's
// cached one: every way the C library offers of making a child that skips the fork
// handlers (vfork, clone, _Fork, syscall() by number) empties that cache in the child.
// The narrow library sees none of them, and asks the kernel.
inline int32_t pid_for_table() noexcept {
  if constexpr (WIDE_LIBRARY) {
    return current_pid();
  } else {
    return raw::getpid();
  }
}

// fd was just handed out by the kernel, so it was free: any entry still held for it
// is stale (its descriptor was closed where no wrapper saw it) and is dropped, without
// an event. A number that was the sink pipe's means the pipe is gone.
void forget_fd(int fd) noexcept;

// `to` was just made a duplicate of `from` (wide library): as forget_fd, except that
// `to` keeps a quiet copy of `from`'s name (fd_map.h), so that names looked up under a
// duplicated directory need no look at the kernel, and nothing reported changes.
void duplicated_fd(int from, int to) noexcept;

// fd is about to be closed: as close does, a reportable descriptor's entry is taken out
// and, when there was one, "close" reported.
void closing_fd(int fd) noexcept;

// close, around `real` (the named function, or syscall() for its number): the entry
// taken out and "close" reported before the descriptor goes.
int close_with(int (*real)(int), int fd) noexcept;

// forget_fd for the result of a call that returns a new descriptor or -1; returns it.
inline int new_fd(int result) noexcept {
  if (result >= 0) forget_fd(result);
  return result;
}

}  // namespace velmora_io::linux_intercept
