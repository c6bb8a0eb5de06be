#include "stdio_buffer.h"

#include <gnu/libc-version.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "raw_syscalls.h"

namespace velmora_io {
namespace {

// glibc's flag bits in the low half of _flags (libio.h; part of the binary interface,
// as programs built against older headers test some of them inline).
constexpr int MAGIC_MASK = static_cast<int>(0xFFFF0000u);
constexpr int MAGIC = static_cast<int>(0xFBAD0000u);
constexpr int UNBUFFERED = 0x0002;
constexpr int NO_READS = 0x0004;
constexpr int NO_WRITES = 0x0008;
constexpr int EOF_SEEN = 0x0010;  // _IO_EOF_SEEN
constexpr int ERR_SEEN = 0x0020;  // _IO_ERR_SEEN
constexpr int IN_BACKUP = 0x0100;
constexpr int LINE_BUF = 0x0200;
constexpr int CURRENTLY_PUTTING = 0x0800;
constexpr int IS_FILEBUF = 0x2000;

// glibc's buffer size when the descriptor suggests none (BUFSIZ); a file stream gets its
// st_blksize when that is smaller.
constexpr std::size_t DEFAULT_BUFFER = 8192;
// Below this block size glibc's fwrite hands everything over directly.
constexpr std::size_t MIN_ALIGNED_BLOCK = 128;

std::size_t span(const char* from, const char* to) noexcept {
  return to > from ? static_cast<std::size_t>(to - from) : 0;
}

bool putting(const FILE* fp) noexcept {
  return (fp->_flags & CURRENTLY_PUTTING) != 0 && fp->_IO_write_base != nullptr;
}

std::size_t pending(const FILE* fp) noexcept {
  return putting(fp) ? span(fp->_IO_write_base, fp->_IO_write_ptr) : 0;
}

// Bytes a read can take from the buffer without the C library going to the descriptor.
// In put mode the read pointers mean nothing: the next read switches modes and refills.
std::size_t buffered_input(const FILE* fp) noexcept {
  return putting(fp) ? 0 : span(fp->_IO_read_ptr, fp->_IO_read_end);
}

// The buffer the C library will allocate at a stream's first use, as it decides it: the
// descriptor's block size (if smaller than BUFSIZ), line buffering for a terminal.
struct FreshBuffer {
  std::size_t size = DEFAULT_BUFFER;
  bool line_buffered = false;
};

FreshBuffer fresh_buffer(const FILE* fp) noexcept {
  FreshBuffer b;
  struct stat st;
  if (fp->_fileno < 0 || raw::fstat(fp->_fileno, &st) != 0) return b;
  if (S_ISCHR(st.st_mode)) {
    const unsigned int major_number = major(st.st_rdev);
    b.line_buffered = (major_number >= 136 && major_number <= 143) || raw::is_terminal(fp->_fileno);
  }
  if (st.st_blksize > 0 && static_cast<std::size_t>(st.st_blksize) < DEFAULT_BUFFER) {
    b.size = static_cast<std::size_t>(st.st_blksize);
  }
  return b;
}

// The buffer is exhausted for this call: a pending output is flushed first (the stream
// leaves put mode), then the descriptor is read unless end of file was seen already.
// In the backup area (after an ungetc) the main buffer may still hold data: not judged.
Transfer refill(const FILE* fp) noexcept {
  Transfer t;
  t.write = pending(fp) > 0;
  t.read = (fp->_flags & (NO_READS | EOF_SEEN | IN_BACKUP)) == 0;
  return t;
}

bool version_at_least_2_28(const char* version) noexcept {
  if (version == nullptr || version[0] != '2' || version[1] != '.') return false;
  unsigned minor = 0;
  const char* p = version + 2;
  if (*p < '0' || *p > '9') return false;
  for (; *p >= '0' && *p <= '9' && minor < 1000; ++p) minor = minor * 10 + static_cast<unsigned>(*p - '0');
  return minor >= 28;
}

// One standard stream's fields read directly agree with what the C library's own
// accessors say about it. Another thread may be changing the stream meanwhile, so a
// disagreement is retried before it counts.
bool fields_agree(FILE* fp, int expected_fd) noexcept {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int flags = fp->_flags;
    const bool header = (flags & MAGIC_MASK) == MAGIC && (flags & IS_FILEBUF) != 0 &&
                        (fp->_fileno == expected_fd || fp->_fileno == -1);
    if (header && fp->_mode > 0) return true;  // wide: the accessors answer for the wide buffer
    const bool ok = header && ::__fbufsize(fp) == span(fp->_IO_buf_base, fp->_IO_buf_end) &&
                    ::__fpending(fp) == span(fp->_IO_write_base, fp->_IO_write_ptr) &&
                    (::__flbf(fp) != 0) == ((flags & LINE_BUF) != 0) &&
                    (::__fwriting(fp) != 0) == ((flags & (NO_READS | CURRENTLY_PUTTING)) != 0);
    if (ok) return true;
  }
  return false;
}

bool probe_layout() noexcept {
  return version_at_least_2_28(::gnu_get_libc_version()) && fields_agree(stdin, 0) &&
         fields_agree(stdout, 1) && fields_agree(stderr, 2);
}

// 0: not decided yet; 1: known; 2: another C library, or another layout.
constinit std::atomic<uint8_t> LAYOUT{0};

}  // namespace

