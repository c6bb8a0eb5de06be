// io_driver's lifecycle scenarios: threads, fork and vfork, and calls that hand out a
// descriptor number.
#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "io_scenarios.h"

namespace velmora_test {
namespace {

long long thread_id() { return syscall(SYS_gettid); }

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


constexpr Scenario SCENARIOS[] = {
    {"threads", 2, scenario_threads},
    {"fork", 1, scenario_fork},
    {"fork_storm", 2, scenario_fork_storm},
    {"vfork_dup", 1, scenario_vfork_dup},
    {"stale_numbers", 1, scenario_stale_numbers},
};

}  // namespace

constinit const std::span<const Scenario> LIFECYCLE_SCENARIOS = SCENARIOS;

}  // namespace velmora_test
