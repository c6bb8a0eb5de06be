// Stress scenario driver: a program the stress tests run with the library preloaded (or,
// for dlopen_host, not preloaded at all).
//
//   velmora_stress_driver SCENARIO [ARGS...]
//
// Each scenario makes plain C-library calls under load or in a hostile environment and
// prints what the test needs to know as key=value lines on standard output. Standard
// output is descriptor 1, which the library never observes.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "query_text.h"

#include "scenario_main.h"

namespace {

using velmora_test::fact;
using velmora_test::fail;
using velmora_test::Scenario;



long long thread_id() { return syscall(SYS_gettid); }

double now_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int open_for_write(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) fail(path.c_str());
  return fd;
}

// Writes `count` single bytes; the number of calls that returned 1.
long write_bytes(int fd, long count) {
  long ok = 0;
  for (long i = 0; i < count; ++i) ok += write(fd, "x", 1) == 1;
  return ok;
}

using SetFd = void (*)(int32_t);
SetFd host_setter(void* handle, const char* name) {
  auto fn = reinterpret_cast<SetFd>(dlsym(handle, name));
  if (fn == nullptr) {
    std::fprintf(stderr, "%s not found\n", name);
    std::exit(3);
  }
  return fn;
}

// Start line for threads, so they really run at the same time.
class StartLine {
 public:
  explicit StartLine(int parties) : waiting_(parties) {}
  void arrive_and_wait() {
    waiting_.fetch_sub(1);
    // Bounded: a party that never arrives would be a bug in this driver.
    const double give_up = now_seconds() + 30;
    while (waiting_.load() > 0 && now_seconds() < give_up) std::this_thread::yield();
  }

 private:
  std::atomic<int> waiting_;
};

// ---------------------------------------------------------------------------------
// threads_lines DIR THREADS WRITES [reopen]: each thread writes WRITES single bytes to
// its own file and closes it. With "reopen" every write has its own open and close, so
// the threads keep adding and removing names and hand descriptor numbers to each other.
int scenario_threads_lines(int argc, char** argv) {
  const std::string dir = argv[2];
  const int threads = std::atoi(argv[3]);
  const long writes = std::atol(argv[4]);
  const bool reopen = argc > 5 && std::strcmp(argv[5], "reopen") == 0;
  std::vector<long long> tids(threads), fds(threads), oks(threads);
  StartLine start(threads);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      tids[t] = thread_id();
      const int fd = open_for_write(dir + "/t" + std::to_string(t));
      fds[t] = fd;
      start.arrive_and_wait();
      if (!reopen) {
        oks[t] = write_bytes(fd, writes);
        close(fd);
        return;
      }
      close(fd);
      const std::string path = dir + "/t" + std::to_string(t);
      for (long i = 0; i < writes; ++i) {
        const int again = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        oks[t] += write(again, "x", 1) == 1;
        close(again);
      }
    });
  }
  for (auto& w : workers) w.join();
  for (int t = 0; t < threads; ++t) {
    fact("tid" + std::to_string(t), tids[t]);
    fact("fd" + std::to_string(t), fds[t]);
    fact("ok" + std::to_string(t), oks[t]);
  }
  fact("pid", getpid());
  return 0;
}

// two_writers DIR N: the process forks; parent and child each write N single bytes to
// their own file (long names make long lines) and close it, both appending lines to the
// same log file at the same time.
int scenario_two_writers(int, char** argv) {
  const std::string dir = argv[2];
  const long n = std::atol(argv[3]);
  int go[2];
  if (pipe(go) != 0) fail("pipe");
  const pid_t child = fork();
  if (child < 0) fail("fork");
  const bool in_child = child == 0;
  const std::string path = dir + "/" + (in_child ? "child-" : "parent-") + std::string(180, 'w');
  const int fd = open_for_write(path);
  char c;
  if (in_child) {
    close(go[1]);
    if (read(go[0], &c, 1) != 0) _exit(4);  // released when the parent closes its end
  } else {
    close(go[0]);
    close(go[1]);
  }
  const long ok = write_bytes(fd, n);
  close(fd);
  if (in_child) _exit(ok == n ? 0 : 5);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  fact("parent_pid", getpid());
  fact("child_pid", child);
  fact("child_ok", WIFEXITED(status) && WEXITSTATUS(status) == 0);
  fact("parent_ok", ok);
  return 0;
}

