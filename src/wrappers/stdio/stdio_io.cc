// The stdio functions programs call, in the wide library: a "read" or "write" on the
// stream's descriptor when the call will move bytes between the FILE's buffer and the
// descriptor (judged by stdio_buffer.h), never per byte. Byte, line and block calls are
// judged before the call (the further reads of a long fread or fgets are counted right
// after it); formatted ones, whose length is known only afterwards, right after the call.
// Descriptors 0-2 and streams without a descriptor are passed on.
//
// The C library's own stdio calls each other through internal names, never through
// these definitions, so one call of a program is judged exactly once.

// The C library's headers define getline, getc_unlocked and others as inline functions
// when optimising; this file defines them, so it must see plain declarations only.
#define __NO_INLINE__ 1

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "errno_saver.h"
#include "export.h"
#include "stdio_buffer.h"
#include "data_call.h"
#include "slots.h"
#include "stdio_call.h"
#include "std_streams.h"

namespace velmora_io::linux_intercept {
namespace {

[[gnu::noinline]] void report_transfer(int fd, Transfer t) noexcept {
  if (t.write) observe_data_above_2(fd, "write");
  if (t.read) observe_data_above_2(fd, "read");
}

// Judges a call before it is made. Out of line: the wrappers' path for calls that stay
// inside the buffer is a test and a jump.
template <typename Judge>
[[gnu::noinline]] void observe_before(FILE* fp, Judge judge) noexcept {
  const int fd = stdio_descriptor(fp);
  if (!may_observe(fd)) return;
  ErrnoSaver caller_errno;  // the judgement may look at the descriptor (fstat)
  const Transfer t = judge(fp);
  if (t.any()) report_transfer(fd, t);
}

// A formatted call: the buffer is marked before it and judged after it.
class FormattedCall {
 public:
  explicit FormattedCall(FILE* fp) noexcept : fp_(fp), fd_(stdio_descriptor(fp)) {
    if (may_observe(fd_)) mark_ = mark_buffer(fp);
  }
  void output_done(long produced) const noexcept {
    if (!may_observe(fd_)) return;
    ErrnoSaver caller_errno;
    report_transfer(fd_, formatted_output_transfer(mark_, fp_, produced));
  }
  void input_done() const noexcept {
    if (!may_observe(fd_)) return;
    ErrnoSaver caller_errno;
    report_transfer(fd_, formatted_input_transfer(mark_, fp_));
  }

