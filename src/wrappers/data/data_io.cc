// read, readv, write, writev: observed before the data moves, on reportable
// descriptors only, and always passed on unchanged.
#include <sys/uio.h>
#include <unistd.h>

#include "async_safety.h"
#include "export.h"
#include "identify.h"
#include "sink.h"
#include "data_call.h"
#include "slots.h"
#include "std_streams.h"

namespace velmora_io::linux_intercept {

void observe_data_above_2(int fd, std::string_view kind) noexcept {
  // 0-2 only in the wide library, and only while they refer to a file or a socket.
  if (fd <= 2 ? observed_fd(fd) : is_reportable_checked(fd)) observe_io(fd, kind);
}

}  // namespace velmora_io::linux_intercept

namespace li = velmora_io::linux_intercept;

VELMORA_EXPORT ssize_t read(int fd, void* buf, size_t count) { return li::data_call<li::read>("read", fd, buf, count); }

VELMORA_EXPORT ssize_t readv(int fd, const struct iovec* iov, int iovcnt) {
  return li::data_call<li::readv>("read", fd, iov, iovcnt);
}

VELMORA_EXPORT ssize_t write(int fd, const void* buf, size_t count) {
  auto* real = li::write::get();
  if (real == nullptr) return li::real_function_missing<ssize_t>();
  return li::write_with(real, fd, buf, count);
}

VELMORA_EXPORT ssize_t writev(int fd, const struct iovec* iov, int iovcnt) {
  auto* real = li::writev::get();
  if (real == nullptr) return li::real_function_missing<ssize_t>();
  return li::writev_with(real, fd, iov, iovcnt);
}