// queries SENDERS MESSAGES SIZE: each sender thread sends MESSAGES simple-query messages
// whose text is SIZE bytes over its own socket pair; one reader thread drains all the
// other ends. Long sink lines from several threads meet on one pipe.
int scenario_queries(int, char** argv) {
  const int senders = std::atoi(argv[2]);
  const int messages = std::atoi(argv[3]);
  const std::size_t size = static_cast<std::size_t>(std::atol(argv[4]));
  std::vector<int> send_fd(senders), recv_fd(senders);
  for (int s = 0; s < senders; ++s) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) fail("socketpair");
    send_fd[s] = sv[0];
    recv_fd[s] = sv[1];
  }
  const std::size_t message_size = size + 6;
  const long long expected_bytes = static_cast<long long>(message_size) * senders * messages;

  std::vector<long long> tids(senders), sent_ok(senders), reads(senders);
  long long received = 0, reader_tid = 0;
  std::thread reader([&] {
    reader_tid = thread_id();
    std::vector<char> buf(1 << 16);
    std::vector<pollfd> fds(senders);
    for (int s = 0; s < senders; ++s) fds[s] = {recv_fd[s], POLLIN, 0};
    const double give_up = now_seconds() + 120;
    while (received < expected_bytes && now_seconds() < give_up) {
      if (poll(fds.data(), fds.size(), 100) <= 0) continue;
      for (int s = 0; s < senders; ++s) {
        if (!(fds[s].revents & POLLIN)) continue;
        ++reads[s];
        const ssize_t n = read(recv_fd[s], buf.data(), buf.size());
        if (n > 0) received += n;
      }
    }
  });
  StartLine start(senders);
  std::vector<std::thread> workers;
  for (int s = 0; s < senders; ++s) {
    workers.emplace_back([&, s] {
      tids[s] = thread_id();
      std::vector<std::string> out;
      out.reserve(messages);
      for (int i = 0; i < messages; ++i) out.push_back(velmora_stress::query_message(velmora_stress::query_text(s, i, size)));
      start.arrive_and_wait();
      for (const std::string& m : out) sent_ok[s] += send(send_fd[s], m.data(), m.size(), 0) == static_cast<ssize_t>(m.size());
    });
  }
  for (auto& w : workers) w.join();
  reader.join();
  for (int s = 0; s < senders; ++s) {
    close(send_fd[s]);
    close(recv_fd[s]);
  }
  long long all_sent = 0;
  for (int s = 0; s < senders; ++s) {
    const std::string n = std::to_string(s);
    fact("tid" + n, tids[s]);
    fact("sfd" + n, send_fd[s]);
    fact("rfd" + n, recv_fd[s]);
    fact("reads" + n, reads[s]);
    all_sent += sent_ok[s];
  }
  fact("sent_ok", all_sent);
  fact("received", received);
  fact("expected_bytes", expected_bytes);
  fact("reader_tid", reader_tid);
  fact("main_tid", thread_id());
  fact("pid", getpid());
  return 0;
}

