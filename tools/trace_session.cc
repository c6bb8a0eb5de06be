#include "trace_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "event_format.h"
#include "event_parse.h"
#include "messages.h"
#include "output_sink.h"
#include "process_launch.h"
#include "summary.h"

extern char** environ;

namespace velmora::trace {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadBytes = 1 << 18;
// Reads per wake-up before looking at signals again, so that a flood of
// events cannot delay forwarding a Ctrl-C.
constexpr int kReadsPerRound = 64;
constexpr int kFinalReads = 16;
constexpr int kForwarded[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

std::string signal_label(int sig) {
  const char* abbrev = ::sigabbrev_np(sig);
  std::string label = std::to_string(sig);
  if (abbrev != nullptr) label += std::string(" (SIG") + abbrev + ")";
  return label;
}

std::string seconds_text(double seconds) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%gs", seconds);
  return buf;
}

// Hands the pipe's read end to a detached process that reads and discards until every
// writer is gone, so that processes outliving the tracer are not killed by SIGPIPE.
void leave_discarding_reader(int read_fd) {
  const pid_t middle = ::fork();
  if (middle < 0) return;
  if (middle == 0) {
    ::setsid();
    if (::fork() != 0) ::_exit(0);  // the reader is adopted by init, not by the tracer
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);  // the tracer blocks the ones it forwards
    const int flags = ::fcntl(read_fd, F_GETFL);
    if (flags >= 0) ::fcntl(read_fd, F_SETFL, flags & ~O_NONBLOCK);
    ::close_range(0, static_cast<unsigned>(read_fd) - 1, 0);
    ::close_range(static_cast<unsigned>(read_fd) + 1, ~0U, 0);
    char buf[65536];
    for (;;) {
      const ssize_t n = ::read(read_fd, buf, sizeof buf);
      if (n == 0 || (n < 0 && errno != EINTR)) ::_exit(0);
    }
  }
  while (::waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
  }
}

class Collector {
 public:
  Collector(const Options& options, int output_fd)
      : options_(options), out_(output_fd), start_(Clock::now()) {}

  // Reads what is available; returns false at end of file or on error.
  bool drain(int fd, int max_reads) {
    for (int i = 0; i < max_reads; ++i) {
      const ssize_t n = ::read(fd, chunk_.data(), chunk_.size());
      if (n > 0) {
        consume(std::string_view(chunk_.data(), static_cast<std::size_t>(n)));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      return false;
    }
    return true;
  }

  void finish() {
    parser_.finish();
    if (options_.summary) out_.buffer() += summary_.render();
    out_.flush();
  }

  void flush() { out_.flush(); }
  const LineParser& parser() const { return parser_; }
  const OutputSink& output() const { return out_; }

 private:
  void consume(std::string_view bytes) {
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    parser_.feed(bytes, [&](const Event& event, std::string_view raw) {
      const bool keep = options_.filter.accepts(event);
      if (options_.summary) summary_.add(event, keep);
      if (keep && options_.stream && out_.ok()) {
        format_event(options_.format, event, raw, seconds, out_.buffer());
        out_.maybe_flush();
      }
    });
  }

  const Options& options_;
  OutputSink out_;
  Clock::time_point start_;
  LineParser parser_;
  Summary summary_;
  std::vector<char> chunk_ = std::vector<char>(kReadBytes);
};

int exit_code_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    say(std::string("program killed by signal ") + signal_label(sig) +
        (WCOREDUMP(status) ? ", core dumped" : ""));
    return 128 + sig;
  }
  return 1;
}

}  // namespace

