#include "output_sink.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace velmora::trace {

void OutputSink::flush() {
  std::size_t done = 0;
  while (error_ == 0 && done < buffer_.size()) {
    const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Standard error may be shared with something that made it
      // non-blocking; wait for room rather than lose output.
      pollfd p{fd_, POLLOUT, 0};
      (void)::poll(&p, 1, -1);
    } else {
      error_ = n < 0 ? errno : EIO;
    }
  }
  buffer_.clear();
}

}  // namespace velmora::trace
