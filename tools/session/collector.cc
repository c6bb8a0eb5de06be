#include "collector.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace velmora::trace {
namespace {

constexpr std::size_t READ_BYTES = 1 << 18;

}  // namespace

Collector::Collector(const EventFilter& filter, std::vector<std::string> command, PrintChoice choice,
                     int output_fd)
    : filter_(filter), out_(output_fd), chunk_(new char[READ_BYTES]) {
  model_.command = std::move(command);
  if (choice.per_process) model_.summary.keep_per_process();
  printers_ = make_printers(std::move(choice), out_);
  for (const auto& printer : printers_) {
    summary_ = summary_ || printer->needs_summary();
    threads_ = threads_ || printer->needs_threads();
  }
}

bool Collector::drain(int fd, int max_reads) {
  for (int i = 0; i < max_reads; ++i) {
    const ssize_t n = ::read(fd, chunk_.get(), READ_BYTES);
    if (n > 0) {
      consume(std::string_view(chunk_.get(), static_cast<std::size_t>(n)), pipe_parser_, false);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    return false;
  }
  return true;
}

void Collector::drain(LogChannel& log) {
  log.read_new([&](std::string_view bytes) { consume(bytes, log_parser_, true); });
}

void Collector::consume(std::string_view bytes, LineParser& parser, bool via_log) {
  // A line carries no time of its own: it is timed when it was read.
  const double seconds = now();
  parser.feed(bytes, [&](const Event& event) { take(event, seconds, via_log); });
}

std::size_t Collector::drain(RingReader& rings, bool final) {
  if (rings.dir().empty()) return 0;
  const auto start_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(start_.time_since_epoch()).count();
  const std::size_t records = rings.drain(final, [&](const TimedEvent& timed) {
    // The clock is the one steady_clock reads, so the call's own time is on the session's scale.
    const double seconds = static_cast<double>(static_cast<std::int64_t>(timed.time_ns) - start_ns) / 1e9;
    take(timed.event, seconds, false);
  }, [&](const RingOrigin& origin) { model_.processes.origin(origin.pid, origin.ppid, origin.cwd); });
  ring_events_ += records;
  for (const RingExit& exit : rings.take_exits()) ended(exit.pid, exit.status, false);
  return records;
}

void Collector::take(const Event& event, double seconds, bool via_log) {
  // Looked up on first sight, while the process most likely still runs.
  ProcessInfo& who = model_.processes.see(event.pid, seconds);
  model_.processes.follow_exec(who, event);
  if (via_log) ++who.log_events;
  if (threads_) model_.processes.see_thread(who, event.pid, thread_of(event));
  model_.forbidden.see(event, who);
  const bool keep = filter_.accepts(event, who);
  if (summary_) model_.summary.add(event, keep, seconds);
  if (!keep) return;
  for (const auto& printer : printers_) printer->event(event, seconds, who);
}

double Collector::now() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

void Collector::saw_exit(std::int32_t pid, int status) { ended(pid, status, true); }

void Collector::ended(std::int32_t pid, int status, bool now_seen) {
  ProcessInfo* info = model_.processes.find(pid);
  if (info == nullptr) return;
  if (now_seen) info->exit_seconds = now();
  info->exited = true;
  if (WIFEXITED(status)) info->exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) info->exit_signal = WTERMSIG(status);
}

void Collector::started(std::int32_t pid, const std::string& program, std::vector<std::string> argv) {
  std::error_code error;
  std::string cwd = std::filesystem::current_path(error).string();
  model_.processes.started(pid, ::getpid(), program, std::move(argv), std::move(cwd), now());
}

std::vector<std::string> Collector::finish() {
  pipe_parser_.finish();
  log_parser_.finish();
  model_.summary.settle();
  std::vector<std::string> problems;
  for (const auto& printer : printers_) {
    if (std::string problem = printer->finish(model_); !problem.empty()) problems.push_back(std::move(problem));
  }
  out_.flush();
  return problems;
}

}  // namespace velmora::trace
