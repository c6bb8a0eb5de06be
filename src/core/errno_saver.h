// Puts errno back when it goes out of scope.
//
// Observation makes system calls of its own; where a wrapper reports after the real
// call, this keeps the caller's view of errno exactly the real call's.
#pragma once

#include <cerrno>

namespace velmora_io {

class ErrnoSaver {
 public:
  ErrnoSaver() noexcept : saved_(errno) {}
  ~ErrnoSaver() { errno = saved_; }
  ErrnoSaver(const ErrnoSaver&) = delete;
  ErrnoSaver& operator=(const ErrnoSaver&) = delete;

  int value() const noexcept { return saved_; }

 private:
  int saved_;
};

}  // namespace velmora_io
