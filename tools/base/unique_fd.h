// A descriptor with one owner: closed when the owner goes, so that no exit
// path of the tracer has to remember which descriptors it holds.
#pragma once

#include <unistd.h>

#include <utility>

namespace velmora::trace {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release() { return std::exchange(fd_, -1); }
  // Closes what is held and takes `fd`. Returns close's result (0 when nothing was held),
  // for owners that must report a failed close (buffered output written late).
  int reset(int fd = -1) {
    const int old = std::exchange(fd_, fd);
    return old >= 0 ? ::close(old) : 0;
  }

 private:
  int fd_ = -1;
};

}  // namespace velmora::trace
