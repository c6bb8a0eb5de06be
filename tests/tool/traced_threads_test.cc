// Threads, sockets and volume under the real library: every event once, from the
// thread and process that made it, at the time it was made.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tool_runner.h"

namespace velmora::trace::testing {
namespace {

TEST(TracedThreads, PythonThreadsWriteFiles) {
  REQUIRE_PYTHON();
  TempDir dir;
  constexpr int kClients = 4;
  const RunResult r = run_tool(dir, with_lib({"--format", "raw", "-o", dir / "raw", python3_path(),
                                              script_path("threads_tcp.py"), dir.path(),
                                              std::to_string(kClients)}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Event> events = raw_events(dir / "raw");
  std::set<std::int64_t> writer_tids;
  std::set<std::int32_t> pids;
  for (int i = 0; i < kClients; ++i) {
    const std::string detail = "file:" + (dir / ("thread-" + std::to_string(i) + ".txt"));
    EXPECT_EQ(count_events(events, "write", detail), 1u) << detail;
    for (const Event& e : events) {
      if (e.kind == "write" && e.detail == detail) {
        writer_tids.insert(e.tid);
        pids.insert(e.pid);
      }
    }
  }
  // Each file is written by its own thread, all in the one process.
  EXPECT_EQ(writer_tids.size(), static_cast<std::size_t>(kClients));
  EXPECT_EQ(pids.size(), 1u);
  for (const std::int64_t tid : writer_tids) EXPECT_NE(tid, *pids.begin());
}

TEST(TracedThreads, PythonTcpRoundTripReportsSockets) {
  REQUIRE_PYTHON();
  TempDir dir;
  constexpr int kClients = 4;
  const RunResult r = run_tool(dir, with_lib({"--format", "raw", "-c", "-o", dir / "raw", python3_path(),
                                              script_path("threads_tcp.py"), dir.path(),
                                              std::to_string(kClients)}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string port = read_file(dir / "port");
  ASSERT_FALSE(port.empty());
  const std::string server = "socket:127.0.0.1:" + port;
  const std::string out = read_file(dir / "raw");
  std::size_t summary_lines = 0;  // the summary follows the stream in the same file
  const std::vector<Event> events = parse_events(out.substr(0, out.find("\nSummary: ") + 1), &summary_lines);
  EXPECT_EQ(count_events(events, "connect", server), static_cast<std::size_t>(kClients));
  std::size_t socket_writes = 0, socket_reads = 0;
  for (const Event& e : events) {
    if (!e.detail.starts_with("socket:127.0.0.1:")) continue;
    socket_writes += e.kind == "write" ? 1 : 0;
    socket_reads += e.kind == "read" ? 1 : 0;
  }
  // Each round trip is one send and one receive on either side.
  EXPECT_GE(socket_writes, 2u * kClients);
  EXPECT_GE(socket_reads, 2u * kClients);
  // The summary has a row for the server's address.
  EXPECT_NE(out.find("\n" + server + " "), std::string::npos) << out;
}

TEST(TracedThreads, TwoHundredThousandEventsAllCounted) {
  REQUIRE_PYTHON();
  TempDir dir;
  constexpr int kWrites = 200000;
  const std::string target = dir / "many.bin";
  const std::vector<std::string> cmd = {python3_path(), script_path("write_many.py"), target,
                                        std::to_string(kWrites)};

  std::vector<std::string> args = {"--summary-only", "--kind", "write", "--match", target, "-o", dir / "summary"};
  args.insert(args.end(), cmd.begin(), cmd.end());
  RunResult r = run_tool(dir, with_lib(args));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string summary = read_file(dir / "summary");
  EXPECT_NE(summary.find("Summary: 200000 events"), std::string::npos) << summary;
  EXPECT_EQ(read_file(target).size(), static_cast<std::size_t>(kWrites));

  args = {"--format", "raw", "-o", dir / "raw"};
  args.insert(args.end(), cmd.begin(), cmd.end());
  r = run_tool(dir, with_lib(args));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::size_t bad = 0;
  const std::vector<Event> events = raw_events(dir / "raw", &bad);
  EXPECT_EQ(bad, 0u);
  EXPECT_EQ(count_events(events, "write", "file:" + target), static_cast<std::size_t>(kWrites));
  EXPECT_EQ(r.err.find("malformed"), std::string::npos) << r.err;
}

// Threads of forked processes write at once into their rings: each event once, none lost.
TEST(TracedThreads, ForkedThreadsEachEventOnce) {
  REQUIRE_PYTHON();
  TempDir dir;
  constexpr int kProcesses = 3, kThreads = 4, kWrites = 20000;
  const RunResult r = run_tool(dir, with_lib({"--format", "raw", "-o", dir / "raw", python3_path(),
                                              script_path("write_many.py"), dir / "f", std::to_string(kWrites),
                                              std::to_string(kProcesses), std::to_string(kThreads)}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");  // no records lost, no malformed lines
  const std::vector<Event> events = raw_events(dir / "raw");
  for (int p = 0; p < kProcesses; ++p) {
    for (int t = 0; t < kThreads; ++t) {
      const std::string file = "file:" + (dir / ("f." + std::to_string(p) + "." + std::to_string(t)));
      EXPECT_EQ(count_events(events, "write", file), static_cast<std::size_t>(kWrites)) << file;
    }
  }
}

// A tool stopped while the program works still shows when each call was made, for the
// wide library's own kinds (a new directory) as for data calls.
TEST(TracedThreads, StalledToolKeepsTheCallsOwnTimes) {
  REQUIRE_PYTHON();
  TempDir dir;
  std::vector<std::string> args = {"--lib",         VELMORA_WIDE_LIB_PATH,        "--format",         "jsonl",
                                   "--kind",        "write,make_dir",             "-o",               dir / "out",
                                   python3_path(), script_path("io_steps.py"), "w:" + (dir / "w0"), "d:" + (dir / "d0")};
  for (int i = 1; i < 5; ++i) {
    const std::string n = std::to_string(i);
    args.insert(args.end(), {"sleep:0.1", "w:" + (dir / ("w" + n)), "d:" + (dir / ("d" + n))});
  }
  ToolProcess tool(dir, args);
  ASSERT_TRUE(wait_for_file(dir / "d0"));
  ::kill(tool.pid(), SIGSTOP);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ::kill(tool.pid(), SIGCONT);
  const RunResult r = tool.wait();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  for (const std::string kind : {"write", "make_dir"}) {
    std::vector<double> times;
    std::istringstream out(read_file(dir / "out"));
    for (std::string line; std::getline(out, line);) {
      if (line.find("\"kind\":\"" + kind + "\"") != std::string::npos && line.find(dir.path()) != std::string::npos)
        times.push_back(std::stod(line.substr(5)));
    }
    ASSERT_EQ(times.size(), 5u) << kind << "\n" << read_file(dir / "out");
    for (std::size_t i = 1; i < times.size(); ++i) EXPECT_GE(times[i] - times[i - 1], 0.09) << kind << " " << i;
  }
}

}  // namespace
}  // namespace velmora::trace::testing
