#include "trace_session.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

#include "collector.h"
#include "display_text.h"
#include "junit_report.h"
#include "log_channel.h"
#include "messages.h"
#include "process_launch.h"
#include "program_check.h"
#include "program_watch.h"
#include "signals.h"
#include "warnings.h"

extern char** environ;

namespace velmora::trace {
namespace {

using Clock = std::chrono::steady_clock;

// Reads per wake-up before looking at signals again, so that a flood of
// events cannot delay forwarding a Ctrl-C.
constexpr int READS_PER_ROUND = 64;
constexpr int FINAL_READS = 16;
// How often, without other wake-ups, the tracer reads the rings and the log file while
// processes may write: a ring fills in about 25 ms at full speed, so a few ms keep
// writers from waiting; the log file is read at the same tick (no watcher: closing
// an inotify descriptor alone cost 14 ms of the tool's own exit).
constexpr int TICK_MS = 5;
// After a reading that found a ring an eighth full or more, the next comes sooner: a
// program that makes events as fast as it can fills a ring between two ticks, and would
// wait for room.
constexpr std::size_t BUSY_RECORDS = velmora_io::RING_SLOT_COUNT / 8;
constexpr int BUSY_TICK_MS = 1;
// How often the tracer looks at what the program runs now.
constexpr auto WATCH_EVERY = std::chrono::milliseconds(100);

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

std::size_t terminal_width(int fd) {
  winsize ws{};
  if (::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 40) return ws.ws_col;
  return 80;
}

void wait_for(pid_t pid, int& status) {
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

int exit_code_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    say(std::string("program killed by signal ") + signal_label(sig) + (WCOREDUMP(status) ? ", core dumped" : ""));
    return 128 + sig;
  }
  return 1;
}

// The exit status for a program that could not be started, after saying why.
int exec_failure(const std::string& cmd, int err) {
  const std::string found = find_program(cmd);
  const std::string why = found.empty() ? std::string() : unobservable_reason(found);
  if (err == ENOENT && !why.empty()) {
    // The file is there; what is missing is what it needs to start.
    say(cmd + ": cannot run: it " + why);
    return 127;
  }
  if (err == ENOENT || err == ENOTDIR) {
    say(cmd + ": command not found");
    return 127;
  }
  say(cmd + ": cannot run: " + std::strerror(err));
  return 126;
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
  int status = 0;
  wait_for(middle, status);
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
    if (info.log_events != 0 && alive(pid)) return true;
  }
  return false;
}

// The same for the processes that made a ring: the mapping is all they hold.
bool ring_writers_alive(RingReader& rings) {
  for (const std::int32_t pid : rings.pids()) {
    if (alive(pid)) return true;
  }
  return false;
}

// The program's run: reading both channels while it runs, then waiting (within
// the grace period) for what it left behind, then stopping it if it still runs.
class Run {
 public:
  Run(const TraceSettings& settings, Collector& collector, SignalWatch& signals, EventPipe& pipe, LogChannel& log,
      RingReader& rings, pid_t child, std::string program)
      : settings_(settings), collector_(collector), signals_(signals), pipe_(pipe), log_(log), rings_(rings),
        child_(child), program_(std::move(program)), watch_(child) {}

  // Returns the program's wait status.
  int run();
  ProgramWatch& watch() { return watch_; }

 private:
  bool others_still_report();
  int timeout_ms();
  void give_up_waiting();
  bool wait_once(int timeout_ms);
  void on_signals();
  void reap();
  void stop_program();

  const TraceSettings& settings_;
  Collector& collector_;
  SignalWatch& signals_;
  EventPipe& pipe_;
  LogChannel& log_;
  RingReader& rings_;
  const pid_t child_;
  const std::string program_;  // where the command was found in PATH
  ProgramWatch watch_;
  bool child_running_ = true;
  bool pipe_open_ = true;
  bool stragglers_on_log_ = false;  // or on a ring
  bool rings_busy_ = false;
  Clock::time_point next_watch_{};
  int status_ = 0;
  Clock::time_point deadline_{};
};

int Run::run() {
  watch_.check_file(program_);
  for (;;) {
    if (child_running_) {
      if (const auto now = Clock::now(); now >= next_watch_) {
        watch_.check_now();
        next_watch_ = now + WATCH_EVERY;
      }
    } else if (!others_still_report()) break;
    const int timeout = timeout_ms();
    if (timeout < 0) {
      give_up_waiting();
      break;
    }
    collector_.flush();
    if (!wait_once(timeout)) break;
  }
  stop_program();
  return status_;
}

