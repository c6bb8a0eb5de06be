// Running velmora-trace (and reading what it produced) from the tests.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "preload_run.h"

namespace velmora::trace::testing {

// The harness's helpers and its view of events: the tool's tests read the tool's
// output the way every other test area reads a sink.
using velmora_test::count_events;
using velmora_test::count_lines;
using velmora_test::Event;
using velmora_test::parse_events;
using velmora_test::python3_path;
using velmora_test::read_file;
using velmora_test::RunResult;  // the tool's exit status, standard output and error
using velmora_test::TempDir;
using velmora_test::write_file;

// A velmora-trace process started in its own process group, with standard
// input from /dev/null and its output captured in files of `dir`.
class ToolProcess {
 public:
  ToolProcess(const TempDir& dir, const std::vector<std::string>& args,
              const std::vector<std::string>& extra_env = {});
  ~ToolProcess();  // kills whatever of the group is left
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Waits at most `limit`; on expiry kills the group and marks timed_out.
  RunResult wait(std::chrono::seconds limit = std::chrono::seconds(120));

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  std::string out_path_;
  std::string err_path_;
};

RunResult run_tool(const TempDir& dir, const std::vector<std::string>& args,
                   const std::vector<std::string>& extra_env = {},
                   std::chrono::seconds limit = std::chrono::seconds(120));


// Polls (bounded) until `path` exists; false if it never appeared.
bool wait_for_file(const std::string& path, std::chrono::seconds limit = std::chrono::seconds(60));

// Runs a shell command line and returns its standard output.
std::string capture(const std::string& command);

// How many times `needle` occurs in `text`.
std::size_t count_of(const std::string& text, const std::string& needle);

// Lower-case hex of every byte.
std::string hex(const std::string& bytes);

// `args` after --lib and the real library.
std::vector<std::string> with_lib(std::vector<std::string> args);

// The events of a file in the raw format; *bad, if given, gets the count of other lines.
std::vector<Event> raw_events(const std::string& path, std::size_t* bad = nullptr);

// The first line of `text` containing `needle`, without its LF; empty if none.
std::string line_with(const std::string& text, const std::string& needle);

// The pid of a text event line "  <t> <pid>/<tid> ...".
std::string pid_of(const std::string& line);

// The command line of io_steps.py doing `steps`.
std::vector<std::string> io_steps(const std::vector<std::string>& steps);

// `a`, then `b`.
std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b);

// Paths of what the tests run.
std::string tool_path();
std::string real_lib_path();
std::string stub_lib_path();
std::string emitter_path();
std::string fd_helper_path();
std::string static_exit_path();
std::string script_path(const std::string& name);
// Empty when no chromium was found at configure time.
std::string chromium_path();
// Where the HTML report's test leaves its screenshot.
std::string report_screenshot_path();

}  // namespace velmora::trace::testing

// Skips a gtest test on a machine without python3.
#define REQUIRE_PYTHON()                                                                          \
  do {                                                                                            \
    if (::velmora::trace::testing::python3_path().empty()) GTEST_SKIP() << "python3 not found"; \
  } while (0)
