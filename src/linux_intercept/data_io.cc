// read, readv, write, writev: observed before the data moves, on reportable
// descriptors only, and always passed on unchanged.
#include <sys/uio.h>
#include <unistd.h>

#include "../async_safety.h"
#include "../export.h"
#include "../identify.h"
#include "../reportable.h"
#include "../sink.h"
#include "data_call.h"
#include "outgoing_sql.h"
#include "slots.h"
#include "std_streams.h"

namespace velmora_io::linux_intercept {

void observe_data_above_2(int fd, std::string_view kind) noexcept {
  if (!observed_fd(fd)) {
    // The program itself using the sink's number means the number may have been reused.
    if (fd <= 2 || fd != PIPE_FD.load(std::memory_order_relaxed)) return;
    verify_pipe_fd();
    if (!observed_fd(fd)) return;
  }
  observe_io(fd, kind);
}

}  // namespace velmora_io::linux_intercept

namespace li = velmora_io::linux_intercept;

VELMORA_EXPORT ssize_t read(int fd, void* buf, size_t count) {
  auto* real = li::read::get();
  if (real == nullptr) return li::real_function_missing<ssize_t>();
  if (li::may_observe(fd)) return li::observed_call(real, "read", fd, buf, count);
  return real(fd, buf, count);
}

VELMORA_EXPORT ssize_t readv(int fd, const struct iovec* iov, int iovcnt) {
  auto* real = li::readv::get();
  if (real == nullptr) return li::real_function_missing<ssize_t>();
  if (li::may_observe(fd)) return li::observed_call(real, "read", fd, iov, iovcnt);
  return real(fd, iov, iovcnt);
}

VELMORA_EXPORT ssize_t write(int fd, const void* buf, size_t count) {
  auto* real = li::write::get();
  if (real == nullptr) return li::real_function_missing<ssize_t>();
  if (li::may_observe(fd)) {
    if constexpr (li::WIDE_LIBRARY) {
      const iovec one{const_cast<void*>(buf), count};
      if (li::may_begin_query(&one, 1)) return li::outgoing_call(real, &one, 1, true, fd, buf, count);
    }
    return li::observed_call(real, "write", fd, buf, count);
  }
  return real(fd, buf, count);
}

VELMORA_EXPORT ssize_t writev(int fd, const struct iovec* iov, int iovcnt) {
  auto* real = li::writev::get();
  if (real == nullptr) return li::real_function_missing<ssize_t>();
  if (li::may_observe(fd)) {
    if constexpr (li::WIDE_LIBRARY) {
      const std::size_t n = iovcnt > 0 ? static_cast<std::size_t>(iovcnt) : 0;
      if (li::may_begin_query(iov, n)) return li::outgoing_call(real, iov, n, true, fd, iov, iovcnt);
    }
    return li::observed_call(real, "write", fd, iov, iovcnt);
  }
  return real(fd, iov, iovcnt);
}
