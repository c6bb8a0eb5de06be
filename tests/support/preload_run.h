// Runs a real program with the built library preloaded and collects what it reported.
//
// State in the library is per process, so every scenario is its own child process.
// The harness owns the sink (a pipe it drains, or a log file) and bounds every run
// with a deadline: a hung child is killed and reported as timed out.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "temp_dir.h"

namespace velmora_test {

struct Event {
  std::string kind;
  std::string detail;  // escapes undone
  int32_t fd = 0;
  int32_t pid = 0;
  int64_t tid = 0;
};

// Splits raw sink output into events with the host tool's own parser (what the tests
// accept, users see); lines it refuses, an unterminated last line included, are
// counted in *malformed and skipped.
std::vector<Event> parse_events(std::string_view raw, std::size_t* malformed);

// The bytes the library writes for one event, made by the library's own line codec:
// for tests that check a sink byte for byte.
std::string event_line(std::string_view kind, std::string_view detail, int32_t fd, int32_t pid, int64_t tid);

// Picking events out: by any rule, by kind and detail, or those naming a file at or
// below `root` (an absolute path without the "file:" prefix).
std::vector<Event> select(const std::vector<Event>& events, const std::function<bool(const Event&)>& keep);
std::size_t count_events(const std::vector<Event>& events, std::string_view kind, std::string_view detail);
std::vector<Event> under(const std::vector<Event>& events, const std::string& root);

// The lines of a sink's text of the five kinds both libraries write.
std::string five_kinds_only(const std::string& raw);

// Lines in a text: its LF bytes.
std::size_t count_lines(std::string_view text);

enum class Sink {
  PIPE_ENV,  // a pipe handed over through VELMORA_IO_FD
  LOG_FILE,  // VELMORA_IO_LOG names log_path
  NONE,      // neither variable set
  RING,      // a directory of rings through VELMORA_IO_RING, read as the run goes, and the pipe as a host gives it
};

struct RunOptions {
  std::vector<std::string> argv;
  std::vector<std::pair<std::string, std::string>> env;  // added or overriding
  std::vector<std::string> unset_env;
  bool preload = true;
  std::string library;  // the library to preload; empty: library_path()
  Sink sink = Sink::PIPE_ENV;
  int sink_fd = 100;     // the number the child sees for the pipe's write end
  std::string log_path;  // with Sink::LOG_FILE
  std::vector<std::pair<int, std::string>> files_at;  // opened read-write at that number
  std::string stdin_data;
  std::string cwd;
  int timeout_seconds = 60;
  bool every_kind = false;  // keep the wide library's own kinds in raw and events
};

// The key=value lines of a text (a driver's reports), the last value of a key winning.
std::map<std::string, std::string> facts_of(std::string_view text);

struct RunResult {
  int exit_code = -1;   // -1 unless the child exited
  int term_signal = 0;  // non-zero when a signal ended it
  bool timed_out = false;
  std::string out;
  std::string err;
  std::string raw;  // the sink's bytes (pipe or log file)
  std::vector<Event> events;
  std::size_t malformed = 0;
  uint64_t ring_lost = 0;  // records the rings counted as dropped or torn

  bool ok() const { return !timed_out && term_signal == 0 && exit_code == 0; }
  // Lines written by stdout of the driver as key=value, for expectations.
  std::map<std::string, std::string> facts() const { return facts_of(out); }
  std::vector<Event> of_kind(std::string_view kind) const;
  std::vector<Event> with_detail(std::string_view detail) const;
};

RunResult run(const RunOptions& options);

// How a run ended, with the start of its outputs and of its sink: for failure messages.
std::string describe(const RunResult& r);

// The built libraries and the scenario driver, as the build put them. library_path()
// is the one under test: the narrow library unless the environment's
// VELMORA_TEST_LIBRARY names another (CTest runs the preloaded suites once per library).
std::string library_path();
std::string narrow_library_path();
std::string wide_library_path();
bool testing_wide_library();
std::string driver_path();
std::string socket_driver_path();

// Absolute path of an executable found on PATH, or "" when it is not installed.
std::string find_program(const std::string& name);

// The interpreter's real binary, or "" without one: a version-manager shim would be
// traced as well and only add noise (and time) to every python run.
std::string python3_path();

std::string read_file(const std::string& path);
void write_file(const std::string& path, std::string_view content);

}  // namespace velmora_test
