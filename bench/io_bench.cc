// io_bench: one workload per run, timed inside the process, for scripts/bench to run
// with and without the library preloaded and compare.
//
//   io_bench WORKLOAD [--calls N] [--threads N] [--floor] [--files N] [--runs N]
//                     [--library PATH]
//
// Prints "RESULT key=value ..." lines on standard error (standard output may be
// /dev/null: one workload writes there). Every loop is bounded by a count.
//
// --floor adds, without the library, the system calls the library cannot avoid for
// the same calls: per event getpid + gettid + one write of the event line to the pipe
// in VELMORA_IO_FD (drained by the harness, as the library's pipe would be); per naming
// of a new descriptor getpeername + readlink; per call on a descriptor already found
// unnameable (a pipe) one fstat. Subtracting the floor from the library's time leaves
// what the library's own code costs.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "counting_alloc.h"
#include "event_line.h"
#include "ring_reader.h"

extern char** environ;

namespace {

using namespace std::string_literals;

constexpr std::size_t PAYLOAD = 64;  // bytes per data call
constexpr long MAX_CALLS = 100'000'000;

struct Options {
  std::string workload;
  long calls = 200'000;
  long threads = 1;
  long files = 10'000;
  long runs = 200;
  bool floor = false;
  std::string library;
  long bytes = PAYLOAD;  // of each file_write
};

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "io_bench: %s: %s\n", what, std::strerror(errno));
  std::exit(2);
}

[[noreturn]] void usage(const char* problem) {
  std::fprintf(stderr,
               "io_bench: %s\nusage: io_bench WORKLOAD [--calls N] [--bytes N] [--threads N] [--floor] "
               "[--files N] [--runs N] [--library PATH]\n",
               problem);
  std::exit(2);
}

uint64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}

// Process CPU time (all threads): unlike wall time, it does not grow while other
// programs on this shared machine have the CPU.
uint64_t process_cpu_ns() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}

// CPU time of the last timed loop (of the whole parallel part for the thread workload).
std::atomic<uint64_t> LAST_CPU_NS{0};

long thread_id() { return static_cast<long>(syscall(SYS_gettid)); }

// Writes all of `bytes`; the harness's pipes are drained, so this only loops on EINTR.
void write_all(int fd, std::string_view bytes) {
  std::size_t done = 0;
  for (int attempts = 0; done < bytes.size() && attempts < 1000; ++attempts) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      die("write");
    }
  }
}

// Reads and discards `bytes` from fd with the raw system call, so that draining the
// workload's own pipe or socket is never observed by the library.
void raw_drain(int fd, std::size_t bytes) {
  static char sink[1 << 16];
  for (int attempts = 0; bytes > 0 && attempts < 100000; ++attempts) {
    const long n = syscall(SYS_read, fd, sink, std::min(bytes, sizeof(sink)));
    if (n > 0) {
      bytes -= static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      die("drain read");
    }
  }
}

// A private directory for the workload's files, removed with them at exit.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("BENCH_TMPDIR");
    if (base == nullptr || *base == '\0') base = std::getenv("TMPDIR");
    if (base == nullptr || *base == '\0') base = "/tmp";
    std::string pattern = std::string(base) + "/velmora-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) die("mkdtemp");
    char resolved[PATH_MAX];
    // The library names files by their /proc/self/fd link, which is the resolved path.
    path_ = realpath(pattern.c_str(), resolved) != nullptr ? std::string(resolved) : pattern;
  }
  ~TempDir() {
    for (const std::string& f : files_) unlink(f.c_str());
    rmdir(path_.c_str());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // A path in the directory, removed at exit.
  std::string file(std::string_view name) {
    files_.push_back(path_ + "/" + std::string(name));
    return files_.back();
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

int open_or_die(const std::string& path, int flags) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) die(path.c_str());
  return fd;
}

// The line the library writes for one event (made by its own codec), for the floor
// to write the same bytes.
std::string event_line(std::string_view kind, std::string_view detail, int fd) {
  const std::size_t escaped = velmora_io::escaped_size(detail);
  std::string line(velmora_io::event_line_capacity(kind.size(), escaped), '\0');
  line.resize(velmora_io::format_event_line(line.data(), kind, detail, escaped, fd, getpid(), thread_id()));
  return line;
}

// What every workload that reads a file sets up: `size` bytes of `fill` in a file of its
// own directory, opened for reading, and the line each read of it makes.
struct FileToRead {
  FileToRead(std::string_view name, std::size_t size, char fill) : path(dir.file(name)) {
    const int w = open_or_die(path, O_WRONLY | O_CREAT | O_TRUNC);
    write_all(w, std::string(size, fill));
    close(w);
    fd = open_or_die(path, O_RDONLY);
    line = event_line("read", "file:" + path, fd);
  }
  ~FileToRead() { close(fd); }
  FileToRead(const FileToRead&) = delete;
  FileToRead& operator=(const FileToRead&) = delete;

  TempDir dir;
  std::string path;
  int fd = -1;
  std::string line;
};

// The unavoidable system calls, done only under --floor.
class Floor {
 public:
  explicit Floor(bool on) : on_(on) {
    if (!on_) return;
    const char* value = std::getenv("VELMORA_IO_FD");
    sink_ = value != nullptr ? std::atoi(value) : -1;
    struct stat st;
    if (sink_ < 0 || fstat(sink_, &st) != 0 || !S_ISFIFO(st.st_mode)) {
      errno = EBADF;
      die("--floor needs VELMORA_IO_FD naming a drained pipe");
    }
  }

  bool on() const { return on_; }