 private:
  FILE* fp_;
  int fd_;
  BufferMark mark_;
};

// The common calls that stay inside the buffer, told apart inline before any judgement:
// n - 1 bytes buffered for fgets; room for all the bytes of an fwrite or fputs (a line-
// buffered or unbuffered stream never has room: its write end is the buffer's start).
bool fits_buffered_input(const FILE* fp, int n) noexcept {
  return fp != nullptr && n > 1 && fp->_IO_read_ptr < fp->_IO_read_end &&
         static_cast<size_t>(n) - 1 <= static_cast<size_t>(fp->_IO_read_end - fp->_IO_read_ptr);
}

bool fits_output_room(const FILE* fp, size_t bytes) noexcept {
  return fp != nullptr && fp->_IO_write_ptr < fp->_IO_write_end &&
         bytes <= static_cast<size_t>(fp->_IO_write_end - fp->_IO_write_ptr);
}

// One wrapper shape per kind of call; `Slot` is the function's real-function slot.

template <typename Slot, typename Result, typename Judge, typename... Args>
Result judged_call(Result failure, FILE* fp, Judge judge, Args... args) {
  auto* real = Slot::get();
  if (real == nullptr) return real_function_missing(failure);
  observe_before(fp, judge);
  return real(args...);
}

// A read that may take several system calls in one call (fread, fgets, getline): the
// first is judged and reported before the call, the others counted and reported right
// after it, from what the call returned and how the buffer moved.
template <typename Slot, typename Result, typename Judge, typename Count, typename... Args>
Result counted_read_call(Result failure, FILE* fp, Judge judge, Count count_reads, Args... args) {
  auto* real = Slot::get();
  if (real == nullptr) return real_function_missing(failure);
  const int fd = stdio_descriptor(fp);
  if (!may_observe(fd)) return real(args...);
  const Transfer first = judge(fp);  // reads the buffer only; errno untouched
  if (!first.any()) return real(args...);  // served from the buffer: the common call
  const BufferMark mark = mark_buffer(fp);
  {
    ErrnoSaver caller_errno;
    report_transfer(fd, first);
  }
  const Result result = real(args...);
  if (first.read) {
    ErrnoSaver caller_errno;
    for (size_t more = count_reads(mark, fp, result); more > 1; --more) observe_data_above_2(fd, "read");
  }
  return result;
}

template <typename Slot, typename... Args>
size_t block_read_call(FILE* fp, size_t bytes, size_t size, Args... args) {
  return counted_read_call<Slot>(
      size_t{0}, fp, [bytes](const FILE* f) { return block_read_transfer(f, bytes); },
      [bytes, size](const BufferMark& mark, const FILE* f, size_t items) {
        return block_read_calls(mark, f, bytes, items * size);
      },
      args...);
}

template <typename Slot>
size_t fread_call(void* ptr, size_t size, size_t count, FILE* fp) {
  return block_read_call<Slot>(fp, size * count, size, ptr, size, count, fp);
}

// The fortified freads end the process before reading when the request overflows or
// exceeds the destination: only a request they carry out is judged.
template <typename Slot>
size_t fread_chk_call(void* ptr, size_t ptrlen, size_t size, size_t count, FILE* fp) {
  size_t bytes = 0;
  const bool refused = __builtin_mul_overflow(size, count, &bytes) || bytes > ptrlen;
  return block_read_call<Slot>(refused ? nullptr : fp, bytes, size, ptr, ptrlen, size, count, fp);
}

// fgets reading at most limit - 1 bytes.
template <typename Slot, typename... Args>
char* line_read_call(FILE* fp, int limit, Args... args) {
  return counted_read_call<Slot>(
      static_cast<char*>(nullptr), fp, [limit](const FILE* f) { return line_transfer(f, limit); },
      [](const BufferMark& mark, const FILE* f, const char* line) {
        return line_read_calls(mark, f, line != nullptr ? std::strlen(line) : 0);
      },
      args...);
}

template <typename Slot>
char* fgets_call(char* s, int n, FILE* fp) {
  if (fits_buffered_input(fp, n)) {
    auto* real = Slot::get();
    return real != nullptr ? real(s, n, fp) : real_function_missing<char*>();
  }
  return line_read_call<Slot>(fp, n, s, n, fp);
}

// The fortified fgets reads at most min(n - 1, size) bytes.
template <typename Slot>
char* fgets_chk_call(char* s, size_t size, int n, FILE* fp) {
  const int limit = n <= 0 || static_cast<size_t>(n) - 1 < size ? n : static_cast<int>(size + 1);
  return line_read_call<Slot>(fp, limit, s, size, n, fp);
}

// getline and getdelim refuse null pointers before they touch the stream.
template <typename Slot, typename... Args>
ssize_t getdelim_call(char** line, size_t* n, int delim, FILE* fp, Args... args) {
  return counted_read_call<Slot>(
      ssize_t{-1}, line != nullptr && n != nullptr ? fp : nullptr,
      [delim](const FILE* f) { return delimited_transfer(f, delim); },
      [](const BufferMark& mark, const FILE* f, ssize_t got) {
        return line_read_calls(mark, f, got > 0 ? static_cast<size_t>(got) : 0);
      },
      args...);
}

// getc and kin: the common call, a byte already buffered, is a test and a jump.
template <typename Slot>
int getc_call(FILE* fp) {
  auto* real = Slot::get();
  if (real == nullptr) return real_function_missing(EOF);
  if (fp == nullptr || fp->_IO_read_ptr >= fp->_IO_read_end) observe_before(fp, next_byte_transfer);
  return real(fp);
}

template <typename Slot>
int putc_call(int c, FILE* fp) {
  auto* real = Slot::get();
  if (real == nullptr) return real_function_missing(EOF);
  if (fp == nullptr || fp->_IO_write_ptr >= fp->_IO_write_end) {
    observe_before(fp, [c](const FILE* f) { return put_byte_transfer(f, c); });
  }
  return real(c, fp);
}

template <typename Slot>
size_t fwrite_call(const void* ptr, size_t size, size_t count, FILE* fp) {
  const size_t bytes = size * count;
  if (fits_output_room(fp, bytes)) {
    auto* real = Slot::get();
    return real != nullptr ? real(ptr, size, count, fp) : real_function_missing(size_t{0});
  }
  return judged_call<Slot>(
      size_t{0}, fp,
      [ptr, bytes](const FILE* f) { return block_write_transfer(f, static_cast<const char*>(ptr), bytes); }, ptr,
      size, count, fp);
}

template <typename Slot>
int fputs_call(const char* s, FILE* fp) {
  return judged_call<Slot>(
      EOF, s != nullptr ? fp : nullptr,
      [s](const FILE* f) { return block_write_transfer(f, s, std::strlen(s)); }, s, fp);
}

// fflush(NULL) flushes every stream inside the C library: unseen.
template <typename Slot>
int fflush_call(FILE* fp) {
  return judged_call<Slot>(EOF, fp, pending_transfer, fp);
}

template <typename Slot, typename... Args>
int formatted_output(FILE* fp, Args... args) {
  auto* real = Slot::get();
  if (real == nullptr) return real_function_missing(-1);
  const FormattedCall call(fp);
  const int produced = real(fp, args...);
  call.output_done(produced);
  return produced;
}

template <typename Slot, typename... Args>
int formatted_input(FILE* fp, Args... args) {
  auto* real = Slot::get();
  if (real == nullptr) return real_function_missing(EOF);
  const FormattedCall call(fp);
  const int done = real(fp, args...);
  call.input_done();
  return done;
}

}  // namespace

void report_pending_output(FILE* stream) noexcept { observe_before(stream, pending_transfer); }

}  // namespace velmora_io::linux_intercept

