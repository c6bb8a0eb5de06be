// io_driver's data calls: reads and writes in all their forms, and how the descriptors
// they are made on are named.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "io_scenarios.h"

// The C library's fortified forms, called directly: this driver is built unfortified.
extern "C" ssize_t __read_chk(int, void*, size_t, size_t);
extern "C" ssize_t __pread_chk(int, void*, size_t, off_t, size_t);
extern "C" ssize_t __pread64_chk(int, void*, size_t, off64_t, size_t);

namespace velmora_test {
namespace {

// write PATH [COUNT]: COUNT one-byte writes to a new file, then close.
int scenario_write(int argc, char** argv) {
  const int count = argc > 3 ? std::atoi(argv[3]) : 1;
  const int fd = open_for_write(argv[2]);
  for (int i = 0; i < count; ++i) write(fd, "x", 1);
  fact("fd", fd);
  fact("pid", getpid());
  close(fd);
  return 0;
}

// read PATH: one read of an existing file or directory, its result and errno.
int scenario_read(int, char** argv) {
  const int fd = open(argv[2], O_RDONLY);
  char buf[64];
  errno = 0;
  const ssize_t n = read(fd, buf, sizeof(buf));
  fact("errno", errno);
  fact("result", n);
  fact("fd", fd);
  return 0;
}

// vectored PATH: writev then readv with 16 buffers each.
int scenario_vectored(int, char** argv) {
  const int fd = open(argv[2], O_RDWR | O_CREAT | O_TRUNC, 0644);
  char bytes[16];
  iovec iov[16];
  for (int i = 0; i < 16; ++i) iov[i] = {&bytes[i], 1};
  fact("written", writev(fd, iov, 16));
  lseek(fd, 0, SEEK_SET);
  fact("read", readv(fd, iov, 16));
  fact("fd", fd);
  return 0;
}

// unnameable DIR: a deleted file, a pipe and a socket without peer have no name, however
// often they are used. Then each gets a name in a way the wrappers do not see, and must
// be named afresh: the pipe's number closed with close_range and taken by a file, the
// socket connected by a raw system call, and a live file under a directory called
// "(deleted)" renamed.
int scenario_unnameable(int, char** argv) {
  const std::string dir = argv[2];
  const int file = open_for_write((dir + "/gone").c_str());
  unlink((dir + "/gone").c_str());
  int p[2];
  pipe(p);
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  mkdir((dir + "/(deleted)").c_str(), 0755);
  const int odd = open_for_write((dir + "/(deleted)/a").c_str());
  char c;
  for (int i = 0; i < 3; ++i) {
    for (int fd : {file, p[1], s, odd}) write(fd, "x", 1);
    read(p[0], &c, 1);
  }
  const int other = open_for_write((dir + "/reused").c_str());
  close_range(static_cast<unsigned>(p[1]), static_cast<unsigned>(p[1]), 0);
  const int reused = fcntl(other, F_DUPFD, p[1]);
  close(other);
  sockaddr_in discard{};
  discard.sin_family = AF_INET;
  discard.sin_port = htons(9);
  discard.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  syscall(SYS_connect, s, &discard, sizeof(discard));
  rename((dir + "/(deleted)").c_str(), (dir + "/plain").c_str());
  for (int fd : {reused, s, odd}) write(fd, "x", 1);
  fact("reused", reused);
  fact("pipe", p[1]);
  fact("socket", s);
  fact("odd", odd);
  return 0;
}

// standard PATH: calls on 0, 1, 2 and negative numbers are passed on unobserved, even
// when descriptor 1 refers to a named file.
int scenario_standard(int, char** argv) {
  const int fd = open_for_write(argv[2]);
  write(fd, "x", 1);
  const int saved_out = dup(1);
  dup2(fd, 1);
  write(1, "", 0);
  write(2, "", 0);
  char c;
  read(0, &c, 0);
  dup2(saved_out, 1);
  write(1, "", 0);  // a pipe again: the wide library's check of 1 must start over
  errno = 0;
  const ssize_t r = write(-1, "x", 1);
  const int saved = errno;
  fact("negative_result", r);
  fact("negative_errno", saved);
  fact("fd", fd);
  return 0;
}

// wide_calls DIR: every positional, fortified, zero-copy and mapping call of the wide
// library once on DIR/f (and DIR/g as a copy's destination), in this order:
// 6 positional writes, 6 positional reads, 3 fortified reads, mappings (private read,
// shared read-write, private read-write, anonymous, shared read through mmap64),
// copy_file_range f->g, sendfile f->g, then close of both.
int scenario_wide_calls(int, char** argv) {
  const std::string dir = argv[2];
  const int f = open((dir + "/f").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  const int g = open((dir + "/g").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (f < 0 || g < 0) fail("open");
  char byte = 'x';
  iovec one{&byte, 1};
  if (pwrite(f, &byte, 1, 0) != 1 || pwrite64(f, &byte, 1, 1) != 1 || pwritev(f, &one, 1, 2) != 1 ||
      pwritev64(f, &one, 1, 3) != 1 || pwritev2(f, &one, 1, 4, 0) != 1 || pwritev64v2(f, &one, 1, 5, 0) != 1)
    fail("pwrite");
  if (pread(f, &byte, 1, 0) != 1 || pread64(f, &byte, 1, 1) != 1 || preadv(f, &one, 1, 2) != 1 ||
      preadv64(f, &one, 1, 3) != 1 || preadv2(f, &one, 1, 4, 0) != 1 || preadv64v2(f, &one, 1, 5, 0) != 1)
    fail("pread");
  char buf[8];
  lseek(f, 0, SEEK_SET);
  if (__read_chk(f, buf, 2, sizeof(buf)) != 2 || __pread_chk(f, buf, 2, 0, sizeof(buf)) != 2 ||
      __pread64_chk(f, buf, 2, 0, sizeof(buf)) != 2)
    fail("fortified read");
  const long page = sysconf(_SC_PAGESIZE);
  void* maps[] = {
      mmap(nullptr, page, PROT_READ, MAP_PRIVATE, f, 0),
      mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_SHARED, f, 0),
      mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE, f, 0),
      mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0),
      mmap64(nullptr, page, PROT_READ, MAP_SHARED, f, 0),
  };
  for (void* m : maps) {
    if (m == MAP_FAILED) fail("mmap");
    munmap(m, page);
  }
  off64_t from = 0;
  if (copy_file_range(f, &from, g, nullptr, 6, 0) != 6) fail("copy_file_range");
  off_t at = 0;
  if (sendfile(g, f, &at, 6) != 6) fail("sendfile");
  fact("f", f);
  fact("g", g);
  close(f);
  close(g);
  return 0;
}


constexpr Scenario SCENARIOS[] = {
    {"write", 1, scenario_write},
    {"read", 1, scenario_read},
    {"vectored", 1, scenario_vectored},
    {"unnameable", 1, scenario_unnameable},
    {"standard", 1, scenario_standard},
    {"wide_calls", 1, scenario_wide_calls},
};

}  // namespace

constinit const std::span<const Scenario> DATA_SCENARIOS = SCENARIOS;

}  // namespace velmora_test