  // Per event: the process and thread ids, and the line to the pipe.
  void event(std::string_view line) const {
    if (!on_) return;
    (void)getpid();
    (void)syscall(SYS_gettid);
    write_all(sink_, line);
  }

  // Per naming of a descriptor: the peer stage and the link stage.
  void naming(int fd, const char* link_path) const {
    if (!on_) return;
    sockaddr_storage peer;
    socklen_t len = sizeof(peer);
    (void)getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len);
    char target[256];
    (void)readlink(link_path, target, sizeof(target));
  }

  // Per call on a descriptor that can never be named (a pipe), once it is known: one
  // fstat confirms it is still the same object.
  void unnameable(int fd) const {
    if (!on_) return;
    struct stat st;
    (void)fstat(fd, &st);
  }

 private:
  bool on_;
  int sink_ = -1;
};

std::string proc_fd_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

struct Timing {
  const char* unit;   // what one counted operation is
  long count;         // operations timed
  uint64_t ns;        // wall time of the timed loop
  long events;        // event lines the library emits for the timed loop and the warm-up
};

void print_timing(const Options& o, const Timing& t) {
  const uint64_t cpu = LAST_CPU_NS.load(std::memory_order_relaxed);
  std::fprintf(stderr,
               "RESULT workload=%s unit=%s count=%ld ns=%llu ns_per=%.3f cpu_ns_per=%.3f ops_per_s=%.1f events=%ld\n",
               o.workload.c_str(), t.unit, t.count, static_cast<unsigned long long>(t.ns),
               static_cast<double>(t.ns) / static_cast<double>(t.count),
               static_cast<double>(cpu) / static_cast<double>(t.count),
               static_cast<double>(t.count) * 1e9 / static_cast<double>(t.ns), t.events);
}

long warmup_calls(long calls) { return std::clamp(calls / 50, 16L, 5000L); }

// Every timed loop runs in here; scripts/bench counts instructions with callgrind's
// --toggle-collect='*timed_loop*', which sees only the timed calls.
template <typename Body>
[[gnu::noinline]] uint64_t timed_loop(long count, Body&& body) {
  const uint64_t t0 = now_ns();
  const uint64_t c0 = process_cpu_ns();
  for (long i = 0; i < count; ++i) body(i);
  const uint64_t wall = now_ns() - t0;
  LAST_CPU_NS.store(process_cpu_ns() - c0, std::memory_order_relaxed);
  return wall;
}

// --- workloads ------------------------------------------------------------------

// write(1) to /dev/null: the standard streams are never observed.
Timing stdout_write(const Options& o) {
  struct stat st;
  if (fstat(1, &st) != 0 || !S_ISCHR(st.st_mode)) {
    errno = EINVAL;
    die("stdout_write wants standard output on /dev/null");
  }
  char buf[PAYLOAD] = {};
  for (long i = 0; i < warmup_calls(o.calls); ++i) (void)write(1, buf, sizeof(buf));
  const uint64_t ns = timed_loop(o.calls, [&](long) {
    if (write(1, buf, sizeof(buf)) != static_cast<ssize_t>(sizeof(buf))) die("write(1)");
  });
  return {"call", o.calls, ns, 0};
}

// 64-byte writes to one file: one event a call. The offset goes back to 0 every 4096
// writes so the file stays small.
Timing file_write(const Options& o) {
  TempDir dir;
  const std::string path = dir.file("write.dat");
  const int fd = open_or_die(path, O_WRONLY | O_CREAT | O_TRUNC);
  const Floor floor(o.floor);
  const std::string line = event_line("write", "file:" + path, fd);
  char buf[PAYLOAD];
  std::memset(buf, 'w', sizeof(buf));
  const auto size = static_cast<std::size_t>(o.bytes);
  auto one = [&] {
    floor.event(line);
    if (write(fd, buf, size) != static_cast<ssize_t>(size)) die("write");
  };
  const long warm = warmup_calls(o.calls);
  for (long i = 0; i < warm; ++i) one();
  lseek(fd, 0, SEEK_SET);
  const uint64_t ns = timed_loop(o.calls, [&](long i) {
    one();
    if ((i & 4095) == 4095) lseek(fd, 0, SEEK_SET);
  });
  close(fd);
  return {"call", o.calls, ns, warm + o.calls + 1};
}

// 64-byte reads from a 64 KiB file, going back to its start every 1024 reads.
Timing file_read(const Options& o) {
  const FileToRead file("read.dat", PAYLOAD * 1024, 'r');
  const Floor floor(o.floor);
  char buf[PAYLOAD];
  auto one = [&](long i) {
    floor.event(file.line);
    if (read(file.fd, buf, sizeof(buf)) != static_cast<ssize_t>(sizeof(buf))) die("read");
    if ((i & 1023) == 1023) lseek(file.fd, 0, SEEK_SET);
  };
  const long warm = warmup_calls(o.calls) & ~1023L;
  for (long i = 0; i < std::max(warm, 1024L); ++i) one(i);
  const uint64_t ns = timed_loop(o.calls, one);
  return {"call", o.calls, ns, std::max(warm, 1024L) + o.calls + 1};
}

// 64-byte positional reads from a 64 KiB file (one event each under the wide library,
// none under the narrow one, which does not see pread).
Timing file_pread(const Options& o) {
  const FileToRead file("pread.dat", PAYLOAD * 1024, 'p');
  const Floor floor(o.floor);
  char buf[PAYLOAD];
  auto one = [&](long i) {
    floor.event(file.line);
    const off_t at = static_cast<off_t>((i & 1023) * PAYLOAD);
    if (pread(file.fd, buf, sizeof(buf), at) != static_cast<ssize_t>(sizeof(buf))) die("pread");
  };
  const long warm = warmup_calls(o.calls);
  for (long i = 0; i < warm; ++i) one(i);
  const uint64_t ns = timed_loop(o.calls, one);
  return {"call", o.calls, ns, warm + o.calls + 1};
}

