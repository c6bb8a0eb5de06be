// Scenario driver: a small program the tests run with the library preloaded.
//
//   io_driver SCENARIO [ARGS...]
//
// Each scenario makes plain C-library calls and prints what the test needs to know as
// key=value lines on standard output (descriptor numbers, thread ids, errno values).
// Standard output is descriptor 1, which the library never observes.
#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <netinet/in.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

// Every dynamic-symbol lookup of the process passes through here (the library's
// included: this definition is exported, see CMakeLists.txt) and is counted. A lookup
// of the next definition is answered from the C library itself, which is what comes
// after the preloaded library.
std::atomic<long> LOOKUPS{0};
extern "C" void* dlsym(void* handle, const char* name) noexcept {
  // Plain atomics, not guarded statics: a signal handler may make the first lookup
  // while this thread is inside the guard of a static's initialisation.
  using Dlsym = void* (*)(void*, const char*);
  static constinit std::atomic<Dlsym> real{nullptr};
  static constinit std::atomic<void*> libc{nullptr};
  Dlsym next = real.load();
  if (next == nullptr) {
    next = reinterpret_cast<Dlsym>(dlvsym(RTLD_NEXT, "dlsym", "GLIBC_2.34"));
    real.store(next);
  }
  LOOKUPS.fetch_add(1);
  if (handle == RTLD_NEXT) {
    void* found = libc.load();
    if (found == nullptr) {
      found = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
      libc.store(found);
    }
    handle = found;
  }
  return next(handle, name);
}

// The C library's fortified forms, called directly: this driver is built unfortified.
extern "C" ssize_t __read_chk(int, void*, size_t, size_t);
extern "C" ssize_t __pread_chk(int, void*, size_t, off_t, size_t);
extern "C" ssize_t __pread64_chk(int, void*, size_t, off64_t, size_t);

#include "scenario_main.h"

namespace velmora_test {
int scenario_stdio(int argc, char** argv);  // stdio_scenario.cc
}
// A host written in C against the public header (host_scenario.c).
extern "C" int scenario_host(int argc, char** argv);

namespace {

using velmora_test::fact;
using velmora_test::fail;
using velmora_test::Scenario;


long long thread_id() { return syscall(SYS_gettid); }

int open_for_write(const char* path) { return open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644); }

using SetFd = void (*)(int32_t);
SetFd host_setter(const char* name) {
  auto fn = reinterpret_cast<SetFd>(dlsym(RTLD_DEFAULT, name));
  if (fn == nullptr) {
    std::fprintf(stderr, "%s not found\n", name);
    std::exit(3);
  }
  return fn;
}

std::string drain(int fd) {
  std::string got;
  char buf[4096];
  fcntl(fd, F_SETFL, O_NONBLOCK);
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof(buf));
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

int count_open_fds() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

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
  errno = 0;
  const ssize_t r = write(-1, "x", 1);
  const int saved = errno;
  fact("negative_result", r);
  fact("negative_errno", saved);
  fact("fd", fd);
  return 0;
}

// sink_fds PATH: the pipe's own descriptors are never observed, nor the host's read end.
int scenario_sink_fds(int, char** argv) {
  const int env_fd = std::atoi(std::getenv("VELMORA_IO_FD"));
  const int fd = open_for_write(argv[2]);
  write(fd, "x", 1);       // first event: settles the sink
  write(env_fd, "", 0);    // the sink itself
  host_setter("velmora_io_set_pipe_read_fd")(fd);
  write(fd, "y", 1);       // now the host's "read end": no event
  host_setter("velmora_io_set_pipe_read_fd")(-1);
  write(fd, "z", 1);       // observed again
  fact("fd", fd);
  return 0;
}

// threads PATH1 PATH2: one write from each of two threads.
int scenario_threads(int, char** argv) {
  long long tids[2];
  std::thread a([&] {
    tids[0] = thread_id();
    const int fd = open_for_write(argv[2]);
    write(fd, "a", 1);
  });
  a.join();
  std::thread b([&] {
    tids[1] = thread_id();
    const int fd = open_for_write(argv[3]);
    write(fd, "b", 1);
  });
  b.join();
  fact("tid1", tids[0]);
  fact("tid2", tids[1]);
  fact("pid", getpid());
  return 0;
}

