#include "load_memo.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "log_channel.h"
#include "unique_fd.h"

namespace velmora::trace {
namespace {

// Past this the memo starts afresh: a handful of libraries, never a growing file.
constexpr off_t MEMO_BYTES = 4096;

std::string memo_path() {
  return session_files_parent() + "/velmora-trace-loads." + std::to_string(::geteuid());
}

std::string identity_line(const struct stat& st) {
  char line[160];
  const int n = std::snprintf(line, sizeof line, "%llu %llu %lld %lld.%09ld %lld.%09ld\n",
                              static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino),
                              static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
                              st.st_mtim.tv_nsec, static_cast<long long>(st.st_ctim.tv_sec), st.st_ctim.tv_nsec);
  return std::string(line, n > 0 ? static_cast<std::size_t>(n) : 0);
}

// Only a regular file of our own that nobody else may write is believed: in a shared
// temporary directory anyone could have made a file of that name.
UniqueFd open_memo(int flags) {
  UniqueFd fd(::open(memo_path().c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0600));
  struct stat st;
  if (fd.valid() && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
                     (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)) {
    fd.reset();
  }
  return fd;
}

}  // namespace

bool load_remembered(const struct stat& library) {
  const UniqueFd fd = open_memo(O_RDONLY);
  if (!fd.valid()) return false;
  char buf[MEMO_BYTES];
  const ssize_t n = ::pread(fd.get(), buf, sizeof buf, 0);
  if (n <= 0) return false;
  const std::string line = identity_line(library);
  std::string_view memo(buf, static_cast<std::size_t>(n));
  while (!memo.empty()) {
    const std::size_t end = memo.find('\n');
    if (end == std::string_view::npos) return false;  // torn or cut: not a line
    if (memo.substr(0, end + 1) == line) return true;
    memo.remove_prefix(end + 1);
  }
  return false;
}

void remember_load(const struct stat& library) {
  const UniqueFd fd = open_memo(O_WRONLY | O_APPEND | O_CREAT);
  if (!fd.valid()) return;
  if (::lseek(fd.get(), 0, SEEK_END) >= MEMO_BYTES) (void)::ftruncate(fd.get(), 0);
  const std::string line = identity_line(library);
  const ssize_t ignored = ::write(fd.get(), line.data(), line.size());  // one write: appended whole
  (void)ignored;
}

}  // namespace velmora::trace