bool stdio_layout_known() noexcept {
  uint8_t state = LAYOUT.load(std::memory_order_relaxed);
  if (state == 0) [[unlikely]] {
    state = probe_layout() ? 1 : 2;
    LAYOUT.store(state, std::memory_order_relaxed);
  }
  return state == 1;
}

int stdio_descriptor(const FILE* fp) noexcept {
  if (fp == nullptr || !stdio_layout_known()) return -1;
  const int flags = fp->_flags;
  if ((flags & MAGIC_MASK) != MAGIC || (flags & IS_FILEBUF) == 0 || fp->_mode > 0) return -1;
  return fp->_fileno >= 0 ? fp->_fileno : -1;
}

namespace {

bool newly_set(const BufferMark& before, const FILE* fp, int bits) noexcept {
  return (fp->_flags & ~before.flags & bits) != 0;
}

}  // namespace

// --- before the call ---------------------------------------------------------------

Transfer next_byte_transfer(const FILE* fp) noexcept {
  if (buffered_input(fp) > 0) return {};
  return refill(fp);
}

// fgets copies up to n - 1 bytes, stopping after a newline; it goes to the descriptor
// only if the buffered bytes hold neither a newline nor n - 1 bytes.
Transfer line_transfer(const FILE* fp, int n) noexcept {
  if (n <= 1) return {};
  const std::size_t want = static_cast<std::size_t>(n) - 1;
  const std::size_t have = buffered_input(fp);
  if (have >= want) return {};
  if (have > 0 && std::memchr(fp->_IO_read_ptr, '\n', have) != nullptr) return {};
  return refill(fp);
}

Transfer delimited_transfer(const FILE* fp, int delim) noexcept {
  const std::size_t have = buffered_input(fp);
  if (have > 0 && std::memchr(fp->_IO_read_ptr, delim, have) != nullptr) return {};
  return refill(fp);
}

// fread takes what is buffered; for the rest it refills the buffer when less than a
// buffer's worth is missing, and otherwise reads straight into the caller's memory,
// which it does even after end of file.
Transfer block_read_transfer(const FILE* fp, std::size_t bytes) noexcept {
  const std::size_t have = buffered_input(fp);
  if (bytes <= have) return {};
  Transfer t = refill(fp);
  const std::size_t buffer = span(fp->_IO_buf_base, fp->_IO_buf_end);
  const bool direct = fp->_IO_buf_base == nullptr || bytes - have >= buffer;
  if (direct && (fp->_flags & (NO_READS | IN_BACKUP)) == 0) t.read = true;
  return t;
}

Transfer put_byte_transfer(const FILE* fp, int c) noexcept {
  if (fp->_IO_write_ptr < fp->_IO_write_end) return {};  // room, and not line-buffered
  return overflow_transfer(fp, static_cast<unsigned char>(c));
}