SessionResult run_session(const Options& options, const std::string& lib, int output_fd) {
  SessionResult result;

  // An inherited "ignore SIGCHLD" would make the kernel reap the program
  // behind our back and lose its exit status.
  ::signal(SIGCHLD, SIG_DFL);
  // Signals are taken through a descriptor so that one poll() covers events,
  // the child's exit and forwarding. SIGPIPE is blocked rather than ignored:
  // the mask is restored in the child, while an ignored disposition would
  // leak into it through exec. The mask stays in place until the tracer
  // exits, so that a signal still pending (a SIGPIPE from a closed output,
  // say) cannot end it before it reports the program's status.
  sigset_t handled, previous;
  sigemptyset(&handled);
  for (const int sig : kForwarded) sigaddset(&handled, sig);
  sigaddset(&handled, SIGCHLD);
  sigset_t blocked = handled;
  sigaddset(&blocked, SIGPIPE);
  ::sigprocmask(SIG_BLOCK, &blocked, &previous);
  const int sig_fd = ::signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
  if (sig_fd < 0) {
    say(std::string("cannot watch signals: ") + std::strerror(errno));
    result.exit_code = 2;
    return result;
  }

  EventPipe pipe;
  if (std::string why = open_event_pipe(pipe); !why.empty()) {
    say(why);
    ::close(sig_fd);
    result.exit_code = 2;
    return result;
  }

  Collector collector(options, output_fd);
  const SpawnResult spawned =
      spawn_program(options.command, traced_environment(environ, lib, pipe.write_fd), previous);
  // Only the program and its descendants may hold the write end, or the
  // pipe would never reach end of file.
  ::close(pipe.write_fd);

  if (!spawned.error.empty()) {
    say(spawned.error);
    ::close(pipe.read_fd);
    ::close(sig_fd);
    result.exit_code = 2;
    return result;
  }
  if (spawned.exec_error != 0) {
    int status = 0;
    while (::waitpid(spawned.pid, &status, 0) < 0 && errno == EINTR) {
    }
    const int err = spawned.exec_error;
    const std::string& cmd = options.command.front();
    if (err == ENOENT || err == ENOTDIR) {
      say(cmd + ": command not found");
      result.exit_code = 127;
    } else {
      say(cmd + ": cannot run: " + std::strerror(err));
      result.exit_code = 126;
    }
    ::close(pipe.read_fd);
    ::close(sig_fd);
    return result;
  }

  const pid_t child = spawned.pid;
  bool child_running = true;
  bool pipe_open = true;
  int status = 0;
  Clock::time_point deadline{};

  const auto reap = [&]() {
    if (!child_running) return;
    pid_t r;
    do {
      r = ::waitpid(child, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == child || (r < 0 && errno == ECHILD)) {
      child_running = false;
      deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(options.wait_seconds));
    }
  };

  while (child_running || pipe_open) {
    int timeout_ms = -1;
    if (!child_running) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        // Take what is already in the pipe (a few pipe-fulls at most, so a
        // process that keeps writing cannot hold the tracer here), then stop
        // waiting for processes the program left behind.
        pipe_open = collector.drain(pipe.read_fd, kFinalReads) && pipe_open;
        if (pipe_open) {
          say("processes started by the program still hold the event pipe " +
              seconds_text(options.wait_seconds) + " after it ended; no longer waiting for them");
          // Closing the last read end would kill them with SIGPIPE at their next
          // event: leave a reader behind that discards their lines instead.
          leave_discarding_reader(pipe.read_fd);
        }
        break;
      }
      timeout_ms = static_cast<int>(left);
    }
    collector.flush();

    pollfd fds[2] = {{sig_fd, POLLIN, 0}, {pipe_open ? pipe.read_fd : -1, POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeout_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      say(std::string("poll failed: ") + std::strerror(errno));
      break;
    }
    if (fds[1].revents != 0) {
      if (!collector.drain(pipe.read_fd, kReadsPerRound)) pipe_open = false;
    }
    if (fds[0].revents != 0) {
      signalfd_siginfo info{};
      while (::read(sig_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        const int sig = static_cast<int>(info.ssi_signo);
        if (sig == SIGCHLD) continue;  // reaped below
        // A key press on the terminal reaches the whole foreground process
        // group, the program included; passing it on again would deliver it
        // twice. Signals sent to the tracer alone are passed on.
        if (info.ssi_code != SI_KERNEL && child_running) ::kill(child, sig);
        // Once the program is gone there is nobody to pass it to: the user
        // wants the tracer to stop waiting for stragglers.
        if (!child_running) deadline = Clock::now();
      }
      reap();
    }
  }

  // Stop the program on any path that left the loop early.
  if (child_running) {
    reap();
    if (child_running) {
      ::kill(child, SIGKILL);
      while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
    }
  }
  collector.finish();
  ::close(pipe.read_fd);
  ::close(sig_fd);

  if (!collector.output().ok()) {
    say(std::string("writing output failed: ") + std::strerror(collector.output().error()));
  }
  result.rejected = collector.parser().rejected();
  result.exit_code = exit_code_of(status);
  return result;
}

}  // namespace velmora::trace