// fork PATH: the child writes; its lines carry its own process id.
int scenario_fork(int, char** argv) {
  const pid_t child = fork();
  if (child == 0) {
    const int fd = open_for_write(argv[2]);
    write(fd, "c", 1);
    _exit(0);
  }
  int status;
  waitpid(child, &status, 0);
  fact("child", child);
  fact("pid", getpid());
  return 0;
}

// setter MODE PATH: the host's setter against the environment.
//   first: set before any event -> all lines on our own pipe
//   later: one event first (env pipe), then set -> the rest on our own pipe
//   off:   set to -1 -> lines go to the log file, if any
int scenario_setter(int, char** argv) {
  const std::string mode = argv[2];
  int own[2];
  pipe(own);
  const int fd = open_for_write(argv[3]);
  if (mode == "later") write(fd, "1", 1);
  host_setter("velmora_io_set_pipe_fd")(mode == "off" ? -1 : own[1]);
  write(fd, "2", 1);
  write(fd, "3", 1);
  std::string lines = drain(own[0]);
  std::size_t count = 0;
  for (char c : lines) count += c == '\n';
  fact("own_lines", static_cast<long long>(count));
  fact("fd", fd);
  return 0;
}

// log_fds PATH N: N events; the log file is not held open between lines.
int scenario_log_fds(int, char** argv) {
  const int fd = open_for_write(argv[2]);
  write(fd, "x", 1);
  const int before = count_open_fds();
  for (int i = 0, n = std::atoi(argv[3]); i < n; ++i) write(fd, "x", 1);
  fact("fds_before", before);
  fact("fds_after", count_open_fds());
  return 0;
}

// cloexec PATH LOG ROUNDS: a thread makes log lines while the main thread spawns
// programs that list their descriptors; none may inherit the log file.
int scenario_cloexec(int, char** argv) {
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    const int fd = open_for_write(argv[2]);
    while (!stop.load()) write(fd, "x", 1);
  });
  const std::string log = argv[3];
  int leaks = 0;
  for (int round = 0, rounds = std::atoi(argv[4]); round < rounds; ++round) {
    int p[2];
    pipe2(p, O_CLOEXEC);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    char* args[] = {const_cast<char*>("ls"), const_cast<char*>("-l"),
                    const_cast<char*>("/proc/self/fd/"), nullptr};
    char* env[] = {nullptr};  // no preload in the child: only its descriptors matter
    pid_t pid;
    posix_spawn(&pid, "/bin/ls", &fa, nullptr, args, env);
    posix_spawn_file_actions_destroy(&fa);
    close(p[1]);
    std::string listing;
    char buf[4096];
    for (ssize_t n; (n = read(p[0], buf, sizeof(buf))) > 0;) listing.append(buf, n);
    close(p[0]);
    waitpid(pid, nullptr, 0);
    if (listing.find(log) != std::string::npos) ++leaks;
  }
  stop = true;
  writer.join();
  fact("leaks", leaks);
  return 0;
}

// fork_storm DIR FORKS: threads hammer the table while the main thread forks; every
// child must be able to use the table and exit.
int scenario_fork_storm(int, char** argv) {
  const std::string dir = argv[2];
  std::atomic<bool> stop{false};
  std::vector<std::thread> hammers;
  for (int t = 0; t < 2; ++t) {
    hammers.emplace_back([&, t] {
      const std::string path = dir + "/hammer" + std::to_string(t);
      while (!stop.load()) {
        const int fd = open_for_write(path.c_str());
        write(fd, "h", 1);
        close(fd);
      }
    });
  }
  int hung = 0;
  const int forks = std::atoi(argv[3]);
  for (int i = 0; i < forks; ++i) {
    const pid_t child = fork();
    if (child == 0) {
      const std::string path = dir + "/child";
      const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
      write(fd, "c", 1);
      close(fd);
      _exit(0);
    }
    // A child that has not finished within 5 s is hung on an inherited lock.
    int status;
    bool done = false;
    for (int waited = 0; waited < 5000 && !done; ++waited) {
      done = waitpid(child, &status, WNOHANG) == child;
      if (!done) usleep(1000);
    }
    if (!done) {
      ++hung;
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
    }
  }
  stop = true;
  for (auto& t : hammers) t.join();
  fact("hung", hung);
  return 0;
}

