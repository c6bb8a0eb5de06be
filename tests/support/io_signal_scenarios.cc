// io_driver's signal scenarios: observed calls made inside signal handlers, and signals
// that interrupt the library's own work.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
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


constexpr Scenario SCENARIOS[] = {
    {"signal_storm", 2, scenario_signal_storm},
    {"interrupted_sink", 2, scenario_interrupted_sink},
    {"signal_malloc", 2, scenario_signal_malloc},
};

}  // namespace

constinit const std::span<const Scenario> SIGNAL_SCENARIOS = SCENARIOS;

}  // namespace velmora_test
