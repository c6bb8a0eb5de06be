// pread, pwrite and their vector and 64-bit forms (wide library): observed as read and
// write are, the offset and flags passed on untouched.
#include <sys/uio.h>
#include <unistd.h>

#include "export.h"
#include "data_call.h"

namespace li = velmora_io::linux_intercept;

VELMORA_EXPORT ssize_t pread(int fd, void* buf, size_t count, off_t offset) {
  return li::data_call<li::pread>("read", fd, buf, count, offset);
}

VELMORA_EXPORT ssize_t pread64(int fd, void* buf, size_t count, off64_t offset) {
  return li::data_call<li::pread64>("read", fd, buf, count, offset);
}

VELMORA_EXPORT ssize_t preadv(int fd, const struct iovec* iov, int iovcnt, off_t offset) {
  return li::data_call<li::preadv>("read", fd, iov, iovcnt, offset);
}

VELMORA_EXPORT ssize_t preadv64(int fd, const struct iovec* iov, int iovcnt, off64_t offset) {
  return li::data_call<li::preadv64>("read", fd, iov, iovcnt, offset);
}

VELMORA_EXPORT ssize_t preadv2(int fd, const struct iovec* iov, int iovcnt, off_t offset, int flags) {
  return li::data_call<li::preadv2>("read", fd, iov, iovcnt, offset, flags);
}

VELMORA_EXPORT ssize_t preadv64v2(int fd, const struct iovec* iov, int iovcnt, off64_t offset,
                                  int flags) {
  return li::data_call<li::preadv64v2>("read", fd, iov, iovcnt, offset, flags);
}

VELMORA_EXPORT ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
  return li::data_call<li::pwrite>("write", fd, buf, count, offset);
}

VELMORA_EXPORT ssize_t pwrite64(int fd, const void* buf, size_t count, off64_t offset) {
  return li::data_call<li::pwrite64>("write", fd, buf, count, offset);
}

VELMORA_EXPORT ssize_t pwritev(int fd, const struct iovec* iov, int iovcnt, off_t offset) {
  return li::data_call<li::pwritev>("write", fd, iov, iovcnt, offset);
}

VELMORA_EXPORT ssize_t pwritev64(int fd, const struct iovec* iov, int iovcnt, off64_t offset) {
  return li::data_call<li::pwritev64>("write", fd, iov, iovcnt, offset);
}

VELMORA_EXPORT ssize_t pwritev2(int fd, const struct iovec* iov, int iovcnt, off_t offset,
                                int flags) {
  return li::data_call<li::pwritev2>("write", fd, iov, iovcnt, offset, flags);
}

VELMORA_EXPORT ssize_t pwritev64v2(int fd, const struct iovec* iov, int iovcnt, off64_t offset,
                                   int flags) {
  return li::data_call<li::pwritev64v2>("write", fd, iov, iovcnt, offset, flags);
}
