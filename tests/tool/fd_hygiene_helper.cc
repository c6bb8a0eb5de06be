// A program that closes every descriptor it inherited and then works with
// many files of its own, enough that one of them gets the number the event
// pipe had. Each file must end up holding exactly what was written to it:
// an event line landing in one of them would be corruption of user data.
//   fd_hygiene_helper DIR [--event-first] [--close-range]
// --event-first does some file I/O before closing, so that the preloaded
// library has already started reporting when the descriptors go away.
// --close-range closes them with one close_range() call (as Python's
// os.closerange and many spawn helpers do) instead of close() one by one.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string dir = argv[1];
  bool event_first = false;
  bool use_close_range = false;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--event-first") == 0) event_first = true;
    else if (std::strcmp(argv[i], "--close-range") == 0) use_close_range = true;
    else return 2;
  }
  const char* sink_text = std::getenv("VELMORA_IO_FD");
  const int sink = sink_text != nullptr ? std::atoi(sink_text) : 1000;

  if (event_first) {
    const int fd = ::open((dir + "/warmup").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, "warm\n", 5) != 5) return 3;
    ::close(fd);
  }

  rlimit lim{};
  ::getrlimit(RLIMIT_NOFILE, &lim);
  const long max_fd = lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur > 65536 ? 65536 : static_cast<long>(lim.rlim_cur);
  if (use_close_range) {
    if (::close_range(3, ~0U, 0) != 0) {
      std::perror("close_range");
      return 8;
    }
  } else {
    for (long fd = 3; fd < max_fd; ++fd) ::close(static_cast<int>(fd));
  }

  // Open files until the event pipe's old number is reused, plus a few.
  std::vector<int> fds;
  std::vector<std::string> names;
  for (int i = 0; i < sink + 8 && i < max_fd; ++i) {
    names.push_back(dir + "/f" + std::to_string(i));
    const int fd = ::open(names.back().c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
      std::perror("open");
      return 4;
    }
    fds.push_back(fd);
    if (fd > sink + 4) break;
  }
  bool reused = false;
  for (std::size_t i = 0; i < fds.size(); ++i) {
    if (fds[i] == sink) reused = true;
    const std::string payload = "payload " + std::to_string(i) + "\n";
    if (::write(fds[i], payload.data(), payload.size()) != static_cast<ssize_t>(payload.size())) return 5;
    // A read after the write produces another event while the file is open.
    char buf[64];
    if (::pread(fds[i], buf, sizeof buf, 0) != static_cast<ssize_t>(payload.size())) return 6;
  }
  for (const int fd : fds) ::close(fd);
  if (!reused) {
    std::fprintf(stderr, "fd_hygiene_helper: descriptor %d was never reused\n", sink);
    return 7;
  }

  int bad = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string payload = "payload " + std::to_string(i) + "\n";
    const int fd = ::open(names[i].c_str(), O_RDONLY);
    std::string got(4096, '\0');
    const ssize_t n = fd >= 0 ? ::read(fd, got.data(), got.size()) : -1;
    if (fd >= 0) ::close(fd);
    got.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    if (got != payload) {
      std::fprintf(stderr, "fd_hygiene_helper: %s holds %zu bytes, expected %zu\n", names[i].c_str(),
                   got.size(), payload.size());
      ++bad;
    }
  }
  return bad == 0 ? 0 : 1;
}