// The slow path stores the byte after flushing a full buffer, and then flushes again
// for an unbuffered stream or a newline on a line-buffered one.
Transfer overflow_transfer(const FILE* fp, int c) noexcept {
  Transfer t;
  if ((fp->_flags & NO_WRITES) != 0) return t;
  if (c == EOF) {
    t.write = pending(fp) > 0;
    return t;
  }
  if (putting(fp) && fp->_IO_write_ptr >= fp->_IO_buf_end) {
    t.write = true;
  } else if ((fp->_flags & UNBUFFERED) != 0) {
    t.write = true;
  } else if (c == '\n') {
    t.write = fp->_IO_buf_base != nullptr ? (fp->_flags & LINE_BUF) != 0 : fresh_buffer(fp).line_buffered;
  }
  return t;
}

// fwrite and fputs fill the room left; a line-buffered stream in put mode flushes through
// its last newline when everything fits. What does not fit flushes the buffer, goes out
// directly in whole buffer-sized blocks, and the remainder is buffered (byte by byte on a
// line-buffered stream, so a newline in it flushes again).
Transfer block_write_transfer(const FILE* fp, const char* s, std::size_t n) noexcept {
  Transfer t;
  if (n == 0 || (fp->_flags & NO_WRITES) != 0) return t;
  t.write = true;
  if ((fp->_flags & UNBUFFERED) != 0) return t;
  if ((fp->_flags & LINE_BUF) != 0 && putting(fp)) {
    if (span(fp->_IO_write_ptr, fp->_IO_buf_end) >= n) t.write = std::memchr(s, '\n', n) != nullptr;
    return t;
  }
  const std::size_t room = span(fp->_IO_write_ptr, fp->_IO_write_end);
  if (n <= room) {
    t.write = false;
    return t;
  }
  if (room > 0 || pending(fp) > 0) return t;  // a buffer with bytes in it is flushed
  FreshBuffer buffer;
  if (fp->_IO_buf_base != nullptr) {
    buffer.size = span(fp->_IO_buf_base, fp->_IO_buf_end);
    buffer.line_buffered = (fp->_flags & LINE_BUF) != 0;
  } else {
    buffer = fresh_buffer(fp);
  }
  if (buffer.size < MIN_ALIGNED_BLOCK || n >= buffer.size) return t;
  t.write = buffer.line_buffered && std::memchr(s, '\n', n) != nullptr;
  return t;
}

Transfer pending_transfer(const FILE* fp) noexcept {
  Transfer t;
  t.write = pending(fp) > 0;
  return t;
}

Transfer seek_transfer(const FILE* fp, long long offset, int whence) noexcept {
  Transfer t = pending_transfer(fp);
  if (!stdio_layout_known() || fp->_fileno < 0 || (fp->_flags & (NO_READS | UNBUFFERED)) != 0) return t;
  constexpr long long UNKNOWN = -1;  // glibc's _IO_pos_BAD
  const bool writing = putting(fp) && pending(fp) > 0;
  long long known = fp->_offset;  // where the descriptor stands, as the stream knows it
  if (writing && known != UNKNOWN) known += static_cast<long long>(pending(fp));
  long long target = offset;
  if (whence == SEEK_CUR) {
    if (known == UNKNOWN) return t;  // the C library seeks without reading
    target += writing ? known : known - static_cast<long long>(buffered_input(fp));
  } else if (whence == SEEK_END) {
    struct stat st;
    if (raw::fstat(fp->_fileno, &st) != 0 || !S_ISREG(st.st_mode)) return t;
    target += st.st_size;
  }
  // Still inside what the buffer holds: only the pointers move.
  if (!writing && !putting(fp) && known != UNKNOWN && fp->_IO_read_base != nullptr) {
    const long long start = known - static_cast<long long>(span(fp->_IO_buf_base, fp->_IO_read_end));
    if (target >= start && target < known) return t;
  }
  const long long size = fp->_IO_buf_base != nullptr
                             ? static_cast<long long>(span(fp->_IO_buf_base, fp->_IO_buf_end))
                             : static_cast<long long>(fresh_buffer(fp).size);
  if (size <= 1 || target < 0) return t;
  const long long delta = target - (target & ~(size - 1));
  t.read = delta != 0;
  return t;
}

// --- after the call ----------------------------------------------------------------

BufferMark mark_buffer(const FILE* fp) noexcept {
  BufferMark m;
  m.read_ptr = fp->_IO_read_ptr;
  m.read_end = fp->_IO_read_end;
  m.write_base = fp->_IO_write_base;
  m.write_ptr = fp->_IO_write_ptr;
  m.buf_base = fp->_IO_buf_base;
  m.flags = fp->_flags;
  m.putting = putting(fp);
  return m;
}

