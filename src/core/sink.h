// Where event lines go: the host's pipe, else the log file that "VELMORA_IO_LOG" names
// at that moment, else nowhere. A host that chose the ring ("VELMORA_IO_RING",
// ring_sink.h) gets records there instead, lines only for what the ring cannot take.
// The pipe's numbers are the sink's own: callers ask through the functions below,
// never read them.
//
// Every byte the sink writes, and its opens and closes, go through raw system calls:
// they are async-signal-safe, are no cancellation points (a thread cancelled in the
// middle of a line cannot unwind through the library with IN_HOOK set) and are not seen
// by other interposers. Lines never come from the heap.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "loaded_objects.h"
#include "ring_sink.h"
#include "raw_syscalls.h"

namespace velmora_io {

// Formats one event line and hands it to the sink. Never fails visibly; errno is kept.
//
// A line is never glued to or split by another line of this process: lines up to the
// pipe's atomic size (PIPE_BUF) go out in one write while lines above it are written one
// at a time, with no other line of the process in between. A line once started is
// finished; on a non-blocking sink that is full, the rest waits for room for a bounded
// time, and a line cut short after that is ended by a line feed put before the next
// line, so the cut line is the only one damaged. A line that cannot start is dropped.
// `pid` is the caller's getpid (a close takes it for the table anyway).
void log_event(std::string_view kind, std::string_view detail, int32_t fd, int32_t pid) noexcept;
// Inline, so that a line costs the caller no extra frame on a small signal stack.
// `outcome` (RECORD_ marks) travels on the host's ring only: a line has no room for it.
inline void log_event(std::string_view kind, std::string_view detail, int32_t fd, uint8_t outcome = 0) noexcept {
  report_loads_if_wanted();
  // The host's ring, when it chose one, needs no getpid: it keeps the identity per thread.
  if (ring_log_event(kind, detail, fd, outcome)) return;
  log_event(kind, detail, fd, raw::getpid());  // getpid never fails: errno stays
}
// The same without the table owner's check, for a line that names nothing from the
// table (a program about to start): a vfork child writes it under its own pid, and a
// parent on behalf of the child it spawned (`callers_pid` false: `pid` is the child's).
// On the host's ring when it chose one, with the call's own time; a child that shares
// this memory writes a line instead, under its own pid and tid.
void log_own_event(std::string_view kind, std::string_view detail, int32_t fd, int32_t pid,
                   bool callers_pid = true) noexcept;

// Settles the pipe from "VELMORA_IO_FD" (and "VELMORA_IO_PIPEID") unless the host or an
// earlier call did; once settled it is never settled again. The first call of any
// wrapper settles it, together with the lookup of the real functions, so that a close,
// dup2 or dup3 of the sink's number before the first event is seen as the sink going
// away.
void settle_sink() noexcept;

// The sink's own descriptors (the pipe's number, or the host's read end): never
// observed, and the socket wrappers pass over them too, since a host that reads its
// socket sink with recv would otherwise add a line with every read.
bool is_sink_fd(int32_t fd) noexcept;
// Which descriptors the plain data wrappers and close observe: not the standard streams,
// not negative numbers, not the sink's own.
bool is_reportable(int32_t fd) noexcept;
// The same for the data wrappers, where the program itself using the pipe's number
// means the number may have been reused behind the library's back: an adopted pipe's
// number is checked, and reportable once it no longer is the pipe.
bool is_reportable_checked(int32_t fd) noexcept;

// The in-process host's setters. Its pipe replaces the sink, unchecked, and settles it
// for good (a negative number: no pipe); a private duplicate of an adopted pipe is
// closed once no line is writing to it. Its read end is kept out of observation.
void hand_over_pipe(int32_t fd) noexcept;
void hand_over_read_end(int32_t fd) noexcept;

// An adopted pipe is written through a close-on-exec duplicate of the library's own at
// a high number (at most 1023, the lowest free from there down), made at the first line
// that goes to the pipe: a program whose lines all take the ring never has it. It keeps
// lines out of the pipe's number once the program has closed and reused that number by
// a route no wrapper sees. Every line checks that it still refers to the adopted pipe.
//
// The program closes, overwrites or was just handed `fd` (close, dup2, dup3, the
// close_range family, a new descriptor): if it is the pipe's number or the library's
// duplicate, the pipe is switched off, as the program giving up the sink's number means,
// once every line in flight has been written; the duplicate is closed with it (unless
// it is `fd`, which the program's own call closes, or holds already). Nothing for a
// child that shares this memory: its descriptors are its own.
void pipe_number_gone(int32_t fd) noexcept;
// The same for every number in [first, last] (close_range, closefrom).
void pipe_range_closing(unsigned first, unsigned last) noexcept;

// Fork handlers, in the table's order (fd_map.cc): the prepare handler waits until no
// line holds the log file open and holds new ones back, so no child inherits the log
// file's descriptor; the parent's lets them go on.
void sink_before_fork() noexcept;
void sink_after_fork_parent() noexcept;
// In a child (forked, or made by a raw clone with memory of its own): lines that other
// threads of the parent were writing do not exist here, so the gates keep only this
// thread's own share.
void sink_after_fork_child() noexcept;

}  // namespace velmora_io