// full_sink DIR MODE WRITES: the program hands its own non-blocking, one-page pipe to
// the library and never reads it while it works: the pipe fills and lines are lost.
// MODE "small" makes only short lines; "mixed" also sends two long queries (after write
// 20 and after write WRITES/2) whose lines are longer than the pipe's atomic size.
// At the end the sink is switched off, the pipe drained into DIR/sink.
int scenario_full_sink(int, char** argv) {
  const std::string dir = argv[2];
  const bool mixed = std::strcmp(argv[3], "mixed") == 0;
  const long writes = std::atol(argv[4]);
  int p[2];
  if (pipe2(p, O_NONBLOCK | O_CLOEXEC) != 0) fail("pipe2");
  if (fcntl(p[1], F_SETPIPE_SZ, 4096) < 0) fail("F_SETPIPE_SZ");
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) fail("socketpair");
  const int data = open_for_write(dir + "/data");
  std::string big[2];
  for (int i = 0; i < 2; ++i) big[i] = velmora_stress::query_message(velmora_stress::query_text(0, i, 10000));

  host_setter(RTLD_DEFAULT, "velmora_io_set_pipe_fd")(p[1]);
  host_setter(RTLD_DEFAULT, "velmora_io_set_pipe_read_fd")(p[0]);
  long ok = 0, sent_ok = 0;
  for (long i = 0; i < writes; ++i) {
    ok += write(data, "x", 1) == 1;
    if (mixed && (i == 19 || i == writes / 2 - 1)) {
      const std::string& m = big[i == 19 ? 0 : 1];
      // The peer's buffer takes both messages; nobody needs to read them.
      sent_ok += send(sv[0], m.data(), m.size(), 0) == static_cast<ssize_t>(m.size());
    }
  }
  close(data);
  close(sv[0]);
  close(sv[1]);
  host_setter(RTLD_DEFAULT, "velmora_io_set_pipe_fd")(-1);  // no lines while draining

  std::string got;
  char buf[4096];
  for (int i = 0; i < 1000; ++i) {
    const ssize_t n = read(p[0], buf, sizeof(buf));
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  const int dump = open_for_write(dir + "/sink");
  if (write(dump, got.data(), got.size()) != static_cast<ssize_t>(got.size())) fail("dump");
  close(dump);
  fact("pipe_size", fcntl(p[0], F_GETPIPE_SZ));
  fact("data_fd", data);
  fact("sock_fd", sv[0]);
  fact("ok", ok);
  fact("sent_ok", sent_ok);
  fact("pid", getpid());
  return 0;
}

// ---------------------------------------------------------------------------------
// Cancellation of threads blocked inside interposed calls.

struct Blocked {
  int fd = -1;
  bool writing = false;
  std::atomic<long long> tid{0};
};

void* blocked_io(void* arg) {
  auto* b = static_cast<Blocked*>(arg);
  b->tid = thread_id();
  static char buf[8192];
  if (b->writing) {
    write(b->fd, buf, sizeof(buf));  // the pipe is full: blocks until cancelled
  } else {
    read(b->fd, buf, 1);  // nobody writes: blocks until cancelled
  }
  return nullptr;
}

// Waits (bounded) until thread `tid` sleeps in system call `nr` on descriptor `fd`, so
// the cancellation hits the real call and not the way into it.
bool wait_blocked_in(long long tid, long nr, int fd) {
  const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
  for (int i = 0; i < 10000; ++i) {
    if (FILE* f = std::fopen(path.c_str(), "re")) {
      long got_nr = -1;
      unsigned long arg0 = 0;
      const int n = std::fscanf(f, "%ld 0x%lx", &got_nr, &arg0);
      std::fclose(f);
      if (n == 2 && got_nr == nr && static_cast<int>(arg0) == fd) return true;
    }
    usleep(1000);
  }
  return false;
}

// Starts a thread blocked in read (or write) on fd, cancels it, and reports the outcome.
void cancel_blocked(int fd, bool writing, const char* name) {
  Blocked b;
  b.fd = fd;
  b.writing = writing;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, blocked_io, &b) != 0) fail("pthread_create");
  while (b.tid.load() == 0) std::this_thread::yield();
  const bool blocked = wait_blocked_in(b.tid.load(), writing ? SYS_write : SYS_read, fd);
  pthread_cancel(thread);
  void* result = nullptr;
  pthread_join(thread, &result);
  const std::string n = name;
  fact(n + "_blocked", blocked);
  fact(n + "_cancelled", result == PTHREAD_CANCELED);
  fact(n + "_tid", b.tid.load());
  fact(n + "_fd", fd);
}