namespace {

// Output that was pending before the call and is not where it was any more.
bool pending_left(const BufferMark& before, const FILE* fp) noexcept {
  if (!before.putting || before.write_ptr <= before.write_base) return false;
  return !putting(fp) || fp->_IO_write_base != before.write_base || fp->_IO_write_ptr < before.write_ptr;
}

}  // namespace

// Without a flush, every byte produced is still in the buffer, after the bytes that were
// pending before: a buffer holding any other count has been written out (in part).
Transfer formatted_output_transfer(const BufferMark& before, const FILE* fp, long produced) noexcept {
  Transfer t;
  if (newly_set(before, fp, ERR_SEEN)) {
    t.write = true;
  } else if (produced > 0) {
    const std::size_t was = before.putting ? span(before.write_base, before.write_ptr) : 0;
    const bool same_area = !before.putting || fp->_IO_write_base == before.write_base;
    t.write = !same_area || pending(fp) != was + static_cast<std::size_t>(produced);
  }
  return t;
}

// A refill moves the read area (a new end, or the read pointer back to the buffer's
// start), allocates the buffer on first use, or ends in end of file or an error.
Transfer formatted_input_transfer(const BufferMark& before, const FILE* fp) noexcept {
  Transfer t;
  t.write = pending_left(before, fp);
  if (((before.flags | fp->_flags) & IN_BACKUP) != 0) return t;
  t.read = newly_set(before, fp, EOF_SEEN | ERR_SEEN) || fp->_IO_buf_base != before.buf_base ||
           fp->_IO_read_end != before.read_end || fp->_IO_read_ptr < before.read_ptr;
  return t;
}

std::size_t block_read_calls(const BufferMark& before, const FILE* fp, std::size_t want, std::size_t got) noexcept {
  if (((before.flags | fp->_flags) & (IN_BACKUP | NO_READS)) != 0) return 0;
  const std::size_t buffer = span(fp->_IO_buf_base, fp->_IO_buf_end);
  std::size_t have = before.putting ? 0 : span(before.read_ptr, before.read_end);
  bool eof = (before.flags & EOF_SEEN) != 0;
  // What the descriptor delivered: everything the call returned beyond the buffered
  // bytes when it met end of file; without end of file, reads were never short.
  const bool met_eof = newly_set(before, fp, EOF_SEEN);
  std::size_t left = met_eof && got > have ? got - have : met_eof ? 0 : SIZE_MAX;
  std::size_t calls = 0;
  for (int step = 0; want > 0 && step < 64; ++step) {
    if (want <= have) break;
    want -= have;
    have = 0;
    if (buffer > 0 && want < buffer) {  // refill
      if (eof) break;
      ++calls;
      const std::size_t r = std::min(buffer, left);
      if (r == 0) break;
      left -= left == SIZE_MAX ? 0 : r;
      have = r;
    } else {  // straight into the caller's memory, in whole buffers where it can
      std::size_t count = want;
      if (buffer >= MIN_ALIGNED_BLOCK) count -= want % buffer;
      ++calls;
      const std::size_t r = std::min(count, left);
      if (r == 0) break;
      left -= left == SIZE_MAX ? 0 : r;
      want -= r;
    }
  }
  return calls;
}

// Refills read whole buffers, except a last short one before end of file, which then
// costs one more read: what the descriptor delivered (the bytes returned beyond the
// buffered ones, and what is left in the buffer) tells how many there were.
std::size_t line_read_calls(const BufferMark& before, const FILE* fp, std::size_t got) noexcept {
  if (((before.flags | fp->_flags) & (IN_BACKUP | NO_READS)) != 0) return 0;
  const std::size_t buffer = span(fp->_IO_buf_base, fp->_IO_buf_end);
  if (buffer == 0) return 0;
  const std::size_t have = before.putting ? 0 : span(before.read_ptr, before.read_end);
  const std::size_t delivered = (got > have ? got - have : 0) + span(fp->_IO_read_ptr, fp->_IO_read_end);
  return delivered / buffer + (delivered % buffer != 0) + (newly_set(before, fp, EOF_SEEN) ? 1 : 0);
}

}  // namespace velmora_io