// A read-only mapping of a one-page file, made and dropped (one event per mmap under
// the wide library). munmap is not interposed.
Timing file_mmap(const Options& o) {
  const long page = sysconf(_SC_PAGESIZE);
  const FileToRead file("mmap.dat", static_cast<std::size_t>(page), 'm');
  const Floor floor(o.floor);
  auto one = [&](long) {
    floor.event(file.line);
    void* m = mmap(nullptr, static_cast<std::size_t>(page), PROT_READ, MAP_PRIVATE, file.fd, 0);
    if (m == MAP_FAILED) die("mmap");
    munmap(m, static_cast<std::size_t>(page));
  };
  const long warm = warmup_calls(o.calls);
  for (long i = 0; i < warm; ++i) one(i);
  const uint64_t ns = timed_loop(o.calls, one);
  return {"call", o.calls, ns, warm + o.calls + 1};
}

// writev of a Parse message spread over three buffers (then Sync) to one end of a
// socket pair, drained from the other every 256 calls: one "write" event under the
// narrow library, one "sql_write" under the wide one, which gathers the message to read
// its text. sock_writev_data sends the same sizes without a query (first byte 'D'), so
// the wide library only looks at that byte.
Timing sock_writev_common(const Options& o, bool query) {
  int s[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s) != 0) die("socketpair");
  const std::string text = "SELECT abalance FROM pgbench_accounts WHERE aid = $1;";
  std::string parse = std::string(query ? "P" : "D") + "0000" + "s1" + '\0' + text + '\0' + "\0\0"s;
  const uint32_t length = static_cast<uint32_t>(parse.size() - 1);
  for (int i = 0; i < 4; ++i) parse[1 + i] = static_cast<char>((length >> (24 - 8 * i)) & 0xff);
  const std::string sync = "S\0\0\0\4"s;
  iovec iov[4] = {{parse.data(), 7}, {parse.data() + 7, 20}, {parse.data() + 27, parse.size() - 27},
                  {const_cast<char*>(sync.data()), sync.size()}};
  const ssize_t total = static_cast<ssize_t>(parse.size() + sync.size());
  const Floor floor(o.floor);
  const std::string line = event_line("write", "socket:unix:", s[0]);
  std::vector<char> sink(static_cast<std::size_t>(total) * 256);
  auto one = [&](long i) {
    floor.event(line);
    if (writev(s[0], iov, 4) != total) die("writev");
    if ((i & 255) == 255) {
      for (ssize_t left = total * 256; left > 0;) {
        const ssize_t n = recv(s[1], sink.data(), static_cast<std::size_t>(left), 0);
        if (n <= 0) die("recv");
        left -= n;
      }
    }
  };
  const long warm = (warmup_calls(o.calls) | 255) + 1;
  for (long i = 0; i < warm; ++i) one(i);
  const long calls = ((o.calls + 255) / 256) * 256;
  const uint64_t ns = timed_loop(calls, one);
  close(s[0]);
  close(s[1]);
  // The drains' recv calls are events too (reads of the other end).
  return {"call", calls, ns, (warm + calls) * 257 / 256};
}

Timing sock_writev(const Options& o) { return sock_writev_common(o, true); }
Timing sock_writev_data(const Options& o) { return sock_writev_common(o, false); }

// 64-byte writes to a pipe, which has no name: the library confirms with one fstat that
// it is still the pipe it could not name, and emits nothing. Drained every 512 writes
// (32 KiB, half the default size).
Timing pipe_write(const Options& o) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) die("pipe");
  const Floor floor(o.floor);
  char buf[PAYLOAD];
  std::memset(buf, 'p', sizeof(buf));
  auto one = [&](long i) {
    floor.unnameable(p[1]);
    if (write(p[1], buf, sizeof(buf)) != static_cast<ssize_t>(sizeof(buf))) die("pipe write");
    if ((i & 511) == 511) raw_drain(p[0], 512 * sizeof(buf));
  };
  for (long i = 0; i < 1024; ++i) one(i);
  const long count = (o.calls + 511) & ~511L;
  const uint64_t ns = timed_loop(count, one);
  close(p[0]);
  close(p[1]);
  return {"call", count, ns, 0};
}

// send a -> recv b -> send b -> recv a on a Unix socket pair, in one thread: four
// observed calls, four events, and no scheduler in the measurement.
Timing sock_pingpong(const Options& o) {
  int s[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s) != 0) die("socketpair");
  const Floor floor(o.floor);
  const std::string lines[4] = {event_line("write", "socket:unix:", s[0]), event_line("read", "socket:unix:", s[1]),
                                event_line("write", "socket:unix:", s[1]), event_line("read", "socket:unix:", s[0])};
  char out[PAYLOAD];
  char in[PAYLOAD];
  std::memset(out, 's', sizeof(out));
  constexpr auto N = static_cast<ssize_t>(PAYLOAD);
  auto round = [&] {
    floor.event(lines[0]);
    if (send(s[0], out, sizeof(out), 0) != N) die("send");
    floor.event(lines[1]);
    if (recv(s[1], in, sizeof(in), 0) != N) die("recv");
    floor.event(lines[2]);
    if (send(s[1], out, sizeof(out), 0) != N) die("send");
    floor.event(lines[3]);
    if (recv(s[0], in, sizeof(in), 0) != N) die("recv");
  };
  const long warm = warmup_calls(o.calls) / 4 + 1;
  for (long i = 0; i < warm; ++i) round();
  const long rounds = std::max(o.calls / 4, 1L);
  const uint64_t ns = timed_loop(rounds, [&](long) { round(); });
  close(s[0]);
  close(s[1]);
  return {"call", rounds * 4, ns, (warm + rounds) * 4 + 2};
}

