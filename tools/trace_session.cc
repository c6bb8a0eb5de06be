#include "trace_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "chrome_trace.h"
#include "display_text.h"
#include "event_format.h"
#include "html_report.h"
#include "event_parse.h"
#include "log_channel.h"
#include "messages.h"
#include "output_sink.h"
#include "process_launch.h"
#include "process_names.h"
#include "program_check.h"
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
// How often, without other wake-ups, the tracer looks at what the program
// runs now, and at whether processes on the log file are still alive.
constexpr int kTickMs = 100;
// Processes named one by one in a warning before the rest are counted.
constexpr std::size_t kNamedInWarning = 5;

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
      : options_(options), out_(output_fd), start_(Clock::now()) {
    if (chrome()) chrome_.begin(out_.buffer());
  }

  // Reads what the pipe has; returns false at end of file or on error.
  bool drain(int fd, int max_reads) {
    for (int i = 0; i < max_reads; ++i) {
      const ssize_t n = ::read(fd, chunk_.data(), chunk_.size());
      if (n > 0) {
        consume(std::string_view(chunk_.data(), static_cast<std::size_t>(n)), pipe_parser_, false);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      return false;
    }
    return true;
  }

  // Reads what has been appended to the log file. The file is a stream of
  // its own: a line torn at the end of one read continues in the next.
  void drain(LogChannel& log) {
    log.read_new([&](std::string_view bytes) { consume(bytes, log_parser_, true); });
  }

  void finish() {
    pipe_parser_.finish();
    log_parser_.finish();
    if (chrome()) {
      // The summary and the file lists become members of the trace object.
      std::string extra;
      const auto add = [&](const std::string& document) {
        if (!extra.empty()) extra += ',';
        extra += std::string_view(document).substr(1, document.size() - 3);
      };
      if (options_.summary) add(summary_.render_json(&processes_));
      if (options_.files) add(summary_.render_files(true));
      chrome_.end(processes_, extra, out_.buffer());
    } else {
      const bool json = options_.format == Format::jsonl;
      // Fitted to the screen only when someone looks at it there.
      const std::size_t width = ::isatty(out_.fd()) ? terminal_width(out_.fd()) : 0;
      if (options_.summary) {
        out_.buffer() += json ? summary_.render_json(&processes_) : summary_.render(width, &processes_);
      }
      if (options_.files) out_.buffer() += summary_.render_files(json);
    }
    out_.flush();
  }

  // Writes the --html report; returns an empty string or a one-line reason.
  std::string write_html() {
    if (options_.html.empty()) return {};
    const std::string page = html_.render(options_.command, processes_, summary_);
    const int fd = ::open(options_.html.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return options_.html + ": " + std::strerror(errno);
    OutputSink sink(fd);
    sink.buffer() = page;
    sink.flush();
    const int err = sink.ok() ? 0 : sink.error();
    if (::close(fd) != 0 && err == 0) return options_.html + ": " + std::strerror(errno);
    return err == 0 ? std::string() : options_.html + ": " + std::strerror(err);
  }

  void flush() { out_.flush(); }
  std::uint64_t accepted() const { return pipe_parser_.accepted() + log_parser_.accepted(); }
  std::uint64_t rejected() const { return pipe_parser_.rejected() + log_parser_.rejected(); }
  const OutputSink& output() const { return out_; }
  ProcessRegistry& processes() { return processes_; }

 private:
  static std::size_t terminal_width(int fd) {
    winsize ws{};
    if (::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 40) return ws.ws_col;
    return 80;
  }

  void consume(std::string_view bytes, LineParser& parser, bool via_log) {
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    parser.feed(bytes, [&](const Event& event, std::string_view raw) {
      // Looked up on first sight, while the process most likely still runs.
      ProcessInfo& who = processes_.see(event.pid);
      if (via_log) who.via_log = true;
      if (timeline()) processes_.see_thread(who, event.pid, event.tid);
      const bool keep = options_.filter.accepts(event);
      if (options_.summary || options_.files || !options_.html.empty()) summary_.add(event, keep);
      if (keep && !options_.html.empty()) html_.add(event, seconds);
      if (keep && options_.stream && out_.ok()) {
        if (chrome()) {
          chrome_.event(event, seconds, out_.buffer());
        } else {
          if (!who.announced) {
            who.announced = true;
            format_process(options_.format, event.pid, who, seconds, out_.buffer());
          }
          format_event(options_.format, event, raw, seconds, out_.buffer());
        }
        out_.maybe_flush();
      }
    });
  }

  bool chrome() const { return options_.format == Format::chrome; }
  // Thread names are needed only where threads get rows or tracks.
  bool timeline() const { return chrome() || !options_.html.empty(); }

  const Options& options_;
  OutputSink out_;
  ChromeTrace chrome_;
  HtmlReport html_;
  Clock::time_point start_;
  LineParser pipe_parser_;
  LineParser log_parser_;
  ProcessRegistry processes_;
  Summary summary_;
  std::vector<char> chunk_ = std::vector<char>(kReadBytes);
};

// A pid with "(PROGRAM)" when it is known, for warnings.
std::string who_text(std::int32_t pid, const ProcessRegistry& processes) {
  std::string text = "pid " + std::to_string(pid);
  if (const ProcessInfo* info = processes.find(pid); info != nullptr && !info->gone) {
    text += " (" + shorten_middle(to_display(program_label(*info)), 60) + ")";
  }
  return text;
}

// Still running (a zombie has finished reporting).
bool alive(std::int32_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FILE* f = std::fopen(path, "re");
  if (f == nullptr) return false;
  char buf[512];
  const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  buf[n] = '\0';
  // "pid (comm) S ...": the state follows the last ')'.
  const char* close = std::strrchr(buf, ')');
  return close != nullptr && close[1] == ' ' && close[2] != 'Z' && close[2] != 'X';
}

// Processes whose lines came through the log file and that still run: they
// can only be waited for by looking, since they hold nothing of the tracer's.
bool log_writers_alive(const ProcessRegistry& processes) {
  for (const auto& [pid, info] : processes.all()) {
    if (info.via_log && alive(pid)) return true;
  }
  return false;
}

// Watches what the program's own process runs: a wrapper (a shell, env,
// nice) may exec a program that the library cannot enter.
class ProgramWatch {
 public:
  explicit ProgramWatch(pid_t pid) : pid_(pid) {}

  void check_file(const std::string& given) {
    // Canonical, as /proc/PID/exe shows it, so that one program is judged once.
    char resolved[PATH_MAX];
    const std::string path = ::realpath(given.c_str(), resolved) != nullptr ? resolved : given;
    if (path.empty() || path == last_) return;
    last_ = path;
    if (std::string why = unobservable_reason(path); !why.empty()) {
      warnings_.push_back("pid " + std::to_string(pid_) + ": " + to_display(path) + " " + why +
                          ", so nothing it does itself can be seen (trace a dynamically linked build of it, "
                          "or use strace)");
    }
  }
  void check_now() {
    char target[4096];
    char link[64];
    std::snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(pid_));
    const ssize_t n = ::readlink(link, target, sizeof target);
    if (n > 0) check_file(std::string(target, static_cast<std::size_t>(n)));
  }
  bool found() const { return !warnings_.empty(); }
  const std::vector<std::string>& warnings() const { return warnings_; }

 private:
  pid_t pid_;
  std::string last_;
  std::vector<std::string> warnings_;
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
  LogChannel log;
  if (std::string why = log.open(); !why.empty()) {
    say(why);
    ::close(pipe.read_fd);
    ::close(pipe.write_fd);
    ::close(sig_fd);
    result.exit_code = 2;
    return result;
  }

  Collector collector(options, output_fd);
  const SpawnResult spawned = spawn_program(
      options.command, traced_environment(environ, lib, pipe.write_fd, log.path()), previous);
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
    const std::string found = find_program(cmd);
    const std::string why = found.empty() ? std::string() : unobservable_reason(found);
    if (err == ENOENT && !why.empty()) {
      // The file is there; what is missing is what it needs to start.
      say(cmd + ": cannot run: it " + why);
      result.exit_code = 127;
    } else if (err == ENOENT || err == ENOTDIR) {
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
  ProgramWatch watch(child);
  watch.check_file(find_program(options.command.front()));
  bool child_running = true;
  bool pipe_open = true;
  bool stragglers_on_log = false;
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

  for (;;) {
    if (child_running) {
      watch.check_now();
    } else {
      // Processes that lost the pipe hold nothing of ours; they are waited
      // for (within the grace period) by looking whether they still run.
      collector.drain(log);
      stragglers_on_log = log_writers_alive(collector.processes());
      if (!pipe_open && !stragglers_on_log) break;
    }
    int timeout_ms = kTickMs;
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
        } else if (stragglers_on_log) {
          say("processes started by the program still run " + seconds_text(options.wait_seconds) +
              " after it ended; their later events are not collected");
        }
        break;
      }
      if (left < timeout_ms) timeout_ms = static_cast<int>(left);
    }
    collector.flush();

    pollfd fds[3] = {{sig_fd, POLLIN, 0},
                     {pipe_open ? pipe.read_fd : -1, POLLIN, 0},
                     {log.wake_fd(), POLLIN, 0}};
    const int ready = ::poll(fds, 3, timeout_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      say(std::string("poll failed: ") + std::strerror(errno));
      break;
    }
    if (fds[1].revents != 0) {
      if (!collector.drain(pipe.read_fd, kReadsPerRound)) pipe_open = false;
    }
    // Without change notification the tick is the only wake-up.
    if (fds[2].revents != 0 || log.wake_fd() < 0) collector.drain(log);
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
  collector.drain(log);
  collector.finish();
  if (std::string why = collector.write_html(); !why.empty()) say("cannot write the report: " + why);
  ::close(pipe.read_fd);
  ::close(sig_fd);

  if (!collector.output().ok()) {
    say(std::string("writing output failed: ") + std::strerror(collector.output().error()));
  }
  result.exit_code = exit_code_of(status);
  result.accepted = collector.accepted();
  result.rejected = collector.rejected();

  // Warnings come last, after everything else the tracer had to say.
  for (const std::string& w : watch.warnings()) say("warning: " + w);
  if (result.accepted == 0 && !watch.found()) {
    say("warning: no event arrived from pid " + std::to_string(child) + " (" + to_display(options.command.front()) +
        ") or anything it started: it touched no file or socket through the calls the library sees "
        "(stdio, copy_file_range, sendfile and mmap are not seen; nor are statically linked programs)");
  }
  if (result.rejected != 0) {
    say("warning: " + std::to_string(result.rejected) + " malformed event line" + (result.rejected == 1 ? "" : "s") +
        " ignored (lines torn by many writers, or not from the library); the counts may be short");
  }
  std::vector<std::int32_t> switched;
  for (const auto& [pid, info] : collector.processes().all()) {
    if (info.via_log) switched.push_back(pid);
  }
  std::sort(switched.begin(), switched.end());
  for (std::size_t i = 0; i < switched.size() && i < kNamedInWarning; ++i) {
    say("warning: " + who_text(switched[i], collector.processes()) + " lost the event pipe (descriptor " +
        std::to_string(pipe.write_fd) + ") and reported through the log file: each event cost it an open " +
        "and a close, and its lines were timed when the file was read; to keep it on the pipe, leave " +
        "descriptor " + std::to_string(pipe.write_fd) + " open in it (Python: subprocess pass_fds=[" +
        std::to_string(pipe.write_fd) + "])");
  }
  if (switched.size() > kNamedInWarning) {
    say("warning: " + std::to_string(switched.size() - kNamedInWarning) +
        " more processes reported through the log file");
  }
  return result;
}

}  // namespace velmora::trace
