// sendfile, copy_file_range and splice (wide library): data moved between two
// descriptors inside the kernel, reported as a "read" of the source and a "write" of
// the destination, each where it can be named. Unlike read and write, the standard
// descriptors are observed too: `cat a > b` copies into descriptor 1, and that copy is
// the whole of what it does. Only the sink's own descriptors are passed over.
#include <fcntl.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include "export.h"
#include "identify.h"
#include "sink.h"
#include "slots.h"

namespace velmora_io::linux_intercept {
namespace {

void observe_end(int fd, std::string_view kind) noexcept {
  if (!is_sink_fd(fd)) observe_io(fd, kind);
}

template <typename Slot, typename... Args>
ssize_t transfer_call(int in_fd, int out_fd, Args... args) {
  auto* real = Slot::get();
  if (real == nullptr) return real_function_missing<ssize_t>();
  observe_end(in_fd, "read");
  observe_end(out_fd, "write");
  return real(args...);
}

}  // namespace
}  // namespace velmora_io::linux_intercept

namespace li = velmora_io::linux_intercept;

VELMORA_EXPORT ssize_t sendfile(int out_fd, int in_fd, off_t* offset, size_t count) noexcept {
  return li::transfer_call<li::sendfile>(in_fd, out_fd, out_fd, in_fd, offset, count);
}

VELMORA_EXPORT ssize_t sendfile64(int out_fd, int in_fd, off64_t* offset, size_t count) noexcept {
  return li::transfer_call<li::sendfile64>(in_fd, out_fd, out_fd, in_fd, offset, count);
}

VELMORA_EXPORT ssize_t copy_file_range(int in_fd, off64_t* in_offset, int out_fd, off64_t* out_offset,
                                       size_t count, unsigned int flags) {
  return li::transfer_call<li::copy_file_range>(in_fd, out_fd, in_fd, in_offset, out_fd, out_offset,
                                                count, flags);
}

VELMORA_EXPORT ssize_t splice(int in_fd, off64_t* in_offset, int out_fd, off64_t* out_offset,
                              size_t count, unsigned int flags) {
  return li::transfer_call<li::splice>(in_fd, out_fd, in_fd, in_offset, out_fd, out_offset, count,
                                       flags);
}