// The Query message a simple-protocol client sends for one pgbench -S transaction.
std::string pg_query_message(std::string_view sql) {
  std::string msg = "Q";
  const uint32_t length = static_cast<uint32_t>(4 + sql.size() + 1);
  for (int shift = 24; shift >= 0; shift -= 8) msg.push_back(static_cast<char>((length >> shift) & 0xff));
  msg.append(sql);
  msg.push_back('\0');
  return msg;
}

constexpr std::string_view BENCH_QUERY = "SELECT abalance FROM pgbench_accounts WHERE aid = 48213;";

// send() of a PostgreSQL Query message: one sql_write event carrying the query text.
// The peer end is drained every 32 messages with the raw system call.
Timing sql_send(const Options& o) {
  int s[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s) != 0) die("socketpair");
  const Floor floor(o.floor);
  const std::string msg = pg_query_message(BENCH_QUERY);
  const std::string line = event_line("sql_write", BENCH_QUERY, s[0]);
  auto one = [&](long i) {
    floor.event(line);
    if (send(s[0], msg.data(), msg.size(), 0) != static_cast<ssize_t>(msg.size())) die("send");
    if ((i & 31) == 31) raw_drain(s[1], 32 * msg.size());
  };
  for (long i = 0; i < 1024; ++i) one(i);
  const long count = (o.calls + 31) & ~31L;
  const uint64_t ns = timed_loop(count, one);
  close(s[0]);
  close(s[1]);
  return {"call", count, ns, count + 1024 + 1};
}

// open + 64-byte write + close of one file: the descriptor is named afresh every cycle
// (peer stage, link stage, a heap copy of the name), then a write and a close event.
Timing open_write_close(const Options& o) {
  TempDir dir;
  const std::string path = dir.file("cycle.dat");
  const Floor floor(o.floor);
  char buf[PAYLOAD];
  std::memset(buf, 'c', sizeof(buf));
  // The cycle always gets the lowest free number, so the lines are fixed.
  const int probe = open_or_die(path, O_WRONLY | O_CREAT);
  close(probe);
  const std::string link = proc_fd_path(probe);
  const std::string write_line = event_line("write", "file:" + path, probe);
  const std::string close_line = event_line("close", "file:" + path, probe);
  auto cycle = [&] {
    const int fd = open_or_die(path, O_WRONLY);
    floor.naming(fd, link.c_str());
    floor.event(write_line);
    if (write(fd, buf, sizeof(buf)) != static_cast<ssize_t>(sizeof(buf))) die("write");
    floor.event(close_line);
    close(fd);
  };
  const long warm = warmup_calls(o.calls);
  for (long i = 0; i < warm; ++i) cycle();
  const uint64_t ns = timed_loop(o.calls, [&](long) { cycle(); });
  return {"cycle", o.calls, ns, 2 * (warm + o.calls)};
}

// T threads, each writing 64-byte records to its own file; total calls per second.
Timing threads(const Options& o) {
  TempDir dir;
  const long n = o.threads;
  pthread_barrier_t start;
  pthread_barrier_t done_warmup;
  pthread_barrier_init(&start, nullptr, static_cast<unsigned>(n + 1));
  pthread_barrier_init(&done_warmup, nullptr, static_cast<unsigned>(n + 1));
  std::vector<std::string> paths;
  for (long t = 0; t < n; ++t) paths.push_back(dir.file("thread" + std::to_string(t) + ".dat"));
  const long warm = warmup_calls(o.calls);
  std::vector<std::thread> workers;
  for (long t = 0; t < n; ++t) {
    workers.emplace_back([&, t] {
      const int fd = open_or_die(paths[static_cast<std::size_t>(t)], O_WRONLY | O_CREAT | O_TRUNC);
      const Floor floor(o.floor);
      const std::string line = event_line("write", "file:" + paths[static_cast<std::size_t>(t)], fd);
      char buf[PAYLOAD];
      std::memset(buf, 't', sizeof(buf));
      auto one = [&](long i) {
        floor.event(line);
        if (write(fd, buf, sizeof(buf)) != static_cast<ssize_t>(sizeof(buf))) die("write");
        if ((i & 4095) == 4095) lseek(fd, 0, SEEK_SET);
      };
      for (long i = 0; i < warm; ++i) one(i);
      pthread_barrier_wait(&done_warmup);
      pthread_barrier_wait(&start);
      (void)timed_loop(o.calls, one);
      close(fd);
    });
  }
  pthread_barrier_wait(&done_warmup);
  rusage before;
  getrusage(RUSAGE_SELF, &before);
  const uint64_t t0 = now_ns();
  const uint64_t c0 = process_cpu_ns();
  pthread_barrier_wait(&start);
  for (std::thread& w : workers) w.join();
  const uint64_t ns = now_ns() - t0;
  LAST_CPU_NS.store(process_cpu_ns() - c0, std::memory_order_relaxed);
  rusage after;
  getrusage(RUSAGE_SELF, &after);
  // Voluntary context switches: a thread that sleeps on a contended lock (the table's
  // or the sink pipe's) shows here, whatever else the machine is doing.
  std::fprintf(stderr, "RESULT workload=threads_switches per_1000_calls=%.2f\n",
               1000.0 * static_cast<double>(after.ru_nvcsw - before.ru_nvcsw) / static_cast<double>(n * o.calls));
  pthread_barrier_destroy(&start);
  pthread_barrier_destroy(&done_warmup);
  return {"call", n * o.calls, ns, n * (warm + o.calls + 1)};
}