int g_signal_pipe = -1;
void on_alarm_write(int) {
  const int saved = errno;
  write(g_signal_pipe, "s", 1);  // the self-pipe trick; the pipe may be full
  close(dup(g_signal_pipe));
  errno = saved;
}

// signal_storm PATH WRITES: a fast timer whose handler writes to a pipe interrupts a
// thread that writes a file (and so is often inside a table operation), then forks
// WRITES/1000 children (the fork handlers hold the table's lock across fork).
int scenario_signal_storm(int, char** argv) {
  int p[2];
  pipe2(p, O_NONBLOCK);
  g_signal_pipe = p[1];
  struct sigaction sa {};
  sa.sa_handler = on_alarm_write;
  sa.sa_flags = SA_RESTART;
  sigaction(SIGALRM, &sa, nullptr);
  itimerval timer{{0, 50}, {0, 50}};
  setitimer(ITIMER_REAL, &timer, nullptr);
  const int fd = open_for_write(argv[2]);
  char sink[4096];
  const long writes = std::atol(argv[3]);
  for (long i = 0; i < writes; ++i) {
    write(fd, "x", 1);
    if (i % 1024 == 0) read(p[0], sink, sizeof(sink));
  }
  for (long i = 0; i < writes / 1000; ++i) {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    read(p[0], sink, sizeof(sink));
  }
  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  fact("done", 1);
  return 0;
}

void on_alarm_nothing(int) {}

// interrupted_sink PATH WRITES: the sink pipe is shrunk so writes of lines block and
// are interrupted by signals (no SA_RESTART): lines must still arrive whole.
int scenario_interrupted_sink(int, char** argv) {
  const int sink = std::atoi(std::getenv("VELMORA_IO_FD"));
  fcntl(sink, F_SETPIPE_SZ, 4096);
  struct sigaction sa {};
  sa.sa_handler = on_alarm_nothing;
  sigaction(SIGALRM, &sa, nullptr);
  itimerval timer{{0, 200}, {0, 200}};
  setitimer(ITIMER_REAL, &timer, nullptr);
  const int fd = open_for_write(argv[2]);
  const long writes = std::atol(argv[3]);
  long ok = 0;
  for (long i = 0; i < writes; ++i) ok += write(fd, "x", 1) == 1;
  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  fact("ok", ok);
  fact("fd", fd);
  return 0;
}


// signal_malloc DIR SIGNALS: two threads loop malloc/free while the main thread sends
// them SIGNALS signals, one at a time. The handler opens, writes and closes a fresh file
// with a long name (so names and lines are long too) and sends a datagram to a new
// address: naming, closing, recording and long lines all run inside a handler that
// may have interrupted malloc.
char g_long_paths[8][400];
sockaddr_in g_destinations[8];
int g_udp = -1;
std::atomic<long> g_handled{0};

void on_usr1_io(int) {
  const long k = g_handled.load(std::memory_order_relaxed);
  const int fd = open(g_long_paths[k % 8], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) {
    write(fd, "h", 1);
    close(fd);
  }
  sendto(g_udp, "d", 1, 0, reinterpret_cast<const sockaddr*>(&g_destinations[k % 8]), sizeof(sockaddr_in));
  g_handled.store(k + 1, std::memory_order_release);
}

