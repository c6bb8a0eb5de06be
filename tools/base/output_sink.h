// Buffered output to a descriptor. Events arrive in bursts of thousands;
// one write per event would make the tracer the bottleneck.
#pragma once

#include <string>
#include <string_view>

namespace velmora::trace {

class OutputSink {
 public:
  static constexpr std::size_t kFlushBytes = 1 << 16;

  explicit OutputSink(int fd) : fd_(fd) {}
  OutputSink(const OutputSink&) = delete;
  OutputSink& operator=(const OutputSink&) = delete;

  // Text appended here is written out once enough has collected.
  std::string& buffer() { return buffer_; }
  void maybe_flush() {
    if (buffer_.size() >= kFlushBytes) flush();
  }
  void flush();

  // False once a write failed (for instance a closed pipe); further output
  // is dropped so that the traced program keeps running undisturbed.
  bool ok() const { return error_ == 0; }
  int error() const { return error_; }
  int fd() const { return fd_; }

 private:
  int fd_;
  int error_ = 0;
  std::string buffer_;
};

}  // namespace velmora::trace