// The floor alone, per event: getpid + gettid + one line to the drained pipe.
Timing floor_event(const Options& o) {
  const Floor floor(true);
  const std::string line = event_line("write", "file:/tmp/velmora-bench-XXXXXX/write.dat", 3);
  for (long i = 0; i < warmup_calls(o.calls); ++i) floor.event(line);
  const uint64_t ns = timed_loop(o.calls, [&](long) { floor.event(line); });
  return {"event", o.calls, ns, warmup_calls(o.calls) + o.calls};
}

// The floor alone, per call on a known unnameable descriptor: one fstat.
Timing floor_unnamed(const Options& o) {
  const Floor floor(true);
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) die("pipe");
  for (long i = 0; i < warmup_calls(o.calls); ++i) floor.unnameable(p[1]);
  const uint64_t ns = timed_loop(o.calls, [&](long) { floor.unnameable(p[1]); });
  close(p[0]);
  close(p[1]);
  return {"call", o.calls, ns, 0};
}

// --- stdio ---------------------------------------------------------------------
// The wide library reports a FILE's reads and writes when they reach the descriptor:
// the _loop workloads time calls mostly served by the buffer (one event per 64 calls),
// the _event workloads calls that each reach the descriptor (one event per call).

constexpr long STDIO_LINES = 1024;  // 64 KiB of 64-byte lines

// fgets of 64-byte lines through `buffer` bytes of buffer; back to the start after the
// last line, so the end of file is never read.
Timing fgets_workload(const Options& o, std::size_t buffer) {
  TempDir dir;
  const std::string path = dir.file("lines.txt");
  {
    std::string data;
    for (long i = 0; i < STDIO_LINES; ++i) data += std::string(PAYLOAD - 1, static_cast<char>('a' + i % 26)) + "\n";
    const int w = open_or_die(path, O_WRONLY | O_CREAT | O_TRUNC);
    write_all(w, data);
    close(w);
  }
  FILE* fp = std::fopen(path.c_str(), "re");
  if (fp == nullptr) die("fopen");
  static char storage[4096];
  if (setvbuf(fp, storage, _IOFBF, buffer) != 0) die("setvbuf");
  const Floor floor(o.floor);
  const std::string line = event_line("read", "file:" + path, fileno(fp));
  const long per_event = static_cast<long>(buffer / PAYLOAD);
  char text[256];
  long events = 0;
  auto one = [&](long i) {
    if (i % per_event == 0) {
      floor.event(line);
      ++events;
    }
    if (std::fgets(text, sizeof(text), fp) == nullptr) die("fgets");
    if (i % STDIO_LINES == STDIO_LINES - 1) rewind(fp);
  };
  const long warm = STDIO_LINES;
  for (long i = 0; i < warm; ++i) one(i);
  const long count = (o.calls + STDIO_LINES - 1) / STDIO_LINES * STDIO_LINES;
  const uint64_t ns = timed_loop(count, one);
  std::fclose(fp);
  return {"call", count, ns, events};
}

Timing fgets_loop(const Options& o) { return fgets_workload(o, 4096); }
Timing fgets_event(const Options& o) { return fgets_workload(o, PAYLOAD); }

// fwrite of 64-byte records, fully buffered in 4 KiB or unbuffered; back to the start
// every 4096 records so the file stays small.
Timing fwrite_workload(const Options& o, bool buffered) {
  TempDir dir;
  const std::string path = dir.file("records.dat");
  FILE* fp = std::fopen(path.c_str(), "we");
  if (fp == nullptr) die("fopen");
  static char storage[4096];
  if (setvbuf(fp, buffered ? storage : nullptr, buffered ? _IOFBF : _IONBF, buffered ? sizeof(storage) : 0) != 0)
    die("setvbuf");
  const Floor floor(o.floor);
  const std::string line = event_line("write", "file:" + path, fileno(fp));
  const long per_event = buffered ? static_cast<long>(sizeof(storage) / PAYLOAD) : 1;
  char record[PAYLOAD];
  std::memset(record, 'f', sizeof(record));
  long events = 0;
  auto one = [&](long i) {
    if (i % per_event == per_event - 1) {
      floor.event(line);
      ++events;
    }
    if (std::fwrite(record, 1, sizeof(record), fp) != sizeof(record)) die("fwrite");
    if ((i & 4095) == 4095) rewind(fp);
  };
  for (long i = 0; i < 4096; ++i) one(i);
  const long count = (o.calls + 4095) & ~4095L;
  const uint64_t ns = timed_loop(count, one);
  std::fclose(fp);
  return {"call", count, ns, events};
}

Timing fwrite_loop(const Options& o) { return fwrite_workload(o, true); }
Timing fwrite_event(const Options& o) { return fwrite_workload(o, false); }

// --- heap allocations per call --------------------------------------------------

struct AllocCase {
  const char* name;
  long naming_allocations;  // during the first calls (naming the descriptor)
  long allocations;         // during the counted calls
  long frees;
  long calls;
};

