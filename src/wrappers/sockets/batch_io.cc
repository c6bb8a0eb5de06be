// recvmmsg and sendmmsg (wide library): several messages in one call, observed once,
// as recvmsg and sendmsg are.
#include <sys/socket.h>

#include "connect_outcome.h"
#include "export.h"
#include "identify.h"
#include "slots.h"

namespace li = velmora_io::linux_intercept;
namespace vio = velmora_io;

VELMORA_EXPORT int recvmmsg(int fd, struct mmsghdr* msgs, unsigned int count, int flags,
                            struct timespec* timeout) {
  auto* real = li::recvmmsg::get();
  if (real == nullptr) return li::real_function_missing<int>();
  vio::observe_io(fd, "read");
  return li::received(fd, real(fd, msgs, count, flags, timeout));
}

VELMORA_EXPORT int sendmmsg(int fd, struct mmsghdr* msgs, unsigned int count, int flags) {
  auto* real = li::sendmmsg::get();
  if (real == nullptr) return li::real_function_missing<int>();
  vio::observe_io(fd, "write");
  return real(fd, msgs, count, flags);
}
