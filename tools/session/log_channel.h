// The second channel. A process that lost the event pipe (Python's subprocess
// closes inherited descriptors, daemons close them all) falls back to the log
// file that VELMORA_IO_LOG names; the tracer owns that file, in a private
// directory, and tails it while the program runs.
//
// A regular file rather than a FIFO: an opener of a FIFO without a reader
// blocks (or, non-blocking, fails), and a writer that opened it just before the
// tracer went away would get SIGPIPE. Appending to a file never blocks and
// never kills, and once the directory is removed a straggler's open fails and
// its line is dropped, nothing else.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "unique_fd.h"

namespace velmora::trace {

// Where the tracer keeps its files: a per-user runtime directory (private by
// construction), else the usual temporary directory, in memory when there is one
// (removing a directory on a journalled disk took 0.2 to 20 ms of the tool's exit).
std::string session_files_parent();

class LogChannel {
 public:
  LogChannel() = default;
  ~LogChannel();  // removes the file and the directory
  LogChannel(const LogChannel&) = delete;
  LogChannel& operator=(const LogChannel&) = delete;

  // Creates the directory (mode 0700) and the empty file. Returns an empty
  // string on success, else a one-line reason. Nothing watches the file: the
  // tracer reads it at every wake-up (an inotify watcher cost more to close
  // than a short program takes to run).
  std::string open();

  // The path for VELMORA_IO_LOG.
  const std::string& path() const { return file_; }

  // The private directory (other private files of the session may go there).
  const std::string& dir() const { return dir_; }

  // Hands everything appended since the last call to `sink`, in chunks that
  // may end in the middle of a line. Returns the number of bytes read.
  template <class Sink>
  std::size_t read_new(Sink&& sink);

 private:
  std::size_t read_chunk(std::string_view& chunk);
  void release_read_part();

  std::string dir_;
  std::string file_;
  UniqueFd read_fd_;
  unsigned long long offset_ = 0;    // bytes consumed
  unsigned long long released_ = 0;  // bytes given back to the file system
  // On the heap, not zeroed: in the object, on the session's stack, it made the
  // stack grow (and fault) 16 pages at the tool's start.
  static constexpr std::size_t BUF_SIZE = 1 << 16;
  std::unique_ptr<char[]> buf_ = std::unique_ptr<char[]>(new char[BUF_SIZE]);
};

template <class Sink>
std::size_t LogChannel::read_new(Sink&& sink) {
  std::size_t total = 0;
  std::string_view chunk;
  while (read_chunk(chunk) > 0) {
    total += chunk.size();
    sink(chunk);
  }
  if (total > 0) release_read_part();
  return total;
}

}  // namespace velmora::trace
