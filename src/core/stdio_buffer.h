// Whether a stdio call will move bytes between a FILE's buffer and its descriptor,
// judged from the FILE's own buffer pointers.
//
// The C library's stdio reads and writes through internal calls that no preloaded
// definition can reach, so its wrappers report a "read" or "write" from here instead:
// only when the buffer is refilled or flushed (or a large fread/fwrite bypasses it),
// never per character.
//
// The layout relied on is glibc's public struct _IO_FILE (<bits/types/struct_FILE.h>),
// part of its binary interface: _flags (the magic in its high half, and the flag bits
// below), _IO_read_ptr and _IO_read_end (bytes buffered for reading), _IO_write_base,
// _IO_write_ptr and _IO_write_end (bytes waiting to be written, room left), _IO_buf_base
// and _IO_buf_end (the buffer, null until first use), _fileno and _mode. The behaviour
// modelled is glibc's file streams since 2.28 (end of file is sticky: a stream that has
// seen it does not read again through its buffer). stdio_layout_known() checks at first
// use that the running C library is that one; when it is not, every judgement here says
// "no transfer" and the wrappers only pass calls on.
//
// Everything here is async-signal-safe: no allocation, no lock, no stdio call. A judgement
// reads the FILE without taking its lock; a stream used by several threads at once may be
// judged on a state that another thread changes a moment later (an event too many or too
// few, never a fault).
#pragma once

#include <cstddef>
#include <cstdio>

namespace velmora_io {

// What a call will do with the descriptor; a write (a flush of pending output) always
// comes before a read.
struct Transfer {
  bool write = false;
  bool read = false;
  bool any() const noexcept { return write || read; }
};

// True when the running C library has the FILE layout and behaviour modelled here. The
// first call decides (version 2.28 or later, and the standard streams' fields agree with
// the C library's own accessors); later calls read a cached answer.
bool stdio_layout_known() noexcept;

// The descriptor behind fp when fp is a byte-oriented stream over a descriptor (fopen,
// fdopen, popen; not memory or cookie streams) of the known layout; otherwise -1.
int stdio_descriptor(const FILE* fp) noexcept;

// --- judged before the call --------------------------------------------------------

// getc, fgetc, __uflow: the next byte is not buffered.
Transfer next_byte_transfer(const FILE* fp) noexcept;
// fgets with a buffer of n bytes (at most n - 1 read).
Transfer line_transfer(const FILE* fp, int n) noexcept;
// getline, getdelim: everything up to and including `delim`.
Transfer delimited_transfer(const FILE* fp, int delim) noexcept;
// fread of `bytes` in all.
Transfer block_read_transfer(const FILE* fp, std::size_t bytes) noexcept;

// putc, fputc: one byte stored through the buffer's fast path when there is room.
Transfer put_byte_transfer(const FILE* fp, int c) noexcept;
// __overflow: the slow path of putc, or a plain flush when c is EOF.
Transfer overflow_transfer(const FILE* fp, int c) noexcept;
// fwrite, fputs: n bytes from s.
Transfer block_write_transfer(const FILE* fp, const char* s, std::size_t n) noexcept;
// fflush, fclose: output still in the buffer.
Transfer pending_transfer(const FILE* fp) noexcept;
// fseek and kin to `offset` from `whence` (SEEK_SET, SEEK_CUR, SEEK_END): pending output
// is flushed, and a stream that reads refills its buffer from the block holding the new
// position unless the position is still inside the buffer or starts a block. SEEK_END
// costs one fstat.
Transfer seek_transfer(const FILE* fp, long long offset, int whence) noexcept;

// --- judged after the call, from the pointers' movement ----------------------------
// (formatted input and output, whose byte counts are not known beforehand)

struct BufferMark {
  const char* read_ptr = nullptr;
  const char* read_end = nullptr;
  const char* write_base = nullptr;
  const char* write_ptr = nullptr;
  const char* buf_base = nullptr;
  int flags = 0;
  bool putting = false;
};

BufferMark mark_buffer(const FILE* fp) noexcept;

// fprintf and kin, which returned `produced` (negative on failure).
Transfer formatted_output_transfer(const BufferMark& before, const FILE* fp, long produced) noexcept;
// fscanf and kin.
Transfer formatted_input_transfer(const BufferMark& before, const FILE* fp) noexcept;

// The read system calls an fread of `want` bytes that returned `got` bytes has made, as
// glibc makes them on a regular file (each read whole, short only at end of file): one
// fread can refill, read directly and then meet end of file, and strace counts each.
std::size_t block_read_calls(const BufferMark& before, const FILE* fp, std::size_t want, std::size_t got) noexcept;

// The same for a line read (fgets, getline, getdelim) that returned `got` bytes: a line
// longer than the buffer, an unbuffered stream, a last line met by end of file each
// take several reads.
std::size_t line_read_calls(const BufferMark& before, const FILE* fp, std::size_t got) noexcept;

}  // namespace velmora_io