// cancel_io DIR: one thread cancelled inside read() on an empty named pipe, one inside
// write() to a full one; then the main thread goes on using the library.
int scenario_cancel_io(int, char** argv) {
  const std::string dir = argv[2];
  const std::string rpath = dir + "/empty-fifo", wpath = dir + "/full-fifo";
  if (mkfifo(rpath.c_str(), 0600) != 0 || mkfifo(wpath.c_str(), 0600) != 0) fail("mkfifo");
  // Opened read-write so opening never blocks; a named pipe is named like a file.
  const int rfd = open(rpath.c_str(), O_RDWR);
  const int wfd = open(wpath.c_str(), O_RDWR | O_NONBLOCK);
  if (rfd < 0 || wfd < 0) fail("open fifo");
  fcntl(wfd, F_SETPIPE_SZ, 4096);
  static char chunk[4096];
  long fill_calls = 0;
  for (int i = 0; i < 64; ++i) {
    ++fill_calls;
    if (write(wfd, chunk, sizeof(chunk)) < 0) break;
  }
  fcntl(wfd, F_SETFL, fcntl(wfd, F_GETFL) & ~O_NONBLOCK);

  cancel_blocked(rfd, false, "read");
  cancel_blocked(wfd, true, "write");

  const int after = open_for_write(dir + "/after");
  const long ok = write_bytes(after, 3);
  close(after);
  close(rfd);
  close(wfd);
  fact("fill_calls", fill_calls);
  fact("after_fd", after);
  fact("after_ok", ok);
  fact("main_tid", thread_id());
  fact("pid", getpid());
  return 0;
}

// detached_exit DIR: a detached thread opens, writes and closes a file in a loop while
// main returns and the process runs its exit path under it.
// Plain storage: nothing here may be destroyed by exit() while the thread still runs.
std::atomic<long> g_detached_rounds{0};
char g_detached_path[4096];