int scenario_signal_malloc(int, char** argv) {
  const std::string dir = argv[2];
  const long signals = std::atol(argv[3]);
  for (int i = 0; i < 8; ++i) {
    std::snprintf(g_long_paths[i], sizeof(g_long_paths[i]), "%s/%0300d", dir.c_str(), i);
    g_destinations[i] = {};
    g_destinations[i].sin_family = AF_INET;
    g_destinations[i].sin_port = htons(static_cast<uint16_t>(40000 + i));
    g_destinations[i].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  g_udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  // Each wrapper the handler uses has been called once (on no descriptor, so nothing is
  // named or allocated): what is under test is the heap, not a first call.
  write(-1, "", 0);
  close(-1);
  sendto(-1, "", 0, 0, nullptr, 0);
  struct sigaction sa {};
  sa.sa_handler = on_usr1_io;
  sa.sa_flags = SA_RESTART;
  sigaction(SIGUSR1, &sa, nullptr);
  std::atomic<bool> stop{false};
  auto churn = [&](unsigned seed) {
    void* held[64] = {};
    while (!stop.load(std::memory_order_relaxed)) {
      seed = seed * 1103515245u + 12345u;
      const unsigned i = (seed >> 8) % 64;
      std::free(held[i]);
      held[i] = std::malloc(16 + (seed >> 16) % 4096);
      if (held[i] != nullptr) static_cast<char*>(held[i])[0] = 1;
    }
    for (void* p : held) std::free(p);
  };
  std::thread workers[2] = {std::thread(churn, 1u), std::thread(churn, 2u)};
  long sent = 0;
  for (; sent < signals; ++sent) {
    pthread_kill(workers[sent % 2].native_handle(), SIGUSR1);
    // Bounded: a handler that never returns is the fault under test.
    timespec give_up;
    clock_gettime(CLOCK_MONOTONIC, &give_up);
    give_up.tv_sec += 5;
    while (g_handled.load(std::memory_order_acquire) <= sent) {
      timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      if (now.tv_sec > give_up.tv_sec || (now.tv_sec == give_up.tv_sec && now.tv_nsec > give_up.tv_nsec)) break;
      sched_yield();
    }
    if (g_handled.load(std::memory_order_acquire) <= sent) break;
  }
  fact("handled", g_handled.load());
  std::fflush(stdout);
  if (sent < signals) _exit(0);  // a worker is stuck in its handler: it cannot be joined
  stop = true;
  for (auto& w : workers) w.join();
  return 0;
}

// socket_sink PATH: the program is its own host with a socket pair for a sink and
// drains the read end with recv after five events; reading must not add lines.
int scenario_socket_sink(int, char** argv) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) fail("socketpair");
  host_setter("velmora_io_set_pipe_fd")(sv[0]);
  host_setter("velmora_io_set_pipe_read_fd")(sv[1]);
  const int fd = open_for_write(argv[2]);
  for (int i = 0; i < 5; ++i) write(fd, "x", 1);
  std::string got;
  char buf[16];
  bool drained = false;
  for (long calls = 0; calls < 100000; ++calls) {
    const ssize_t n = recv(sv[1], buf, sizeof(buf), MSG_DONTWAIT);
    if (n > 0) {
      got.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    drained = n < 0 && errno == EAGAIN;
    break;
  }
  std::size_t lines = 0;
  for (char c : got) lines += c == '\n';
  fact("drained", drained);
  fact("lines", static_cast<long long>(lines));
  return 0;
}

