// Closes descriptors where the exported close() never sees it: close_range() and
// closefrom() close many in one system call, fclose() closes its stream's descriptor
// inside the C library.
//
//   close_range_probe reuse DIR   write DIR/a, close_range, write DIR/b on the same number
//   close_range_probe closefrom DIR   the same with closefrom
//   close_range_probe fclose DIR  the same with DIR/a opened by fopen and closed by fclose
//   close_range_probe sink DIR    write DIR/a, close_range (taking the event pipe with it),
//                                 then open DIR/victim on the pipe's old number and write
//                                 DIR/other and DIR/victim
// Prints a=FD and b=FD (or victim=FD and other=FD) on standard output.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int open_for_write(const std::string& path) {
  return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
}

bool put(int fd, const std::string& text) {
  return write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const std::string mode = argv[1], dir = argv[2];

  FILE* stream = mode == "fclose" ? std::fopen((dir + "/a").c_str(), "w") : nullptr;
  const int a = stream != nullptr ? fileno(stream) : open_for_write(dir + "/a");
  if (a < 0 || !put(a, "first\n")) return 3;
  if (mode == "fclose") {
    if (std::fclose(stream) != 0) return 4;
  } else if (mode == "closefrom") {
    closefrom(3);
  } else if (close_range(3, ~0U, 0) != 0) {
    return 4;
  }

  if (mode == "reuse" || mode == "closefrom" || mode == "fclose") {
    const int b = open_for_write(dir + "/b");
    if (b < 0 || !put(b, "second\n") || close(b) != 0) return 5;
    return put(1, "a=" + std::to_string(a) + "\nb=" + std::to_string(b) + "\n") ? 0 : 6;
  }
  if (mode == "sink") {
    const char* sink = std::getenv("VELMORA_IO_FD");
    const int target = sink != nullptr ? std::atoi(sink) : -1;
    if (target <= a) return 7;
    // Fill the numbers below the old pipe so the next open lands on it; every number
    // from 3 up is free again after close_range.
    for (int i = 0; i < 1024; ++i) {
      const int filler = open("/dev/null", O_RDONLY);
      if (filler < 0) return 8;
      if (filler == target - 1) break;
    }
    const int victim = open_for_write(dir + "/victim");
    if (victim != target) return 9;
    // Some other file's I/O while the victim holds the number: its event line must not
    // end up in the victim.
    const int other = open_for_write(dir + "/other");
    if (other < 0 || !put(other, "other\n") || !put(victim, "own\n")) return 10;
    if (close(other) != 0 || close(victim) != 0) return 11;
    return put(1, "a=" + std::to_string(a) + "\nvictim=" + std::to_string(victim) +
                      "\nother=" + std::to_string(other) + "\n")
               ? 0
               : 6;
  }
  return 2;
}
