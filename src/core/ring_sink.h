// The ring transport: events as records in memory the host maps (ring_protocol.h),
// chosen by a host that sets "VELMORA_IO_RING" to a directory of its own and
// "VELMORA_IO_HOST" to its pid.
//
// Each process creates its ring once, at its first event, and only while that host
// lives (a ring nobody reads would stay for ever) and the ring's size fits under the
// process's file-size limit (sizing past it raises SIGXFSZ): a file named after its pid
// in that directory, created, its pages reserved (a full file system refuses the ring
// then, instead of raising SIGBUS later), mapped shared and closed again (so a program that
// closes every descriptor keeps reporting, and no SIGPIPE can come from memory). After
// that an event costs no system call: the time is CLOCK_MONOTONIC through the vDSO,
// the pid and tid come from the thread's cached identity (process_identity.h).
//
// A child sharing the thread's memory (vfork, clone with CLONE_VM) finds the cache
// emptied at its first call that asks the kernel for the pid anyway; from then on each
// of its events asks the kernel (one getpid) and, not owning the state, is left out, as
// on the line sinks; the parent's thread refills the cache at its next event. What
// remains per event: a memory-sharing child's data event before any such call is
// reported under the thread's cached identity (it cannot be told apart without a
// system call).
//
// A full ring makes the writer sleep in short steps, up to a second by the clock, then
// count the record as dropped in the ring; after such a wait timed out, records that
// find the ring full are dropped at once until the reader has caught up. A signal handler that interrupted its own thread's
// record never waits (the host could not pass the unfinished record), it drops and
// counts. Everything here is async-signal-safe and no cancellation point (raw system
// calls only), and keeps errno.
#pragma once

#include <cstdint>
#include <string_view>

namespace velmora_io {

// Writes the event as a record when the host chose the ring and this process has one;
// false when the caller should use the line sinks instead (no ring chosen, it could not
// be created, the record is too long). True also for an event that is dropped and
// counted, and for one of a child that shares this memory (left out).
bool ring_log_event(std::string_view kind, std::string_view detail, int32_t fd, uint8_t outcome = 0) noexcept;
// The same for an event written under a pid the caller names (its own, or a child's it
// spawned), with the calling thread's tid. A child that shares this memory (vfork, clone
// with CLONE_VM) writes into the ring its parent made, with its own tid (asked of the
// kernel: the thread's identity cache is its parent's); false, for the line sinks to
// carry it under that pid, while the parent has none (the child's would be the parent's).
bool ring_log_event_as(std::string_view kind, std::string_view detail, int32_t fd, int32_t pid) noexcept;

// How a child the process reaped ended (its wait status), for the host, when the process
// writes to a ring; nothing otherwise (a line has no kind for it).
void ring_note_child_exit(int32_t child, int status) noexcept;

// In a forked child: its own ring at its next event.
void ring_after_fork_child() noexcept;

}  // namespace velmora_io
