// Where event lines go: the host's pipe (PIPE_FD), else the log file that
// "VELMORA_IO_LOG" names at that moment, else nowhere. A host that chose the ring
// ("VELMORA_IO_RING", ring_sink.h) gets records there instead, lines only for what the
// ring cannot take.
//
// Every byte the sink writes, and its opens and closes, go through raw system calls:
// they are async-signal-safe, are no cancellation points (a thread cancelled in the
// middle of a line cannot unwind through the library with IN_HOOK set) and are not seen
// by other interposers. Lines never come from the heap.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velmora_io {

// -1 while unset; any negative value means "no pipe".
extern constinit std::atomic<int32_t> PIPE_FD;
// The host's read end, kept out of observation; -1 while unset.
extern constinit std::atomic<int32_t> PIPE_READ_FD;
// PIPE_FD has been settled, by the host or from the environment; never reset.
extern constinit std::atomic<bool> PIPE_FD_CHECKED;

// Formats one event line and hands it to the sink. Never fails visibly; errno is kept.
//
// A line is never glued to or split by another line of this process: lines up to the
// pipe's atomic size (PIPE_BUF) go out in one write while lines above it are written one
// at a time, with no other line of the process in between. A line once started is
// finished; on a non-blocking sink that is full, the rest waits for room for a bounded
// time, and a line cut short after that is ended by a line feed put before the next
// line, so the cut line is the only one damaged. A line that cannot start is dropped.
void log_event(std::string_view kind, std::string_view detail, int32_t fd) noexcept;
// The same for a caller that has just taken getpid (a close takes it for the table).
void log_event(std::string_view kind, std::string_view detail, int32_t fd, int32_t pid) noexcept;

// Settles PIPE_FD from "VELMORA_IO_FD" (and "VELMORA_IO_PIPEID") unless the host or an
// earlier call did. The first call of any wrapper settles it, together with the lookup of
// the real functions, so that a close, dup2 or dup3 of the sink's number before the first
// event is seen as the sink going away.
void settle_pipe_fd() noexcept;
inline void settle_sink() noexcept {
  if (!PIPE_FD_CHECKED.load(std::memory_order_acquire)) [[unlikely]] {
    settle_pipe_fd();
  }
}

// A pipe adopted from the environment is checked before every line: if its number no
// longer refers to the object adopted (closed and reused by any route, close_range and
// raw system calls included) the pipe is switched off and the line goes to the log file
// or nowhere. A host's own descriptor (set through the setter) is never checked.
// False when the pipe must not be written to (it is switched off, unless this is a
// child that shares the parent's memory, whose descriptors are its own).
bool verify_pipe_fd() noexcept;
void forget_pipe_identity() noexcept;

// The program closed or overwrote descriptor fd: if it was the pipe sink, switch the
// pipe off rather than write later lines into whatever reuses the number.
void pipe_fd_closed(int32_t fd) noexcept;

// In a forked child: lines that other threads of the parent were writing do not exist
// here, so the line gate keeps only this thread's own share.
void sink_after_fork_child() noexcept;

}  // namespace velmora_io