namespace li = velmora_io::linux_intercept;

// --- reads ---------------------------------------------------------------------------

VELMORA_EXPORT size_t fread(void* p, size_t size, size_t n, FILE* fp) { return li::fread_call<li::fread>(p, size, n, fp); }
VELMORA_EXPORT size_t fread_unlocked(void* p, size_t size, size_t n, FILE* fp) {
  return li::fread_call<li::fread_unlocked>(p, size, n, fp);
}
VELMORA_EXPORT size_t __fread_chk(void* p, size_t len, size_t size, size_t n, FILE* fp) {
  return li::fread_chk_call<li::__fread_chk>(p, len, size, n, fp);
}
VELMORA_EXPORT size_t __fread_unlocked_chk(void* p, size_t len, size_t size, size_t n, FILE* fp) {
  return li::fread_chk_call<li::__fread_unlocked_chk>(p, len, size, n, fp);
}

VELMORA_EXPORT char* fgets(char* s, int n, FILE* fp) { return li::fgets_call<li::fgets>(s, n, fp); }
VELMORA_EXPORT char* fgets_unlocked(char* s, int n, FILE* fp) { return li::fgets_call<li::fgets_unlocked>(s, n, fp); }
VELMORA_EXPORT char* __fgets_chk(char* s, size_t size, int n, FILE* fp) {
  return li::fgets_chk_call<li::__fgets_chk>(s, size, n, fp);
}
VELMORA_EXPORT char* __fgets_unlocked_chk(char* s, size_t size, int n, FILE* fp) {
  return li::fgets_chk_call<li::__fgets_unlocked_chk>(s, size, n, fp);
}

VELMORA_EXPORT ssize_t getline(char** line, size_t* n, FILE* fp) {
  return li::getdelim_call<li::getline>(line, n, '\n', fp, line, n, fp);
}
VELMORA_EXPORT ssize_t getdelim(char** line, size_t* n, int delim, FILE* fp) {
  return li::getdelim_call<li::getdelim>(line, n, delim, fp, line, n, delim, fp);
}
VELMORA_EXPORT ssize_t __getdelim(char** line, size_t* n, int delim, FILE* fp) {
  return li::getdelim_call<li::__getdelim>(line, n, delim, fp, line, n, delim, fp);
}

