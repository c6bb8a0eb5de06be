// The stress driver's thread lifecycles: cancellation inside observed calls and inside
// the library's line, exit under a busy thread, a private dlopen, children made while
// threads write, and the library's descriptors under the program's closes.
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


#include "stress_scenarios.h"

namespace velmora_test {
namespace {

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

// cancel_by_number FILE: a thread whose cancellation is pending makes write, pread64 and
// close by number through syscall(), which is no cancellation point: it comes back from
// all three and ends at the first real one.
int scenario_cancel_by_number(int, char** argv) {
  static std::atomic<bool> pending{false};
  static int fd = open_for_write(argv[2]), returned = 0;
  pthread_t thread;
  pthread_create(&thread, nullptr, [](void*) -> void* {
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    while (!pending) std::this_thread::yield();
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    char c;
    returned += syscall(SYS_write, fd, "x", 1) == 1;
    returned += syscall(SYS_pread64, fd, &c, 1, 0) < 0;  // write-only: EBADF
    returned += syscall(SYS_close, fd) == 0;
    pthread_testcancel();
    return nullptr;
  }, nullptr);
  pthread_cancel(thread);
  pending = true;
  void* result = nullptr;
  pthread_join(thread, &result);
  fact("returned", returned);
  fact("cancelled", result == PTHREAD_CANCELED);
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
// memory); each writes to a named file and closes it. Counts children failed or hung.
int g_named = -1;
int clone_child(void*) { return static_cast<int>(write(g_named, "c", 1) + close(g_named) + syscall(SYS_exit_group, 0)); }

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
  fact("pid", getpid());
  return 0;
}


constexpr Scenario SCENARIOS[] = {
    {"cancel_io", 1, scenario_cancel_io},
    {"detached_exit", 1, scenario_detached_exit},
    {"dlopen_host", 2, scenario_dlopen_host},
    {"cancel_in_sink", 1, scenario_cancel_in_sink},
    {"cancel_by_number", 1, scenario_cancel_by_number},
    {"sink_reuse", 2, scenario_sink_reuse},
    {"range_close_emfile", 1, scenario_range_close_emfile},
    {"children", 3, scenario_children},
};

}  // namespace

constinit const std::span<const Scenario> STRESS_LIFECYCLE_SCENARIOS = SCENARIOS;

}  // namespace velmora_test
