#include "log_channel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace velmora::trace {
namespace {

// Space already read is handed back in steps of this size, so that a long
// run through the log file does not fill the file system.
constexpr unsigned long long RELEASE_STEP = 4ull << 20;

}  // namespace

std::string session_files_parent() {
  for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
    const char* v = std::getenv(name);
    if (v != nullptr && *v == '/' && ::access(v, W_OK | X_OK) == 0) return v;
  }
  return ::access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
}

std::string LogChannel::open() {
  std::string templ = session_files_parent() + "/velmora-trace.XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) {
    return "cannot create a directory for the log file in " + session_files_parent() + ": " + std::strerror(errno);
  }
  dir_ = buf.data();
  file_ = dir_ + "/events";
  // Created by the tracer, so that it can be opened before any line arrives; the
  // library only ever appends to it. Read-write only so that space already read can be
  // handed back (fallocate).
  read_fd_.reset(::open(file_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!read_fd_.valid()) return file_ + ": " + std::strerror(errno);
  return {};
}

LogChannel::~LogChannel() {
  read_fd_.reset();
  if (!file_.empty()) ::unlink(file_.c_str());
  if (!dir_.empty()) ::rmdir(dir_.c_str());
}

std::size_t LogChannel::read_chunk(std::string_view& chunk) {
  chunk = {};
  if (!read_fd_.valid()) return 0;
  ssize_t n;
  do {
    n = ::pread(read_fd_.get(), buf_.get(), BUF_SIZE, static_cast<off_t>(offset_));
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return 0;
  offset_ += static_cast<unsigned long long>(n);
  chunk = std::string_view(buf_.get(), static_cast<std::size_t>(n));
  return chunk.size();
}

void LogChannel::release_read_part() {
  // Punching a hole leaves the size and the writers' appends alone.
  const unsigned long long upto = offset_ / RELEASE_STEP * RELEASE_STEP;
  if (upto <= released_) return;
  if (::fallocate(read_fd_.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(released_),
                  static_cast<off_t>(upto - released_)) == 0) {
    released_ = upto;
  }
}

}  // namespace velmora::trace