// vfork_dup DIR: a vfork child overwrites descriptor a with b and writes to it before
// _exit; the parent's a must keep its name.
int scenario_vfork_dup(int, char** argv) {
  const std::string dir = argv[2];
  const int a = open_for_write((dir + "/a").c_str());
  const int b = open_for_write((dir + "/b").c_str());
  write(a, "1", 1);
  const pid_t child = vfork();
  if (child == 0) {
    dup2(b, a);
    write(a, "c", 1);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  write(a, "2", 1);
  close(a);
  close(b);
  fact("a", a);
  fact("pid", getpid());
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

// stale_numbers DIR: for each call that hands out a descriptor, a file DIR/old-CALL is
// written on some number, that number is closed behind the library's back (a raw
// system call), the call hands the number out again, and one byte is written to it.
// Prints CALL=FD for each.
int scenario_stale_numbers(int, char** argv) {
  const std::string dir = argv[2];
  const int lis = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un un{};
  un.sun_family = AF_UNIX;
  std::snprintf(un.sun_path, sizeof(un.sun_path), "%s/l.sock", dir.c_str());
  unlink(un.sun_path);
  if (bind(lis, reinterpret_cast<sockaddr*>(&un), sizeof(un)) != 0 || listen(lis, 4) != 0) fail("listen");
  const int client = socket(AF_UNIX, SOCK_STREAM, 0);  // waits in the backlog for accept
  if (connect(client, reinterpret_cast<sockaddr*>(&un), sizeof(un)) != 0) fail("connect");
  const int keep = open("/dev/null", O_RDONLY);
  FILE* streams[2] = {nullptr, nullptr};
  int fds[2];
  struct Maker {
    const char* name;
    int (*make)(const std::string& dir, int lis, int keep, int* fds, FILE** streams);
  };
  const Maker makers[] = {
      {"open", [](const std::string& d, int, int, int*, FILE**) { return open((d + "/new").c_str(), O_WRONLY | O_CREAT, 0644); }},
      {"openat", [](const std::string& d, int, int, int*, FILE**) { return openat(AT_FDCWD, (d + "/new").c_str(), O_WRONLY); }},
      {"creat", [](const std::string& d, int, int, int*, FILE**) { return creat((d + "/new").c_str(), 0644); }},
      {"socket", [](const std::string&, int, int, int*, FILE**) { return socket(AF_INET, SOCK_DGRAM, 0); }},
      {"socketpair", [](const std::string&, int, int, int* p, FILE**) { return socketpair(AF_UNIX, SOCK_STREAM, 0, p) == 0 ? p[0] : -1; }},
      {"accept", [](const std::string&, int l, int, int*, FILE**) { return accept4(l, nullptr, nullptr, SOCK_CLOEXEC); }},
      {"pipe", [](const std::string&, int, int, int* p, FILE**) { return pipe2(p, 0) == 0 ? p[0] : -1; }},
      {"dup", [](const std::string&, int, int k, int*, FILE**) { return dup(k); }},
      {"fcntl", [](const std::string&, int, int k, int*, FILE**) { return fcntl(k, F_DUPFD_CLOEXEC, 0); }},
      {"eventfd", [](const std::string&, int, int, int*, FILE**) { return eventfd(0, 0); }},
      {"memfd_create", [](const std::string&, int, int, int*, FILE**) { return memfd_create("velmora", 0); }},
      {"epoll_create1", [](const std::string&, int, int, int*, FILE**) { return epoll_create1(0); }},
      {"fopen", [](const std::string& d, int, int, int*, FILE** s) {
         s[0] = fopen((d + "/new").c_str(), "w");
         return s[0] != nullptr ? fileno(s[0]) : -1; }},
  };
  for (const Maker& m : makers) {
    const int old = open_for_write((dir + "/old-" + m.name).c_str());
    if (write(old, "x", 1) != 1) fail("write");  // names it
    syscall(SYS_close, old);
    fds[1] = -1;
    const int fresh = m.make(dir, lis, keep, fds, streams);
    if (fresh != old) fail(m.name);
    write(fresh, "y", 1);  // may fail (a socket without peer): the event comes first
    fact(m.name, fresh);
    if (streams[0] != nullptr) {
      fclose(streams[0]);
      streams[0] = nullptr;
    } else {
      syscall(SYS_close, fresh);
    }
    if (fds[1] >= 0) syscall(SYS_close, fds[1]);
  }
  return 0;
}

// The C library's first segment, from its ELF header on: its hash tables, symbols,
// strings and versions, all that a symbol lookup in it reads.
std::pair<void*, std::size_t> libc_symbol_tables() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&strtol), &info) == 0) return {nullptr, 0};
  auto* base = static_cast<char*>(info.dli_fbase);
  auto* phdr = reinterpret_cast<const ElfW(Phdr)*>(base + reinterpret_cast<const ElfW(Ehdr)*>(base)->e_phoff);
  while (phdr->p_type != PT_LOAD) ++phdr;
  return {base, phdr->p_memsz};
}

