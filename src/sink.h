// Where event lines go: the host's pipe (PIPE_FD), else the log file that
// "VELMORA_IO_LOG" names at that moment, else nowhere.
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
void log_event(std::string_view kind, std::string_view detail, int32_t fd) noexcept;

// Writes all of `bytes` to fd through the real write, retrying after EINTR and
// continuing after short writes; any other failure loses the rest of the line.
void write_one(int32_t fd, std::string_view bytes) noexcept;

// Descriptors can be closed behind our back (close_range, closefrom, raw system calls)
// and their numbers reused by the program. A pipe adopted from the environment is
// checked against what it was when adopted whenever a new descriptor appears or the
// program itself uses the pipe's number; if it is no longer that pipe, the pipe is
// switched off. A host's own descriptor (set through the setter) is never checked.
void verify_pipe_fd() noexcept;
void forget_pipe_identity() noexcept;

// The program closed or overwrote descriptor fd: if it was the pipe sink, switch the
// pipe off rather than write later lines into whatever reuses the number.
void pipe_fd_closed(int32_t fd) noexcept;

}  // namespace velmora_io
