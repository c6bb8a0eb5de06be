// Real commands traced with the real preloaded library.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tool_runner.h"

namespace velmora::trace::testing {
namespace {

std::vector<std::string> with_lib(std::vector<std::string> args) {
  args.insert(args.begin(), {"--lib", real_lib_path()});
  return args;
}

std::vector<Event> raw_events(const std::string& path, std::size_t* bad = nullptr) {
  RawEvents parsed = parse_raw(read_file(path));
  if (bad != nullptr) *bad = parsed.bad_lines;
  return std::move(parsed.events);
}

std::size_t count_events(const std::vector<Event>& events, Kind kind, const std::string& detail) {
  std::size_t n = 0;
  for (const Event& e : events) n += (e.kind == kind && e.detail == detail) ? 1 : 0;
  return n;
}

#define REQUIRE_PYTHON()                                          \
  do {                                                            \
    if (python3_path().empty()) GTEST_SKIP() << "python3 not found"; \
  } while (0)

TEST(TracedCommands, CatFileWithTabAndNewlineInName) {
  TempDir dir;
  const std::string name = dir / "tab\there\nline";
  write_file(name, "contents\n");
  const std::string detail = "file:" + name;
  // cat's output goes into a pipe: with a regular file as output, cat copies
  // in the kernel (copy_file_range) instead of reading.
  const std::vector<std::string> cat = {"sh", "-c", "cat -- \"$1\" | cat > /dev/null", "sh", name};
  const auto args = [&](std::vector<std::string> options) {
    options.insert(options.end(), cat.begin(), cat.end());
    return with_lib(options);
  };

  // raw: the library's own escaping, parsed back to the exact name.
  RunResult r = run_tool(dir, args({"--format", "raw", "--match", dir.path(), "-o", dir / "raw"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::size_t bad = 0;
  const std::vector<Event> events = raw_events(dir / "raw", &bad);
  EXPECT_EQ(bad, 0u);
  EXPECT_GE(count_events(events, Kind::read, detail), 1u);
  EXPECT_NE(read_file(dir / "raw").find("\tfile:" + dir.path() + "/tab\\there\\nline\t"), std::string::npos);

  // text: escapes shown, never a raw TAB or LF inside the line.
  r = run_tool(dir, args({"--match", dir.path(), "-o", dir / "text"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string text = read_file(dir / "text");
  EXPECT_NE(text.find(" read      fd="), std::string::npos) << text;
  EXPECT_NE(text.find("file:" + dir.path() + "/tab\\there\\nline\n"), std::string::npos) << text;
  EXPECT_EQ(text.find('\t'), std::string::npos);

  // jsonl: valid JSON that decodes to the exact name.
  r = run_tool(dir, args({"--format", "jsonl", "--match", dir.path(), "-o", dir / "json"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(read_file(dir / "json").find("\"detail\":\"file:" + dir.path() + "/tab\\there\\nline\""),
            std::string::npos);
  if (!python3_path().empty()) {
    const std::string decoded =
        capture(python3_path() + " " + script_path("check_jsonl.py") + " " + (dir / "json") + " 2>&1");
    EXPECT_NE(decoded.find("read\t" + hex(detail) + "\n"), std::string::npos) << decoded;
  }
}

TEST(TracedCommands, PythonThreadsWriteFiles) {
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
    EXPECT_EQ(count_events(events, Kind::write, detail), 1u) << detail;
    for (const Event& e : events) {
      if (e.kind == Kind::write && e.detail == detail) {
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

TEST(TracedCommands, PythonTcpRoundTripReportsSockets) {
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
  const std::vector<Event> events = parse_raw(out.substr(0, out.find("\nSummary: ") + 1)).events;
  EXPECT_EQ(count_events(events, Kind::connect, server), static_cast<std::size_t>(kClients));
  std::size_t socket_writes = 0, socket_reads = 0;
  for (const Event& e : events) {
    if (!e.detail.starts_with("socket:127.0.0.1:")) continue;
    socket_writes += e.kind == Kind::write ? 1 : 0;
    socket_reads += e.kind == Kind::read ? 1 : 0;
  }
  // Each round trip is one send and one receive on either side.
  EXPECT_GE(socket_writes, 2u * kClients);
  EXPECT_GE(socket_reads, 2u * kClients);
  // The summary has a row for the server's address.
  EXPECT_NE(out.find("\n" + server + " "), std::string::npos) << out;
}

TEST(TracedCommands, ShellPipelineForksChildren) {
  TempDir dir;
  write_file(dir / "in.txt", "alpha\nbeta\ngamma\n");
  // Both ends open their files themselves: the standard streams are never
  // reported, so a shell redirection would go unseen. cp falls back to
  // read/write because its source is a pipe.
  const std::string pipeline = "echo $$ > " + (dir / "sh.pid") + "; cat " + (dir / "in.txt") +
                               " | sort -r | cp /dev/stdin " + (dir / "out.txt");
  const RunResult r = run_tool(dir, with_lib({"--format", "raw", "--only", "file", "-o", dir / "raw", "sh", "-c",
                                              pipeline}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(read_file(dir / "out.txt"), "gamma\nbeta\nalpha\n");
  const std::int32_t sh_pid = std::stoi(read_file(dir / "sh.pid"));
  std::set<std::int32_t> readers, writers;
  for (const Event& e : raw_events(dir / "raw")) {
    if (e.kind == Kind::read && e.detail == "file:" + (dir / "in.txt")) readers.insert(e.pid);
    if (e.kind == Kind::write && e.detail == "file:" + (dir / "out.txt")) writers.insert(e.pid);
  }
  // Both are children of the shell, and not the same one.
  ASSERT_EQ(readers.size(), 1u);
  EXPECT_NE(*readers.begin(), sh_pid);
  ASSERT_EQ(writers.size(), 1u);
  EXPECT_NE(*writers.begin(), sh_pid);
  EXPECT_NE(*readers.begin(), *writers.begin());
}

// In the build tree the tracer and the libraries sit side by side, and the
// tracer finds the wide library there without being told, the narrow one with --narrow.
TEST(TracedCommands, LibraryFoundBesideTool) {
  namespace fs = std::filesystem;
  const fs::path narrow = fs::canonical(real_lib_path()), wide = fs::canonical(VELMORA_WIDE_LIB_PATH);
  if (fs::canonical(tool_path()).parent_path() != narrow.parent_path()) {
    GTEST_SKIP() << "library and tracer are built into different directories";
  }
  TempDir dir;
  const std::vector<std::string> show = {"sh", "-c", "echo \"$LD_PRELOAD\" > " + (dir / "preload")};
  RunResult r = run_tool(dir, show);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(read_file(dir / "preload"), wide.string() + "\n");
  std::vector<std::string> narrow_args = {"--narrow"};
  narrow_args.insert(narrow_args.end(), show.begin(), show.end());
  r = run_tool(dir, narrow_args);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(read_file(dir / "preload"), narrow.string() + "\n");
}

TEST(TracedCommands, ProgramKilledBySignal) {
  TempDir dir;
  const RunResult r = run_tool(dir, with_lib({"sh", "-c", "cat /dev/null; kill -KILL $$"}));
  EXPECT_EQ(r.exit_code, 128 + SIGKILL);
  EXPECT_NE(r.err.find("signal 9 (SIGKILL)"), std::string::npos) << r.err;
}

TEST(TracedCommands, MissingAndNonExecutableCommands) {
  TempDir dir;
  const RunResult missing = run_tool(dir, with_lib({"velmora-no-such-command-xyz", "arg"}));
  EXPECT_EQ(missing.exit_code, 127);
  EXPECT_NE(missing.err.find("velmora-no-such-command-xyz: command not found"), std::string::npos) << missing.err;
  write_file(dir / "script.sh", "#!/bin/sh\necho hi\n");
  ::chmod((dir / "script.sh").c_str(), 0644);
  const RunResult not_exec = run_tool(dir, with_lib({dir / "script.sh"}));
  EXPECT_EQ(not_exec.exit_code, 126);
  EXPECT_NE(not_exec.err.find("Permission denied"), std::string::npos) << not_exec.err;
}

TEST(TracedCommands, TwoHundredThousandEventsAllCounted) {
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
  EXPECT_EQ(count_events(events, Kind::write, "file:" + target), static_cast<std::size_t>(kWrites));
  EXPECT_EQ(r.err.find("malformed"), std::string::npos) << r.err;
}

// No event line may ever land in a file of the program's own, even once
// the event pipe's number has been closed and reused by the program.
TEST(TracedCommands, ClosesInheritedDescriptorsBeforeAnyEvent) {
  TempDir dir;
  const RunResult r = run_tool(dir, with_lib({"--format", "raw", "-o", dir / "raw", fd_helper_path(), dir.path()}));
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST(TracedCommands, ClosesInheritedDescriptorsAfterReporting) {
  TempDir dir;
  const RunResult r = run_tool(dir, with_lib({"--format", "raw", "-o", dir / "raw", fd_helper_path(), dir.path(),
                                              "--event-first"}));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  // The work before the descriptors went away was reported.
  EXPECT_GE(count_events(raw_events(dir / "raw"), Kind::write, "file:" + (dir / "warmup")), 1u);
}

TEST(TracedCommands, ClosesInheritedDescriptorsWithCloseRange) {
  TempDir dir;
  const RunResult r = run_tool(dir, with_lib({"--format", "raw", "-o", dir / "raw", fd_helper_path(), dir.path(),
                                              "--event-first", "--close-range"}));
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST(TracedCommands, PythonClosesRangeThenOpensFiles) {
  REQUIRE_PYTHON();
  TempDir dir;
  const RunResult r = run_tool(dir, with_lib({"--format", "raw", "-o", dir / "raw", python3_path(),
                                              script_path("close_all_then_write.py"), dir.path()}));
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST(TracedCommands, DescendantOutlivingProgramBoundedByWait) {
  TempDir dir;
  const RunResult r = run_tool(
      dir, with_lib({"--wait", "1", "sh", "-c", "sleep 60 & echo $! > " + (dir / "pid") + "; cat /dev/null"}), {},
      std::chrono::seconds(50));
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find("still hold the event pipe"), std::string::npos) << r.err;
}

// A process that outlives the tracer's grace period keeps running: its later events
// go to a reader left behind, not into a pipe without readers (which would kill it).
TEST(TracedCommands, DescendantOutlivingTheTracerIsNotKilledByItsPipe) {
  TempDir dir;
  write_file(dir / "late.txt", "late\n");
  ToolProcess tool(dir, with_lib({"--wait", "0.2", "sh", "-c",
                                  "(sleep 1; cat " + (dir / "late.txt") + " > /dev/null && echo alive > " +
                                      (dir / "marker") + ") & exit 0"}));
  const RunResult r = tool.wait();
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0);
  // The tracer is gone by now; the straggler (killed when `tool` goes) must get there.
  EXPECT_TRUE(wait_for_file(dir / "marker", std::chrono::seconds(20)))
      << "the descendant did not survive its next event";
}

TEST(TracedCommands, DescendantEventsAfterProgramExitAreCollected) {
  TempDir dir;
  write_file(dir / "late.txt", "late\n");
  const RunResult r = run_tool(dir, with_lib({"--wait", "100", "--format", "raw", "-o", dir / "raw", "sh", "-c",
                                              "(sleep 0.3; cat " + (dir / "late.txt") + " > /dev/null) & exit 0"}));
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_GE(count_events(raw_events(dir / "raw"), Kind::read, "file:" + (dir / "late.txt")), 1u);
}

TEST(TracedCommands, ForwardsSigtermToProgram) {
  REQUIRE_PYTHON();
  TempDir dir;
  ToolProcess tool(dir, with_lib({python3_path(), script_path("await_signal.py"), dir / "ready"}));
  ASSERT_TRUE(wait_for_file(dir / "ready"));
  ASSERT_EQ(::kill(tool.pid(), SIGTERM), 0);
  const RunResult r = tool.wait();
  EXPECT_EQ(r.exit_code, 42) << r.err;
}

}  // namespace
}  // namespace velmora::trace::testing
