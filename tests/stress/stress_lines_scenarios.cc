// The stress driver's lines under load: many threads and processes, long lines and a
// sink that fills, every line to arrive whole or be counted as lost.
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

#include "stress_scenarios.h"

namespace velmora_test {
namespace {

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


constexpr Scenario SCENARIOS[] = {
    {"threads_lines", 3, scenario_threads_lines},
    {"two_writers", 2, scenario_two_writers},
    {"queries", 3, scenario_queries},
    {"full_sink", 3, scenario_full_sink},
};

}  // namespace

constinit const std::span<const Scenario> STRESS_LINES_SCENARIOS = SCENARIOS;

}  // namespace velmora_test
