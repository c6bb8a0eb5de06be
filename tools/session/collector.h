// Where the events go, whatever carried them: the rings' records as they are, the
// lines of both channels parsed; looked up (who the process is), filtered, counted
// into the model, and handed to every printer as events (each printer formats its own).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "event_filter.h"
#include "event_parse.h"
#include "log_channel.h"
#include "model.h"
#include "output_sink.h"
#include "printer.h"
#include "ring_reader.h"

namespace velmora::trace {

class Collector {
 public:
  using Clock = std::chrono::steady_clock;

  // `out`: where the printers that write a stream write; `filter`: what they are shown.
  Collector(const EventFilter& filter, std::vector<std::string> command, PrintChoice choice, int output_fd);

  // Reads what the pipe has, at most `max_reads` times; returns false at end of file or on error.
  bool drain(int fd, int max_reads);
  // Reads what has been appended to the log file. The file is a stream of
  // its own: a line torn at the end of one read continues in the next.
  void drain(LogChannel& log);
  // Takes the records the rings hold, each at the time its call was made (`final`: no
  // writer is left, see RingReader::drain); how many there were.
  std::size_t drain(RingReader& rings, bool final);
  // The program `pid` has exited (its lifetime ends here).
  // `status` as waitpid gives it.
  void saw_exit(std::int32_t pid, int status);
  // A process's end with its wait status; `now_seen`: its time is now (the tool's own
  // child), else it is told later (a child another process reaped).
  void ended(std::int32_t pid, int status, bool now_seen);
  // The program the tool started, known before any of its lines.
  void started(std::int32_t pid, const std::string& program, std::vector<std::string> argv);
  // After the last line: the printers' endings. Returns their problems, one line each.
  std::vector<std::string> finish();

  void flush() { out_.flush(); }
  std::uint64_t accepted() const { return pipe_parser_.accepted() + log_parser_.accepted() + ring_events_; }
  std::uint64_t rejected() const { return pipe_parser_.rejected() + log_parser_.rejected(); }
  const OutputSink& output() const { return out_; }
  const ProcessRegistry& processes() const { return model_.processes; }
  // The guard's patterns; what they catch, once the run is over.
  void guard(std::vector<std::string> forbid, std::vector<std::string> allow) {
    model_.forbidden.forbid = std::move(forbid);
    model_.forbidden.allow = std::move(allow);
  }
  const Forbidden& forbidden() const { return model_.forbidden; }

 private:
  double now() const;  // seconds since the start
  void consume(std::string_view bytes, LineParser& parser, bool via_log);
  // The one way an event enters the model and reaches the printers, whatever carried it.
  void take(const Event& event, double seconds, bool via_log);

  const EventFilter& filter_;
  OutputSink out_;
  Model model_;
  std::vector<std::unique_ptr<Printer>> printers_;
  bool summary_ = false;  // some printer reads the summary's counts
  bool threads_ = false;  // some printer shows threads by name
  Clock::time_point start_ = Clock::now();
  LineParser pipe_parser_;
  LineParser log_parser_;
  // Not zeroed: filling 256 KiB took a share of a short run, and read() writes what is used.
  std::unique_ptr<char[]> chunk_;
  std::uint64_t ring_events_ = 0;
};

}  // namespace velmora::trace