template <typename Call>
AllocCase count_allocations(const char* name, long calls, Call&& call) {
  alloc_counting_enable(true);
  const AllocCounts before_first = alloc_counts();
  for (long i = 0; i < 16; ++i) call(i);
  const AllocCounts before = alloc_counts();
  for (long i = 0; i < calls; ++i) call(i + 16);
  const AllocCounts after = alloc_counts();
  alloc_counting_enable(false);
  return {name, static_cast<long>(before.allocations - before_first.allocations),
          static_cast<long>(after.allocations - before.allocations),
          static_cast<long>(after.frees - before.frees), calls};
}

void allocations(const Options& o) {
  TempDir dir;
  std::vector<AllocCase> cases;
  char buf[PAYLOAD];
  std::memset(buf, 'a', sizeof(buf));
  const long calls = std::max(o.calls, 1000L);
  constexpr auto N = static_cast<ssize_t>(PAYLOAD);

  cases.push_back(count_allocations("stdout_write", calls, [&](long) {
    if (write(1, buf, sizeof(buf)) != N) die("write(1)");
  }));

  {
    const std::string path = dir.file("short.dat");
    const int fd = open_or_die(path, O_WRONLY | O_CREAT | O_TRUNC);
    cases.push_back(count_allocations("file_write", calls, [&](long i) {
      if (write(fd, buf, sizeof(buf)) != N) die("write");
      if ((i & 1023) == 1023) lseek(fd, 0, SEEK_SET);
    }));
    close(fd);
  }
  // Names of exactly 256 bytes ("file:" and a 251-byte path), the longest that must not
  // allocate, and of 257 bytes, just past it.
  for (const std::size_t name_size : {std::size_t{256}, std::size_t{257}}) {
    const std::size_t want = name_size - std::string_view("file:").size();
    if (dir.path().size() + 2 > want || want - dir.path().size() - 1 > 255) continue;
    const std::string path = dir.file(std::string(want - dir.path().size() - 1, 'n'));
    const int fd = open_or_die(path, O_RDWR | O_CREAT | O_TRUNC);
    const bool limit = name_size == 256;
    cases.push_back(count_allocations(limit ? "file_write_name256" : "file_write_name257", calls, [&](long i) {
      if (write(fd, buf, sizeof(buf)) != N) die("write");
      if ((i & 1023) == 1023) lseek(fd, 0, SEEK_SET);
    }));
    if (limit) {
      lseek(fd, 0, SEEK_SET);
      cases.push_back(count_allocations("file_read_name256", calls, [&](long i) {
        if ((i & 7) == 0) lseek(fd, 0, SEEK_SET);
        if (read(fd, buf, sizeof(buf)) != N) die("read");
      }));
    }
    close(fd);
  }
  {
    int s[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s) != 0) die("socketpair");
    cases.push_back(count_allocations("send_recv", calls, [&](long) {
      if (send(s[0], buf, sizeof(buf), 0) != N) die("send");
      if (recv(s[1], buf, sizeof(buf), 0) != N) die("recv");
    }));
    const std::string msg = pg_query_message(BENCH_QUERY);
    cases.push_back(count_allocations("sql_send", calls, [&](long i) {
      if (send(s[0], msg.data(), msg.size(), 0) != static_cast<ssize_t>(msg.size())) die("send");
      if ((i & 31) == 31) raw_drain(s[1], 32 * msg.size());
    }));
    close(s[0]);
    close(s[1]);
  }
  {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) die("pipe");
    cases.push_back(count_allocations("pipe_write", calls, [&](long i) {
      if (write(p[1], buf, sizeof(buf)) != N) die("pipe write");
      if ((i & 511) == 511) raw_drain(p[0], 512 * sizeof(buf));
    }));
    close(p[0]);
    close(p[1]);
  }
  {
    const std::string path = dir.file("cycle.dat");
    cases.push_back(count_allocations("open_write_close", calls / 10, [&](long) {
      const int fd = open_or_die(path, O_WRONLY | O_CREAT);
      if (write(fd, buf, sizeof(buf)) != N) die("write");
      close(fd);
    }));
  }
  for (const AllocCase& c : cases) {
    std::fprintf(stderr, "RESULT workload=allocations case=%s calls=%ld naming_allocs=%ld allocs=%ld frees=%ld allocs_per_call=%.4f\n",
                 c.name, c.calls, c.naming_allocations, c.allocations, c.frees,
                 static_cast<double>(c.allocations) / static_cast<double>(c.calls));
  }
}

// --- memory and start-up --------------------------------------------------------

long resident_bytes() {
  // Read with the raw calls: this probe's own descriptor stays out of the table.
  const long fd = syscall(SYS_openat, AT_FDCWD, "/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) die("/proc/self/statm");
  char text[256] = {};
  const long n = syscall(SYS_read, fd, text, sizeof(text) - 1);
  syscall(SYS_close, fd);
  if (n <= 0) die("read statm");
  long size_pages = 0;
  long resident_pages = 0;
  if (std::sscanf(text, "%ld %ld", &size_pages, &resident_pages) != 2) die("parse statm");
  return resident_pages * sysconf(_SC_PAGESIZE);
}

// Opens `files` files, then writes once to each (which names each one), and reports
// the resident memory that the writes added.
void table_memory(const Options& o) {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) die("getrlimit");
  const auto need = static_cast<rlim_t>(o.files + 64);
  if (limit.rlim_cur < need) {
    limit.rlim_cur = std::min(need, limit.rlim_max);
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) die("setrlimit");
  }
  if (limit.rlim_cur < need) {
    errno = EMFILE;
    die("descriptor limit too low for --files");
  }
  TempDir dir;
  std::vector<int> fds;
  fds.reserve(static_cast<std::size_t>(o.files));
  for (long i = 0; i < o.files; ++i) {
    char name[32];
    std::snprintf(name, sizeof(name), "f%05ld.dat", i);
    fds.push_back(open_or_die(dir.file(name), O_WRONLY | O_CREAT | O_TRUNC));
  }
  const char byte = 'm';
  if (write(fds[0], &byte, 1) != 1) die("write");  // the table's first storage, any sink setup
  const long before = resident_bytes();
  for (long i = 1; i < o.files; ++i) {
    if (write(fds[static_cast<std::size_t>(i)], &byte, 1) != 1) die("write");
  }
  const long after = resident_bytes();
  for (int fd : fds) close(fd);
  std::fprintf(stderr, "RESULT workload=table_memory files=%ld rss_before=%ld rss_after=%ld bytes_per_entry=%.1f\n",
               o.files, before, after,
               static_cast<double>(after - before) / static_cast<double>(o.files - 1));
}

