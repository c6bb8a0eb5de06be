// io_driver's sink scenarios: where the lines go (the environment's pipe, the host's
// setters, the log file) and which descriptors the library keeps out of the program's way.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "io_scenarios.h"

namespace velmora_test {
namespace {

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

// sink_fds PATH: the pipe's own descriptors are never observed, nor the host's read end;
// then the descriptors open, before and after closefrom(3).
int scenario_sink_fds(int, char** argv) {
  const int env_fd = std::atoi(std::getenv("VELMORA_IO_FD"));
  const int fd = open_for_write(argv[2]);
  write(fd, "x", 1);       // first event: settles the sink
  write(env_fd, "", 0);    // the sink itself
  // Run without the library too, for the descriptors a program has of its own.
  const auto read_end = reinterpret_cast<SetFd>(dlsym(RTLD_DEFAULT, "velmora_io_set_pipe_read_fd"));
  if (read_end != nullptr) read_end(fd);
  write(fd, "y", 1);       // now the host's "read end": no event
  if (read_end != nullptr) read_end(-1);
  write(fd, "z", 1);       // observed again
  fact("fd", fd);
  fact("fds", count_open_fds());
  closefrom(3);
  fact("fds_after_closefrom", count_open_fds());
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

// socket_sink PATH: the program is its own host with a socket pair for a sink and
// drains the read end with recv after five events; reading must not add lines.
int scenario_socket_sink(int, char** argv) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) fail("socketpair");
  const int fd = open_for_write(argv[2]);  // before the hand-over: the wide library reports opens
  host_setter("velmora_io_set_pipe_fd")(sv[0]);
  host_setter("velmora_io_set_pipe_read_fd")(sv[1]);
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


constexpr Scenario SCENARIOS[] = {
    {"sink_fds", 1, scenario_sink_fds},
    {"setter", 2, scenario_setter},
    {"log_fds", 2, scenario_log_fds},
    {"cloexec", 3, scenario_cloexec},
    {"socket_sink", 1, scenario_socket_sink},
};

}  // namespace

constinit const std::span<const Scenario> SINK_SCENARIOS = SCENARIOS;

}  // namespace velmora_test
