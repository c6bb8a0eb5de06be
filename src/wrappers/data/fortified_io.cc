// The fortified forms that programs built with _FORTIFY_SOURCE call in place of read,
// pread and recv (wide library). Each observes as its plain function does, then calls
// the real fortified function, which keeps the C library's own buffer check. A call
// that fails that check (more bytes asked for than the buffer holds) ends the process
// there; it is passed on unobserved, as no data would move.
#include <sys/socket.h>
#include <unistd.h>

#include "connect_outcome.h"
#include "export.h"
#include "identify.h"
#include "data_call.h"
#include "sender.h"
#include "slots.h"

namespace li = velmora_io::linux_intercept;
namespace vio = velmora_io;

namespace velmora_io::linux_intercept {
namespace {

template <typename Slot, typename... Args>
ssize_t unobserved_call(Args... args) {
  auto* real = Slot::get();
  if (real == nullptr) return real_function_missing<ssize_t>();
  return real(args...);
}

}  // namespace
}  // namespace velmora_io::linux_intercept

VELMORA_EXPORT ssize_t __read_chk(int fd, void* buf, size_t count, size_t buf_size) {
  if (count > buf_size) return li::unobserved_call<li::__read_chk>(fd, buf, count, buf_size);
  return li::data_call<li::__read_chk>("read", fd, buf, count, buf_size);
}

VELMORA_EXPORT ssize_t __pread_chk(int fd, void* buf, size_t count, off_t offset, size_t buf_size) {
  if (count > buf_size) return li::unobserved_call<li::__pread_chk>(fd, buf, count, offset, buf_size);
  return li::data_call<li::__pread_chk>("read", fd, buf, count, offset, buf_size);
}

VELMORA_EXPORT ssize_t __pread64_chk(int fd, void* buf, size_t count, off64_t offset, size_t buf_size) {
  if (count > buf_size) return li::unobserved_call<li::__pread64_chk>(fd, buf, count, offset, buf_size);
  return li::data_call<li::__pread64_chk>("read", fd, buf, count, offset, buf_size);
}

VELMORA_EXPORT ssize_t __recv_chk(int fd, void* buf, size_t len, size_t buf_size, int flags) {
  if (len <= buf_size) vio::observe_io(fd, "read");
  const ssize_t result = li::unobserved_call<li::__recv_chk>(fd, buf, len, buf_size, flags);
  return len <= buf_size ? li::received(fd, result) : result;
}

VELMORA_EXPORT ssize_t __recvfrom_chk(int fd, void* buf, size_t len, size_t buf_size, int flags,
                                      struct sockaddr* src, socklen_t* src_len) {
  auto* real = li::__recvfrom_chk::get();
  if (real == nullptr) return li::real_function_missing<ssize_t>();
  if (len > buf_size) return real(fd, buf, len, buf_size, flags, src, src_len);
  vio::observe_io(fd, "read");
  const socklen_t buffer_size = li::address_room(src, src_len);
  const ssize_t result = real(fd, buf, len, buf_size, flags, src, src_len);
  li::record_sender(fd, result, src, src_len, buffer_size);
  return li::received(fd, result);
}
