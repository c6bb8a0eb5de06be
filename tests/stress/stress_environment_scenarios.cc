// The stress driver's hostile environments: a host that died, errno kept, a log file
// moved or switched, and many descriptors at once.
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


constexpr Scenario SCENARIOS[] = {
    {"reader_gone", 3, scenario_reader_gone},
    {"reader_gone_program", 3, scenario_reader_gone_program},
    {"exact_writes", 2, scenario_exact_writes},
    {"errno_kept", 2, scenario_errno_kept},
    {"log_dir_removed", 2, scenario_log_dir_removed},
    {"log_switch", 2, scenario_log_switch},
    {"many_fds", 3, scenario_many_fds},
};

}  // namespace

constinit const std::span<const Scenario> STRESS_ENVIRONMENT_SCENARIOS = SCENARIOS;

}  // namespace velmora_test