void* detached_loop(void*) {
  for (long i = 0; i < 100000000; ++i) {
    const int fd = open(g_detached_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    write(fd, "d", 1);
    write(fd, "d", 1);
    close(fd);
    g_detached_rounds.fetch_add(1);
  }
  return nullptr;
}

int scenario_detached_exit(int, char** argv) {
  std::snprintf(g_detached_path, sizeof(g_detached_path), "%s/detached", argv[2]);
  pthread_t thread;
  if (pthread_create(&thread, nullptr, detached_loop, nullptr) != 0) fail("pthread_create");
  pthread_detach(thread);
  for (int i = 0; i < 5000 && g_detached_rounds.load() < 20; ++i) usleep(1000);
  fact("main_done", 1);
  return 0;  // exit() runs while the thread is busy inside the library
}

// ---------------------------------------------------------------------------------
// dlopen_host LIB DIR: a host that is not preloaded loads the library privately, hands
// over a named pipe with both setters and calls the library's own functions by handle.
int scenario_dlopen_host(int, char** argv) {
  const std::string dir = argv[3];
  const std::string fifo = dir + "/host-fifo";
  if (mkfifo(fifo.c_str(), 0600) != 0) fail("mkfifo");
  const int r = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const int w = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
  if (r < 0 || w < 0) fail("open fifo");

  void* handle = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "dlopen: %s\n", dlerror());
    return 3;
  }
  fact("global_setter_hidden", dlsym(RTLD_DEFAULT, "velmora_io_set_pipe_fd") == nullptr);
  host_setter(handle, "velmora_io_set_pipe_fd")(w);
  host_setter(handle, "velmora_io_set_pipe_read_fd")(r);
  using Write = ssize_t (*)(int, const void*, size_t);
  using Read = ssize_t (*)(int, void*, size_t);
  using Close = int (*)(int);
  auto lib_write = reinterpret_cast<Write>(dlsym(handle, "write"));
  auto lib_read = reinterpret_cast<Read>(dlsym(handle, "read"));
  auto lib_close = reinterpret_cast<Close>(dlsym(handle, "close"));
  if (lib_write == nullptr || lib_read == nullptr || lib_close == nullptr) fail("dlsym");
  fact("handle_write_is_own", reinterpret_cast<void*>(lib_write) != reinterpret_cast<void*>(&write));

  const int fd = open((dir + "/data").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  long ok = 0;
  for (int i = 0; i < 3; ++i) ok += lib_write(fd, "abc", 3) == 3;
  ok += write(fd, "plain", 5) == 5;  // the host's own write: the C library's, unobserved
  lseek(fd, 0, SEEK_SET);
  char buf[64];
  const ssize_t got = lib_read(fd, buf, sizeof(buf));
  const int closed = lib_close(fd);

  // Drained through the library's own read: the read end must stay unobserved, or
  // every drain would add a line to drain.
  std::string lines;
  for (int i = 0; i < 1000; ++i) {
    const ssize_t n = lib_read(r, buf, sizeof(buf));
    if (n <= 0) break;
    lines.append(buf, static_cast<std::size_t>(n));
  }
  const int out = open((dir + "/lines").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (write(out, lines.data(), lines.size()) != static_cast<ssize_t>(lines.size())) fail("write lines");
  close(out);
  fact("ok", ok);
  fact("read_back", got);
  fact("closed", closed);
  fact("data_fd", fd);
  fact("pid", getpid());
  fact("tid", thread_id());
  return 0;
}

// ---------------------------------------------------------------------------------
// reader_gone DIR MODE N: starts the program (this driver again) with an inherited
// sink pipe whose read end is already closed, as a host that died would leave it.
int scenario_reader_gone(int, char** argv) {
  int p[2];
  if (pipe(p) != 0) fail("pipe");
  close(p[0]);
  setenv("VELMORA_IO_FD", std::to_string(p[1]).c_str(), 1);
  char* args[] = {argv[0], const_cast<char*>("reader_gone_program"), argv[2], argv[3], argv[4], nullptr};
  execv("/proc/self/exe", args);
  fail("execv");
}

// reader_gone_program DIR MODE N: MODE "ignore" ignores SIGPIPE first; "default" keeps
// the default action. Then N single-byte writes to DIR/data.
int scenario_reader_gone_program(int, char** argv) {
  const std::string dir = argv[2];
  if (std::strcmp(argv[3], "ignore") == 0) signal(SIGPIPE, SIG_IGN);
  const long n = std::atol(argv[4]);
  fact("started", 1);
  const int fd = open_for_write(dir + "/data");
  const long ok = write_bytes(fd, n);
  close(fd);
  fact("ok", ok);
  return 0;
}

// exact_writes PATH N: N single-byte writes to PATH, then close.
int scenario_exact_writes(int, char** argv) {
  const int fd = open_for_write(argv[2]);
  fact("ok", write_bytes(fd, std::atol(argv[3])));
  fact("fd", fd);
  close(fd);
  return 0;
}

// errno_kept PATH N: N single-byte writes to PATH, each with errno cleared first, then
// a read at end of file (which returns 0 and sets nothing): how often a call that
// succeeded came back with errno changed, and the first value seen.
int scenario_errno_kept(int, char** argv) {
  const int fd = open(argv[2], O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) fail("open");
  const long n = std::atol(argv[3]);
  long ok = 0, changed = 0;
  int first = 0;
  for (long i = 0; i < n; ++i) {
    errno = 0;
    const bool wrote = write(fd, "x", 1) == 1;
    const int after = errno;
    ok += wrote;
    if (wrote && after != 0) {
      ++changed;
      if (first == 0) first = after;
    }
  }
  char buf[16];
  errno = 0;
  const ssize_t at_end = read(fd, buf, sizeof(buf));  // the offset is at the end
  const int eof_errno = errno;
  close(fd);
  fact("ok", ok);
  fact("changed", changed);
  fact("first_errno", first);
  fact("eof_result", at_end);
  fact("eof_errno", eof_errno);
  return 0;
}

// log_dir_removed DIR N: the log file is DIR/logs/log. N writes; the log file is kept
// under another name (DIR/kept) and its directory removed; N writes; the directory is
// made again; N writes and the close.
int scenario_log_dir_removed(int, char** argv) {
  const std::string dir = argv[2];
  const long n = std::atol(argv[3]);
  const std::string logs = dir + "/logs";
  if (mkdir(logs.c_str(), 0755) != 0) fail("mkdir");
  const int fd = open_for_write(dir + "/data");
  long ok = write_bytes(fd, n);
  if (link((logs + "/log").c_str(), (dir + "/kept").c_str()) != 0) fail("link");
  if (unlink((logs + "/log").c_str()) != 0 || rmdir(logs.c_str()) != 0) fail("remove");
  ok += write_bytes(fd, n);
  if (mkdir(logs.c_str(), 0755) != 0) fail("mkdir again");
  ok += write_bytes(fd, n);
  close(fd);
  fact("ok", ok);
  fact("fd", fd);
  return 0;
}

// log_switch DIR N: the log starts as DIR/a (from the environment). N writes; the
// program points the variable at DIR/b: N writes; removes it: N writes; points it at
// DIR/a again: N writes and the close.
int scenario_log_switch(int, char** argv) {
  const std::string dir = argv[2];
  const long n = std::atol(argv[3]);
  const int fd = open_for_write(dir + "/data");
  long ok = write_bytes(fd, n);
  setenv("VELMORA_IO_LOG", (dir + "/b").c_str(), 1);
  ok += write_bytes(fd, n);
  unsetenv("VELMORA_IO_LOG");
  ok += write_bytes(fd, n);
  setenv("VELMORA_IO_LOG", (dir + "/a").c_str(), 1);
  ok += write_bytes(fd, n);
  close(fd);
  fact("ok", ok);
  fact("fd", fd);
  return 0;
}

// many_fds DIR COUNT CYCLES: COUNT files open at once, one write each; then CYCLES times
// all closed and opened again with one write each. Round c opens file (i + c) % COUNT
// i-th, so each descriptor number holds a different file every round. The resident set
// size is taken at the start, after cycle 5 and after the last cycle.
long rss_kib() {
  long kib = -1;
  if (FILE* f = std::fopen("/proc/self/status", "re")) {
    char line[256];
    while (std::fgets(line, sizeof(line), f) != nullptr) {
      if (std::strncmp(line, "VmRSS:", 6) == 0) kib = std::atol(line + 6);
    }
    std::fclose(f);
  }
  return kib;
}

int scenario_many_fds(int, char** argv) {
  const std::string dir = argv[2];
  const int count = std::atoi(argv[3]);
  const int cycles = std::atoi(argv[4]);
  rlimit limit;
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < static_cast<rlim_t>(count) + 100) {
    fact("skip", 1);
    fact("hard_limit", static_cast<long long>(limit.rlim_max));
    return 0;
  }
  limit.rlim_cur = limit.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) fail("setrlimit");

  std::vector<std::string> paths(count);
  for (int i = 0; i < count; ++i) paths[i] = dir + "/f" + std::to_string(i);
  std::vector<int> fds(count, -1), first_fds;
  long ok = 0;
  bool fds_stable = true;
  auto open_all = [&](int round) {
    for (int i = 0; i < count; ++i) {
      fds[i] = open(paths[(i + round) % count].c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (fds[i] < 0) fail("open");
      ok += write(fds[i], "x", 1) == 1;
    }
    // Lowest numbers first: every round hands out the same numbers in the same order.
    if (first_fds.empty()) first_fds = fds;
    fds_stable = fds_stable && fds == first_fds;
  };
  auto close_all = [&] {
    for (int i = 0; i < count; ++i) close(fds[i]);
  };
  const long rss_start = rss_kib();
  open_all(0);
  for (int i = 0; i < count; ++i) fact("fd" + std::to_string(i), fds[i]);
  const long rss_open = rss_kib();
  long rss_cycle5 = -1;
  for (int c = 1; c <= cycles; ++c) {
    close_all();
    open_all(c);
    if (c == 5) rss_cycle5 = rss_kib();
  }
  const long rss_end = rss_kib();
  close_all();
  fact("ok", ok);
  fact("fds_stable", fds_stable);
  fact("rss_start_kib", rss_start);
  fact("rss_open_kib", rss_open);
  fact("rss_cycle5_kib", rss_cycle5);
  fact("rss_end_kib", rss_end);
  fact("pid", getpid());
  return 0;
}