// Processes that lost the pipe hold nothing of ours; they are waited
// for (within the grace period) by looking whether they still run.
bool Run::others_still_report() {
  collector_.drain(log_);
  collector_.drain(rings_, false);
  stragglers_on_log_ = log_writers_alive(collector_.processes()) || ring_writers_alive(rings_);
  return pipe_open_ || stragglers_on_log_;
}

// How long to wait for the next wake-up; negative once the grace period is over.
int Run::timeout_ms() {
  if (child_running_) return rings_busy_ ? BUSY_TICK_MS : TICK_MS;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
  if (left <= 0) return -1;
  return left < TICK_MS ? static_cast<int>(left) : TICK_MS;
}

// Takes what is already in the pipe (a few pipe-fulls at most, so a process that
// keeps writing cannot hold the tracer here), then stops waiting for processes the
// program left behind.
void Run::give_up_waiting() {
  pipe_open_ = collector_.drain(pipe_.read.get(), FINAL_READS) && pipe_open_;
  if (pipe_open_) {
    say("processes started by the program still hold the event pipe " + seconds_text(settings_.wait_seconds) +
        " after it ended; no longer waiting for them");
    // Closing the last read end would kill them with SIGPIPE at their next
    // event: leave a reader behind that discards their lines instead.
    leave_discarding_reader(pipe_.read.get());
  } else if (stragglers_on_log_) {
    say("processes started by the program still run " + seconds_text(settings_.wait_seconds) +
        " after it ended; their later events are not collected");
  }
}

// One poll() over signals and the pipe, then the log file and the rings, which have
// nothing to wake the tracer; false when polling fails.
bool Run::wait_once(int timeout_ms) {
  pollfd fds[2] = {{signals_.fd(), POLLIN, 0}, {pipe_open_ ? pipe_.read.get() : -1, POLLIN, 0}};
  if (::poll(fds, 2, timeout_ms) < 0) {
    if (errno == EINTR) return true;
    say(std::string("poll failed: ") + std::strerror(errno));
    return false;
  }
  if (fds[1].revents != 0 && !collector_.drain(pipe_.read.get(), READS_PER_ROUND)) pipe_open_ = false;
  collector_.drain(log_);
  rings_busy_ = collector_.drain(rings_, false) >= BUSY_RECORDS;
  if (fds[0].revents != 0) on_signals();
  return true;
}

void Run::on_signals() {
  signals_.read([&](int sig, bool by_kernel) {
    if (sig == SIGCHLD) return;  // reaped below
    // A key press on the terminal reaches the whole foreground process
    // group, the program included; passing it on again would deliver it
    // twice. Signals sent to the tracer alone are passed on.
    if (!by_kernel && child_running_) ::kill(child_, sig);
    // Once the program is gone there is nobody to pass it to: the user
    // wants the tracer to stop waiting for stragglers.
    if (!child_running_) deadline_ = Clock::now();
  });
  reap();
}

void Run::reap() {
  if (!child_running_) return;
  pid_t r;
  do {
    r = ::waitpid(child_, &status_, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == child_ || (r < 0 && errno == ECHILD)) {
    child_running_ = false;
    collector_.saw_exit(child_, status_);
    deadline_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(settings_.wait_seconds));
  }
}

// Stops the program on any path that left the loop early.
void Run::stop_program() {
  reap();
  if (!child_running_) return;
  ::kill(child_, SIGKILL);
  wait_for(child_, status_);
  child_running_ = false;
}

PrintChoice print_choice(const TraceSettings& settings, int output_fd, UniqueFd html) {
  PrintChoice choice;
  choice.format = settings.format;
  choice.stream = settings.stream;
  choice.summary = settings.summary;
  choice.files = settings.files;
  choice.per_process = settings.per_process;
  choice.queries = settings.queries;
  // Fitted to the screen only when someone looks at it there.
  choice.width = ::isatty(output_fd) ? terminal_width(output_fd) : 0;
  choice.html = std::move(html);
  choice.html_path = settings.html;
  // A guard's run, or a timing, sends the output to the null device: every event then
  // costs the tracer a count, not a line.
  struct stat st;
  choice.discarded = ::fstat(output_fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3);
  return choice;
}

