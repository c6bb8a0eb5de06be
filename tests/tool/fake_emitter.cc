// Stand-in for the preloaded library in tests of the tracer's own mechanics:
// writes event lines straight into the descriptor named by VELMORA_IO_FD.
//   fake_emitter copy FILE         write FILE's bytes as they are
//   fake_emitter flood N THREADS   N well-formed lines, one write(2) each,
//                                  spread over THREADS threads
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "event_line.h"

namespace {

int sink() {
  const char* v = std::getenv("VELMORA_IO_FD");
  if (v == nullptr) {
    std::fprintf(stderr, "fake_emitter: VELMORA_IO_FD not set\n");
    std::exit(3);
  }
  return std::atoi(v);
}

bool write_all(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "copy" && argc == 3) {
    std::ifstream in(argv[2], std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return write_all(sink(), s.str()) ? 0 : 1;
  }
  if (mode == "flood" && argc == 4) {
    const long total = std::atol(argv[2]);
    const long threads = std::atol(argv[3]);
    const int fd = sink();
    std::vector<std::thread> pool;
    for (long t = 0; t < threads; ++t) {
      pool.emplace_back([=] {
        const long tid = ::syscall(SYS_gettid);
        // The bytes the library would write, made by its own codec.
        const std::string detail = "file:/flood/" + std::to_string(t);
        std::string line(velmora_io::event_line_capacity(5, detail.size()), '\0');
        line.resize(velmora_io::format_event_line(line.data(), "write", detail, detail.size(), 7, ::getpid(), tid));
        const long mine = total / threads + (t < total % threads ? 1 : 0);
        for (long i = 0; i < mine; ++i) {
          if (!write_all(fd, line)) std::_Exit(1);
        }
      });
    }
    for (auto& th : pool) th.join();
    return 0;
  }
  std::fprintf(stderr, "usage: fake_emitter copy FILE | flood N THREADS\n");
  return 2;
}