// cancel_in_sink DIR: the program's own blocking sink pipe is full, so a thread's
// observed write blocks inside the library's line; the thread is cancelled there, and
// its cleanup handler writes to a file not named before. The main thread drains the
// sink until the thread has ended: the cleanup handler's write is reported like any.
void cleanup_write(void* fd) { write(*static_cast<int*>(fd), "c", 1); }

void* blocked_in_line(void* arg) {
  auto* fds = static_cast<int*>(arg);  // {file to write, file for the cleanup handler}
  pthread_cleanup_push(cleanup_write, &fds[1]);
  write(fds[0], "x", 1);
  pthread_cleanup_pop(0);
  return nullptr;
}

int scenario_cancel_in_sink(int, char** argv) {
  const std::string dir = argv[2];
  int own[2];
  if (pipe(own) != 0) fail("pipe");
  fcntl(own[1], F_SETPIPE_SZ, 4096);
  int fds[2] = {open_for_write(dir + "/f"), open_for_write(dir + "/cleanup")};
  host_setter(RTLD_DEFAULT, "velmora_io_set_pipe_fd")(own[1]);
  // Fill the sink to the last byte; the program's own writes to it are not observed.
  fcntl(own[1], F_SETFL, O_NONBLOCK);
  static char chunk[4096];
  while (write(own[1], chunk, sizeof(chunk)) > 0) {
  }
  while (write(own[1], chunk, 1) > 0) {
  }
  fcntl(own[1], F_SETFL, 0);
  pthread_t thread;
  pthread_create(&thread, nullptr, blocked_in_line, fds);
  timespec pause{0, 300 * 1000 * 1000};
  nanosleep(&pause, nullptr);  // long enough to be blocked writing the line
  pthread_cancel(thread);
  fcntl(own[0], F_SETFL, O_NONBLOCK);
  std::string lines;
  void* result = nullptr;
  bool joined = false;
  for (const double give_up = now_seconds() + 20; !joined && now_seconds() < give_up;) {
    char buf[4096];
    for (ssize_t n; (n = read(own[0], buf, sizeof(buf))) > 0;) lines.append(buf, static_cast<std::size_t>(n));
    joined = pthread_tryjoin_np(thread, &result) == 0;
  }
  char buf[4096];
  for (ssize_t n; (n = read(own[0], buf, sizeof(buf))) > 0;) lines.append(buf, static_cast<std::size_t>(n));
  long cleanup_lines = 0;
  const std::string wanted = "write\tfile:" + dir + "/cleanup\t";
  for (std::size_t at = 0; (at = lines.find(wanted, at)) != std::string::npos; at += wanted.size()) ++cleanup_lines;
  fact("cancelled", joined && result == PTHREAD_CANCELED);
  fact("cleanup_lines", cleanup_lines);
  return 0;
}