// The exit status of a run whose command succeeded but touched what --forbid names.
constexpr int FORBIDDEN_EXIT = 3;

// Every forbidden resource once, then the JUnit file; true when there was one.
bool report_forbidden(const Forbidden& forbidden, const TraceSettings& settings) {
  for (const auto& [resource, touch] : forbidden.touched()) {
    say("forbidden: " + std::string(kind_name(touch.kind)) + " " + to_display(resource) + " by pid " +
        std::to_string(touch.pid) + " (" + to_display(touch.program) + "), matching '" + touch.pattern + "'" +
        (touch.events > 1 ? ", " + std::to_string(touch.events) + " events" : ""));
  }
  if (!settings.junit.empty()) {
    std::string command;
    for (const std::string& word : settings.command) command += (command.empty() ? "" : " ") + word;
    const std::string xml = junit_report(forbidden, command);
    const UniqueFd fd(::open(settings.junit.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.valid() || ::write(fd.get(), xml.data(), xml.size()) != static_cast<ssize_t>(xml.size())) {
      say("cannot write the JUnit report " + settings.junit + ": " + std::strerror(errno));
    }
  }
  return !forbidden.touched().empty();
}

SessionResult refused(const std::string& why) {
  say(why);
  return SessionResult{2, 0, 0};
}

}  // namespace

SessionResult run_session(const TraceSettings& settings, const std::string& lib, LoadCheck& loadable, int output_fd,
                          UniqueFd html) {
  SignalWatch signals;
  if (std::string why = signals.start(); !why.empty()) return refused(why);
  EventPipe pipe;
  if (std::string why = open_event_pipe(pipe); !why.empty()) return refused(why);
  LogChannel log;
  if (std::string why = log.open(); !why.empty()) return refused(why);
  // Without a ring the library reports through the pipe and the log file, as it
  // does for a process that cannot make one.
  RingReader rings;
  if (settings.ring) rings.create_in(log.dir());  // on failure dir() stays empty: no ring offered
  if (const std::string& why = loadable.finish(); !why.empty()) return refused(why);

  Collector collector(settings.filter, settings.command, print_choice(settings, output_fd, std::move(html)), output_fd);
  collector.guard(settings.forbid, settings.allow);
  const int pipe_number = pipe.write.get();
  std::string program = find_program(settings.command.front());
  const SpawnResult spawned =
      spawn_program(settings.command, program, traced_environment(environ, lib, pipe_number, log.path(), rings.dir()),
                    signals.previous_mask());
  // Only the program and its descendants may hold the write end, or the
  // pipe would never reach end of file.
  pipe.write.reset();
  if (!spawned.error.empty()) return refused(spawned.error);
  if (spawned.exec_error != 0) {
    int status = 0;
    wait_for(spawned.pid, status);
    return SessionResult{exec_failure(settings.command.front(), spawned.exec_error), 0, 0};
  }

  collector.started(spawned.pid, program.empty() ? settings.command.front() : program, settings.command);
  Run run(settings, collector, signals, pipe, log, rings, spawned.pid, std::move(program));
  const int status = run.run();
  collector.drain(log);
  // Unfinished records are given up only when nobody is left to finish them.
  collector.drain(rings, !ring_writers_alive(rings));
  for (const std::string& problem : collector.finish()) say(problem);
  // A program started anywhere in the tree that the library cannot enter: named by the
  // "exec" of the process that started it, since it reports nothing itself.
  for (const auto& [pid, info] : collector.processes().all()) {
    if (info.execs > 0 && !info.gone) run.watch().check_file(info.exe, pid);
  }
  if (!collector.output().ok()) say(std::string("writing output failed: ") + std::strerror(collector.output().error()));

  SessionResult result{exit_code_of(status), collector.accepted(), collector.rejected()};
  // The command's own failure is the one its exit status tells.
  if (report_forbidden(collector.forbidden(), settings) && result.exit_code == 0) result.exit_code = FORBIDDEN_EXIT;
  // Warnings come last, after everything else the tracer had to say.
  // The narrow library is the one named so; the default one sees more calls.
  const bool wide = !lib.ends_with("/libvelmora_io.so");
  say_warnings(RunFacts{spawned.pid, settings.command.front(), result.accepted, result.rejected, pipe_number,
                        &collector.processes(), &run.watch().warnings(), wide, rings.losses()});
  return result;
}

}  // namespace velmora::trace
