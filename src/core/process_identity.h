// Who the calling process and thread are, and whether this process owns the library's
// state (the descriptor table, the sink's gates, the ring). The lowest piece of the
// core: it knows none of that state, only which process it belongs to.
//
// The owner is the process that first changed the state, unless that process shares its
// parent's memory (the kernel is asked once, KCMP_VM against the parent: a vfork child of
// a process that has reported nothing yet leaves the state to it), and again every child
// that the fork handlers ran for (fork_handlers.h records it). A process with another pid is one
// no fork handler ran for, and the kernel is asked (KCMP_VM against the owner, once per
// such process) whether it shares the owner's memory:
//   - a child sharing it (vfork, clone with CLONE_VM) has descriptors of its own but
//     would rewrite its parent's names: it changes nothing and writes no line that
//     names something from the table;
//   - a raw-clone child with memory of its own is the copy's owner from then on, once
//     the state's locks and gates (whose holders may be threads that do not exist in
//     it) are re-created by the hook that the fork handlers install;
//   - when the kernel cannot tell (kcmp refused, the owner gone), the process changes
//     nothing and never waits for a lock of the state: its events are lost.
//
// The thread's identity (pid, tid) is cached for the ring, which needs no system call
// per event. It is filled by the thread's first event, emptied in a forked child, and
// emptied again whenever a path that asks the kernel for the pid anyway (close, dup2,
// naming a descriptor) finds another pid than the cached one: a memory-sharing or
// raw-clone child running on the thread's copy.
//
// Everything here is async-signal-safe, lock-free and keeps errno.
#pragma once

#include <cstdint>

#include "raw_syscalls.h"

namespace velmora_io {

// Whether this process may change the state; the one with a pid in hand costs no
// system call on the owner's path. The first caller of a process with no owner yet
// becomes the owner.
bool owned_here() noexcept;
bool owned_by(int32_t pid) noexcept;

// False when the kernel could not tell what this process is to the owner: a lock of the
// state may be held by a thread that does not exist here, so it must not be waited for.
bool may_wait_for_state_locks() noexcept;

// For the fork handlers: whether the forking process is the owner (or there is none
// yet), and the child's pid recorded as the owner.
bool forking_process_owns() noexcept;
void record_owner(int32_t pid) noexcept;
// Installed once by the fork handlers: re-creates the locks and gates of the state in a
// raw-clone child with memory of its own, before it becomes the owner of its copy.
void on_own_copy(void (*renew)() noexcept) noexcept;

// The thread's cached identity; pid 0 while unknown.
extern constinit thread_local int32_t MY_PID __attribute__((tls_model("initial-exec")));
extern constinit thread_local int32_t MY_TID __attribute__((tls_model("initial-exec")));
// Fills the cache (getpid, gettid); false, leaving it empty, in a process that does not
// own the state.
bool know_this_thread() noexcept;
// Tells the cache what the kernel said the pid is.
inline void saw_pid(int32_t pid) noexcept {
  if (MY_PID != 0 && MY_PID != pid) MY_PID = 0;
}
// In a forked child, and on both sides of a vfork: the thread's identity is asked
// again at its next event.
inline void forget_this_thread() noexcept { MY_PID = 0; }
// The calling process's pid: the thread's cached one when known (no system call), else
// the kernel's. Right wherever the cache is (see above); for events that change none of
// the state, since a memory-sharing child made without vfork carries its parent's
// cache until its first call that asks the kernel.
inline int32_t current_pid() noexcept { return MY_PID != 0 ? MY_PID : raw::getpid(); }

}  // namespace velmora_io