// ---------------------------------------------------------------------------------
// Where the library's own descriptors and locks must never meet the program's.

// THREADS threads write single bytes to files of their own in DIR until `stop`.
std::vector<std::thread> writers(const std::string& dir, int threads, std::atomic<bool>& stop, std::atomic<long>& made) {
  std::vector<std::thread> all;
  for (int t = 0, fd; t < threads && (fd = open_for_write(dir + "/w" + std::to_string(t))) >= 0; ++t) {
    all.emplace_back([fd, &stop, &made] {
      for (long i = 0; i < 10000000 && !stop; ++i, ++made) write(fd, "x", 1);
    });
  }
  return all;
}

// sink_reuse DIR HOW: the sink is at 3; four threads make events while main closes 3
// (HOW: close, or the raw system call) and opens a file of its own, which gets 3.
int scenario_sink_reuse(int, char** argv) {
  std::atomic<bool> stop{false};
  std::atomic<long> made{0};
  std::vector<std::thread> threads = writers(argv[2], 4, stop, made);
  while (made < 40) std::this_thread::yield();
  std::strcmp(argv[3], "raw") == 0 ? syscall(SYS_close, 3) : close(3);
  const int own = open((std::string(argv[2]) + "/own").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  for (const long until = made + 400; made < until;) std::this_thread::yield();
  stop = true;
  for (auto& t : threads) t.join();
  fact("own_fd", own);
  fact("own_bytes", lseek(own, 0, SEEK_END));
  return 0;
}

// range_close_emfile N: one descriptor is free under the limit; a thread opens and
// closes /dev/null N times while main calls close_range and closefrom on free numbers.
int scenario_range_close_emfile(int, char** argv) {
  const rlimit limit{64, 64};
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) fail("setrlimit");
  int last = -1;
  for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) last = fd;
  close(last);
  std::atomic<long> emfile{-1};
  std::thread opener([&] {
    for (long i = 0, fd = 0; i < std::atol(argv[2]); ++i, close(static_cast<int>(fd))) emfile += (fd = open("/dev/null", O_RDONLY)) < 0;
    ++emfile;
  });
  while (emfile < 0) close_range(2000, 2100, 0), closefrom(2000);
  opener.join();
  fact("emfile", emfile);
  return 0;
}