std::vector<std::string> environment_without_library() {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    if (entry.starts_with("LD_PRELOAD=") || entry.starts_with("VELMORA_IO_")) continue;
    env.emplace_back(entry);
  }
  return env;
}

// The peak resident memory of one run of `program`, read from /proc at its exit while
// it is held there by ptrace. (wait4's ru_maxrss cannot be used: exec carries the
// high-water mark of the spawning process's memory over to the child.)
long peak_rss_kib(const char* program, char** argv, char** envp) {
  const pid_t pid = fork();
  if (pid < 0) die("fork");
  if (pid == 0) {
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(126);
    execve(program, argv, envp);
    _exit(127);
  }
  long hwm = -1;
  int status = 0;
  bool options_set = false;
  for (int stops = 0; stops < 100; ++stops) {
    if (waitpid(pid, &status, 0) != pid) die("waitpid");
    if (WIFEXITED(status) || WIFSIGNALED(status)) break;
    int deliver = 0;
    if (!options_set) {
      // The stop after exec: from here on, stop once more at exit.
      if (ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL) != 0) die("ptrace");
      options_set = true;
    } else if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
      const std::string path = "/proc/" + std::to_string(pid) + "/status";
      if (FILE* f = std::fopen(path.c_str(), "re")) {
        char line[256];
        while (std::fgets(line, sizeof(line), f) != nullptr) {
          if (std::strncmp(line, "VmHWM:", 6) == 0) hwm = std::atol(line + 6);
        }
        std::fclose(f);
      }
    } else {
      deliver = WSTOPSIG(status);
    }
    if (ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(deliver))) != 0) die("ptrace");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || hwm < 0) {
    errno = ECHILD;
    die("peak memory of true");
  }
  return hwm;
}

// Runs `true` alternately without and with the library preloaded: medians of wall
// time (spawned to reaped), then, in separate runs, of peak resident memory.
void spawn_true(const Options& o) {
  if (o.library.empty()) usage("spawn_true needs --library");
  const char* program = access("/usr/bin/true", X_OK) == 0 ? "/usr/bin/true" : "/bin/true";
  std::vector<std::string> plain = environment_without_library();
  std::vector<std::string> preloaded = plain;
  preloaded.push_back("LD_PRELOAD=" + o.library);
  auto pointers = [](std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (std::string& s : strings) p.push_back(s.data());
    p.push_back(nullptr);
    return p;
  };
  std::vector<char*> env[2] = {pointers(plain), pointers(preloaded)};
  char* argv[] = {const_cast<char*>(program), nullptr};
  std::vector<double> micros[2];
  for (long run = 0; run < o.runs * 2; ++run) {
    const int which = static_cast<int>(run & 1);
    const uint64_t t0 = now_ns();
    pid_t pid;
    if (posix_spawn(&pid, program, nullptr, nullptr, argv, env[which].data()) != 0) die("posix_spawn");
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) die("waitpid");
    const uint64_t ns = now_ns() - t0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      errno = ECHILD;
      die("true failed");
    }
    micros[which].push_back(static_cast<double>(ns) / 1000.0);
  }
  std::vector<long> hwm_kib[2];
  const long memory_runs = std::clamp(o.runs / 10, 5L, 50L);
  for (long run = 0; run < memory_runs * 2; ++run) {
    const int which = static_cast<int>(run & 1);
    hwm_kib[which].push_back(peak_rss_kib(program, argv, env[which].data()));
  }
  auto median = [](auto v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  std::fprintf(stderr, "RESULT workload=spawn_true runs=%ld raw_us=%.1f lib_us=%.1f raw_hwm_kib=%ld lib_hwm_kib=%ld\n",
               o.runs, median(micros[0]), median(micros[1]), median(hwm_kib[0]), median(hwm_kib[1]));
}

// --- the harness's pipe reader --------------------------------------------------

// Reads standard input to its end and reports the bytes and lines seen. Reads in large
// chunks and naps briefly after a small one: the writer never blocks (the pipe is
// enlarged to 1 MiB, about 15 ms of the fastest event stream), and the reader does
// not wake for every line, which would charge each event a cross-core wake-up that
// is a property of this reader rather than of the writer.
void drain() {
  (void)fcntl(0, F_SETPIPE_SZ, 1 << 20);
  static char buf[1 << 20];
  unsigned long long bytes = 0;
  unsigned long long lines = 0;
  const uint64_t deadline = now_ns() + 3'600ull * 1'000'000'000ull;
  while (now_ns() < deadline) {
    const ssize_t n = read(0, buf, sizeof(buf));
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      die("drain");
    }
    bytes += static_cast<unsigned long long>(n);
    lines += static_cast<unsigned long long>(std::count(buf, buf + n, '\n'));
    if (n < (1 << 18)) {
      timespec nap{0, 1'000'000};
      nanosleep(&nap, nullptr);
    }
  }
  std::fprintf(stderr, "RESULT workload=drain bytes=%llu lines=%llu\n", bytes, lines);
}

