// Built with -O2 -D_FORTIFY_SOURCE=2: the read() below becomes the C library's checking
// variant, which calls the kernel without going through the exported read(), and the
// first open(), whose flags are not known at compile time, becomes __open_2.
//
//   fortified_read IN OUT LENGTH   reads LENGTH bytes of IN, writes them to OUT
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  char buf[64];
  // The length comes from the command line so the compiler cannot prove that it fits
  // the buffer and has to keep the checking call.
  const std::size_t want = std::strtoul(argv[3], nullptr, 10);
  const int in = open(argv[1], O_RDONLY | O_CLOEXEC | (want > 4096 ? O_NOATIME : 0));
  if (in < 0) return 3;
  const ssize_t got = read(in, buf, want);
  if (got < 0) return 4;
  const int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) return 5;
  if (write(out, buf, static_cast<std::size_t>(got)) != got) return 6;
  if (close(out) != 0 || close(in) != 0) return 7;
  return 0;
}