// children LOG N HOW: threads write lines to the log file LOG all the time while main
// makes N children. HOW fork: each child fails if it holds the log file open. HOW clone:
// the C library's clone, which runs no fork handlers (every fourth child sharing main's
// memory); each writes to a named file. Counts children failed or hung.
int g_named = -1;
int clone_child(void*) { return static_cast<int>(write(g_named, "c", 1) + syscall(SYS_exit_group, 0)); }

int scenario_children(int, char** argv) {
  std::atomic<bool> stop{false};
  std::atomic<long> made{0};
  const std::string log = argv[2];
  mkdir((log + ".d").c_str(), 0755);
  std::vector<std::thread> threads = writers(log + ".d", 3, stop, made);
  write(g_named = open_for_write(log + ".d/c"), "p", 1);
  struct stat st, lg;
  while (stat(log.c_str(), &lg) != 0) std::this_thread::yield();
  static char stack[64 * 1024];
  long bad = 0;
  for (int i = 0; i < std::atoi(argv[3]); ++i) {
    const int vm = i % 4 == 3 ? CLONE_VM | CLONE_VFORK : 0;
    const pid_t child = argv[4][0] == 'c' ? clone(clone_child, stack + sizeof(stack), vm | SIGCHLD, nullptr) : fork();
    for (int fd = 3; child == 0 && fd < 1024; ++fd) {
      if (fstat(fd, &st) == 0 && st.st_ino == lg.st_ino && st.st_dev == lg.st_dev) _exit(1);
    }
    if (child == 0) _exit(0);
    int status = 0;
    for (const double end = now_seconds() + 2; waitpid(child, &status, WNOHANG) == 0 && now_seconds() < end;) usleep(100);
    bad += kill(child, SIGKILL) == 0 || status != 0;  // a child still there is killed; it hung
    waitpid(child, &status, 0);
  }
  stop = true;
  for (auto& t : threads) t.join();
  fact("bad", bad);
  return 0;
}

constexpr Scenario SCENARIOS[] = {
    {"threads_lines", 3, scenario_threads_lines},
    {"two_writers", 2, scenario_two_writers},
    {"queries", 3, scenario_queries},
    {"full_sink", 3, scenario_full_sink},
    {"cancel_io", 1, scenario_cancel_io},
    {"detached_exit", 1, scenario_detached_exit},
    {"dlopen_host", 2, scenario_dlopen_host},
    {"reader_gone", 3, scenario_reader_gone},
    {"reader_gone_program", 3, scenario_reader_gone_program},
    {"exact_writes", 2, scenario_exact_writes},
    {"errno_kept", 2, scenario_errno_kept},
    {"log_dir_removed", 2, scenario_log_dir_removed},
    {"log_switch", 2, scenario_log_switch},
    {"many_fds", 3, scenario_many_fds},
    {"cancel_in_sink", 1, scenario_cancel_in_sink},
    {"sink_reuse", 2, scenario_sink_reuse},
    {"range_close_emfile", 1, scenario_range_close_emfile},
    {"children", 3, scenario_children},
};

}  // namespace

int main(int argc, char** argv) { return velmora_test::run_scenario(argc, argv, {SCENARIOS}); }