// The harness's ring reader: reads the rings in DIR every 5 ms, as velmora-trace does,
// until standard input ends (the measured process has exited), then once more with no
// writer left.
void ring_drain(const char* dir) {
  velmora::trace::RingReader reader;
  reader.attach(dir);
  unsigned long long lines = 0;
  const auto count = [&](const velmora::trace::TimedEvent&) { ++lines; };
  const uint64_t deadline = now_ns() + 3'600ull * 1'000'000'000ull;
  for (pollfd in{0, POLLIN, 0}; now_ns() < deadline;) {
    reader.drain(false, count);
    if (poll(&in, 1, 5) > 0) break;  // end of input (nothing is ever written to it)
  }
  while (reader.drain(true, count) > 0) {
  }
  std::fprintf(stderr, "RESULT workload=drain lines=%llu dropped=%llu torn=%llu rings=%zu\n", lines,
               static_cast<unsigned long long>(reader.dropped()), static_cast<unsigned long long>(reader.torn()),
               reader.rings());
}

long parse_count(const char* text, const char* flag) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 1 || v > MAX_CALLS) {
    std::fprintf(stderr, "io_bench: bad value for %s: %s\n", flag, text);
    std::exit(2);
  }
  return v;
}

Options parse(int argc, char** argv) {
  if (argc < 2) usage("no workload");
  Options o;
  o.workload = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string_view a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) usage("missing value");
      return argv[++i];
    };
    if (a == "--calls") {
      o.calls = parse_count(value(), "--calls");
    } else if (a == "--threads") {
      o.threads = parse_count(value(), "--threads");
      if (o.threads > 64) usage("at most 64 threads");
    } else if (a == "--bytes") {
      o.bytes = parse_count(value(), "--bytes");
      if (o.bytes > static_cast<long>(PAYLOAD)) usage("at most 64 bytes a write");
    } else if (a == "--files") {
      o.files = parse_count(value(), "--files");
    } else if (a == "--runs") {
      o.runs = parse_count(value(), "--runs");
    } else if (a == "--floor") {
      o.floor = true;
    } else if (a == "--library") {
      o.library = value();
    } else {
      usage("unknown option");
    }
  }
  return o;
}

// Opens and probes, one event each under the wide library (none under the narrow one):
// an open of a file for reading and its close ("open_read", "close"), and a stat of a
// relative path that does not exist ("missing", the path made absolute).
Timing file_open(const Options& o) {
  TempDir dir;
  const std::string path = dir.file("open.dat");
  { const int fd = open_or_die(path, O_WRONLY | O_CREAT | O_TRUNC); close(fd); }
  const Floor floor(o.floor);
  const std::string opened = event_line("open_read", "file:" + path, 3), closed = event_line("close", "file:" + path, 3);
  auto one = [&](long) {
    floor.event(opened);
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) die("open");
    floor.event(closed);
    close(fd);
  };
  for (long i = 0; i < warmup_calls(o.calls); ++i) one(i);
  const uint64_t ns = timed_loop(o.calls, one);
  return {"cycle", o.calls, ns, 2 * (warmup_calls(o.calls) + o.calls)};
}

Timing file_probe(const Options& o) {
  TempDir dir;
  if (chdir(dir.path().c_str()) != 0) die("chdir");
  const Floor floor(o.floor);
  const std::string line = event_line("missing", "file:" + dir.file("sub/absent.h"), -1);
  struct stat st;
  auto one = [&](long) {
    floor.event(line);
    if (stat("sub/absent.h", &st) == 0 || errno != ENOENT) die("stat");
  };
  for (long i = 0; i < warmup_calls(o.calls); ++i) one(i);
  const uint64_t ns = timed_loop(o.calls, one);
  return {"call", o.calls, ns, warmup_calls(o.calls) + o.calls};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "ring_drain") == 0) {
    ring_drain(argv[2]);
    return 0;
  }
  const Options o = parse(argc, argv);
  using TimedWorkload = Timing (*)(const Options&);
  const struct {
    const char* name;
    TimedWorkload run;
  } timed[] = {
      {"stdout_write", stdout_write},   {"file_write", file_write},     {"file_read", file_read},
      {"pipe_write", pipe_write},       {"sock_pingpong", sock_pingpong}, {"sql_send", sql_send},
      {"open_write_close", open_write_close}, {"threads", threads},     {"floor_event", floor_event},
      {"floor_unnamed", floor_unnamed}, {"file_pread", file_pread},   {"file_mmap", file_mmap},
      {"sock_writev", sock_writev}, {"sock_writev_data", sock_writev_data},
      {"fgets_loop", fgets_loop},       {"fgets_event", fgets_event}, {"fwrite_loop", fwrite_loop},
      {"fwrite_event", fwrite_event},   {"file_open", file_open},     {"file_probe", file_probe},
  };
  for (const auto& w : timed) {
    if (o.workload == w.name) {
      print_timing(o, w.run(o));
      return 0;
    }
  }
  if (o.workload == "allocations") {
    allocations(o);
  } else if (o.workload == "table_memory") {
    table_memory(o);
  } else if (o.workload == "spawn_true") {
    spawn_true(o);
  } else if (o.workload == "drain") {
    drain();

  } else {
    usage("unknown workload");
  }
  return 0;
}
