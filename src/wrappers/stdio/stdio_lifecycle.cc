// fopen, fopen64, fdopen, freopen and fclose (wide library): the C library opens and
// closes a stream's descriptor through its own internal calls, which no wrapper sees,
// so the stream calls keep the table in step: a new stream's number was free, and
// fclose reports the "close" of a named descriptor as close would.
#include <fcntl.h>
#include <stdio.h>

#include "errno_saver.h"
#include "export.h"
#include "reentrancy.h"
#include "fd_life.h"
#include "open_report.h"
#include "stdio_call.h"
#include "slots.h"

namespace velmora_io::linux_intercept {
namespace {

// The stream's descriptor, errno kept: fileno sets EBADF for a stream without one (memory
// and cookie streams, a closed stream), where the real call may leave errno alone.
int descriptor_of(FILE* stream) noexcept {
  ErrnoSaver caller_errno;
  return ::fileno(stream);
}

}  // namespace

// What fclose observes while the stream is still whole, before the real fclose.
void observe_fclose(FILE* stream) noexcept {
  report_pending_output(stream);  // flushed before the descriptor is closed
  const int fd = descriptor_of(stream);
  if (fd >= 0) closing_fd(fd);
}

namespace {

FILE* new_stream(FILE* stream) noexcept {
  if (stream != nullptr) forget_fd(descriptor_of(stream));
  return stream;
}

// A stream opened by name: reported as an open of its descriptor (open_report.h).
template <typename Real, typename... Args>
FILE* open_stream(Real* real, const char* path, const char* mode, Args... args) {
  const OpenIntent intent = before_open(AT_FDCWD, path, stream_open_flags(mode));
  FILE* stream = real(path, mode, args...);
  after_open(stream != nullptr ? ::fileno(stream) : -1, AT_FDCWD, path, intent);
  return stream;
}

}  // namespace
}  // namespace velmora_io::linux_intercept

namespace li = velmora_io::linux_intercept;

VELMORA_EXPORT FILE* fopen(const char* path, const char* mode) {
  auto* real = li::fopen::get();
  if (real == nullptr) return li::real_function_missing<FILE*>();
  return li::open_stream(real, path, mode);
}

VELMORA_EXPORT FILE* fopen64(const char* path, const char* mode) {
  auto* real = li::fopen64::get();
  if (real == nullptr) return li::real_function_missing<FILE*>();
  return li::open_stream(real, path, mode);
}

VELMORA_EXPORT FILE* fdopen(int fd, const char* mode) noexcept {
  auto* real = li::fdopen::get();
  if (real == nullptr) return li::real_function_missing<FILE*>();
  return real(fd, mode);  // the descriptor is not new: its entry stays
}

VELMORA_EXPORT FILE* freopen(const char* path, const char* mode, FILE* stream) {
  auto* real = li::freopen::get();
  if (real == nullptr) return li::real_function_missing<FILE*>();
  // The old descriptor is closed inside, whatever the outcome; its number is usually
  // the new one's. Both entries are stale; no "close", as the stream lives on.
  if (stream != nullptr) li::forget_fd(li::descriptor_of(stream));
  if (path == nullptr) return li::new_stream(real(path, mode, stream));  // a new mode only
  return li::open_stream(real, path, mode, stream);
}

VELMORA_EXPORT int fclose(FILE* stream) {
  auto* real = li::fclose::get();
  if (real == nullptr) return li::real_function_missing<int>();
  if (stream != nullptr) li::observe_fclose(stream);
  return real(stream);
}