VELMORA_EXPORT int fgetc(FILE* fp) { return li::getc_call<li::fgetc>(fp); }
VELMORA_EXPORT int fgetc_unlocked(FILE* fp) { return li::getc_call<li::fgetc_unlocked>(fp); }
VELMORA_EXPORT int getc(FILE* fp) { return li::getc_call<li::getc>(fp); }
VELMORA_EXPORT int getc_unlocked(FILE* fp) { return li::getc_call<li::getc_unlocked>(fp); }
// What programs' inlined getc_unlocked calls when the buffer is empty.
VELMORA_EXPORT int __uflow(FILE* fp) { return li::getc_call<li::__uflow>(fp); }

// --- writes --------------------------------------------------------------------------

VELMORA_EXPORT size_t fwrite(const void* p, size_t size, size_t n, FILE* fp) {
  return li::fwrite_call<li::fwrite>(p, size, n, fp);
}
VELMORA_EXPORT size_t fwrite_unlocked(const void* p, size_t size, size_t n, FILE* fp) {
  return li::fwrite_call<li::fwrite_unlocked>(p, size, n, fp);
}

VELMORA_EXPORT int fputs(const char* s, FILE* fp) { return li::fputs_call<li::fputs>(s, fp); }
VELMORA_EXPORT int fputs_unlocked(const char* s, FILE* fp) { return li::fputs_call<li::fputs_unlocked>(s, fp); }

VELMORA_EXPORT int fputc(int c, FILE* fp) { return li::putc_call<li::fputc>(c, fp); }
VELMORA_EXPORT int fputc_unlocked(int c, FILE* fp) { return li::putc_call<li::fputc_unlocked>(c, fp); }
VELMORA_EXPORT int putc(int c, FILE* fp) { return li::putc_call<li::putc>(c, fp); }
VELMORA_EXPORT int putc_unlocked(int c, FILE* fp) { return li::putc_call<li::putc_unlocked>(c, fp); }

// What programs' inlined putc_unlocked calls when the buffer has no room; with EOF, a flush.
VELMORA_EXPORT int __overflow(FILE* fp, int c) {
  return li::judged_call<li::__overflow>(
      EOF, fp, [c](const FILE* f) { return velmora_io::overflow_transfer(f, c); }, fp, c);
}

VELMORA_EXPORT int fflush(FILE* fp) { return li::fflush_call<li::fflush>(fp); }
VELMORA_EXPORT int fflush_unlocked(FILE* fp) { return li::fflush_call<li::fflush_unlocked>(fp); }

// --- formatted -----------------------------------------------------------------------
// The variadic forms hand their arguments to the va_list form of the same function,
// which the C library implements identically.

VELMORA_EXPORT int vfprintf(FILE* fp, const char* format, va_list args) {
  return li::formatted_output<li::vfprintf>(fp, format, args);
}
VELMORA_EXPORT int fprintf(FILE* fp, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int produced = li::formatted_output<li::vfprintf>(fp, format, args);
  va_end(args);
  return produced;
}
VELMORA_EXPORT int __vfprintf_chk(FILE* fp, int flag, const char* format, va_list args) {
  return li::formatted_output<li::__vfprintf_chk>(fp, flag, format, args);
}
VELMORA_EXPORT int __fprintf_chk(FILE* fp, int flag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int produced = li::formatted_output<li::__vfprintf_chk>(fp, flag, format, args);
  va_end(args);
  return produced;
}

// <stdio.h> maps fscanf and vfscanf to their ISO C names for this build, so the plain
// names are defined through assembler labels.
VELMORA_EXPORT int plain_vfscanf(FILE* fp, const char* format, va_list args) __asm__("vfscanf");
VELMORA_EXPORT int plain_fscanf(FILE* fp, const char* format, ...) __asm__("fscanf");

int plain_vfscanf(FILE* fp, const char* format, va_list args) {
  return li::formatted_input<li::vfscanf>(fp, format, args);
}
int plain_fscanf(FILE* fp, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int done = li::formatted_input<li::vfscanf>(fp, format, args);
  va_end(args);
  return done;
}
VELMORA_EXPORT int __isoc99_vfscanf(FILE* fp, const char* format, va_list args) {
  return li::formatted_input<li::__isoc99_vfscanf>(fp, format, args);
}
VELMORA_EXPORT int __isoc99_fscanf(FILE* fp, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int done = li::formatted_input<li::__isoc99_vfscanf>(fp, format, args);
  va_end(args);
  return done;
}