// lookups PATH: one write to PATH, then a call of every other function the library
// interposes (on bad descriptors, so nothing happens) with the C library's symbol
// tables unreadable, so that any lookup there crashes (run it with LD_BIND_NOW set).
// Prints how many dlsym calls the first call made and the later ones together.
int scenario_lookups(int, char** argv) {
  const int fd = open_for_write(argv[2]);
  fact("written", write(fd, "x", 1));
  const long first = LOOKUPS.load();
  const auto [tables, size] = libc_symbol_tables();
  if (size == 0 || mprotect(tables, size, PROT_NONE) != 0) fail("libc's symbol tables");
  char buf[1];
  iovec iov{buf, 1};
  msghdr msg{};
  sockaddr_storage addr{};
  socklen_t len = sizeof(addr);
  read(-1, buf, 1);
  readv(-1, &iov, 1);
  writev(-1, &iov, 1);
  recv(-1, buf, 1, 0);
  recvfrom(-1, buf, 1, 0, reinterpret_cast<sockaddr*>(&addr), &len);
  recvmsg(-1, &msg, 0);
  send(-1, buf, 1, 0);
  sendmsg(-1, &msg, 0);
  sendto(-1, buf, 1, 0, nullptr, 0);
  connect(-1, reinterpret_cast<sockaddr*>(&addr), sizeof(sockaddr_un));
  dup2(-1, -1);
  dup3(-1, -1, 0);
  close(-1);
  pread(-1, buf, 1, 0);
  pwrite(-1, buf, 1, 0);
  dup(-1);
  mmap(nullptr, 1, PROT_READ, MAP_PRIVATE, -1, 0);
  close_range(~0u, ~0u, 0);
  mprotect(tables, size, PROT_READ);
  fact("first", first);
  fact("later", LOOKUPS.load() - first);
  close(fd);
  return 0;
}

// plugin PLUGIN PATH: the process's first observed call is made inside dlopen, by a
// thread that the plugin's constructor starts and waits for (plugin.c); it writes PATH.
int scenario_plugin(int, char** argv) {
  setenv("VELMORA_TEST_PLUGIN_FILE", argv[3], 1);
  if (dlopen(argv[2], RTLD_NOW) == nullptr) fail(dlerror());
  fact("loaded", 1);
  return 0;
}

constexpr Scenario SCENARIOS[] = {
    {"write", 1, scenario_write},
    {"read", 1, scenario_read},
    {"vectored", 1, scenario_vectored},
    {"unnameable", 1, scenario_unnameable},
    {"standard", 1, scenario_standard},
    {"sink_fds", 1, scenario_sink_fds},
    {"threads", 2, scenario_threads},
    {"fork", 1, scenario_fork},
    {"setter", 2, scenario_setter},
    {"log_fds", 2, scenario_log_fds},
    {"cloexec", 3, scenario_cloexec},
    {"fork_storm", 2, scenario_fork_storm},
    {"signal_storm", 2, scenario_signal_storm},
    {"interrupted_sink", 2, scenario_interrupted_sink},
    {"signal_malloc", 2, scenario_signal_malloc},
    {"socket_sink", 1, scenario_socket_sink},
    {"vfork_dup", 1, scenario_vfork_dup},
    {"wide_calls", 1, scenario_wide_calls},
    {"stale_numbers", 1, scenario_stale_numbers},
    {"lookups", 1, scenario_lookups},
    {"plugin", 2, scenario_plugin},
    {"stdio", 1, velmora_test::scenario_stdio},
    {"host", 1, scenario_host},
};

}  // namespace

int main(int argc, char** argv) { return velmora_test::run_scenario(argc, argv, SCENARIOS); }
