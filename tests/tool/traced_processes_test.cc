// The processes a traced command makes: which library they get, children and
// descendants that outlive the program or the tracer, signals, and the warnings.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tool_runner.h"

namespace velmora::trace::testing {
namespace {

// In the build tree the tracer and the libraries sit side by side, and the
// tracer finds the wide library there without being told, the narrow one with --narrow.
TEST(TracedProcesses, LibraryFoundBesideTool) {
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

// The warning for a silent program names what the library in use cannot see.
TEST(TracedProcesses, NoEventWarningMatchesTheLibrary) {
  TempDir dir;
  for (const auto& [lib, says] : std::vector<std::pair<std::string, std::string>>{
           {VELMORA_WIDE_LIB_PATH, "system calls made without the C library"},
           {real_lib_path(), "the default one also sees open, stdio, mmap"}}) {
    const RunResult r = run_tool(dir, {"--lib", lib, "true"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(line_with(r.err, "no event arrived").find(says), std::string::npos) << r.err;
  }
}

// Whether it is the program the tool started or one a shell started for it; the
// program's process record says where it came from and how it ended.
TEST(TracedProcesses, StaticallyLinkedProgramIsNamedInAWarning) {
  TempDir dir;
  for (const bool by_shell : {false, true}) {
    const std::vector<std::string> command =
        by_shell ? std::vector<std::string>{"/bin/sh", "-c", static_exit_path() + " 7; exit $?"}
                 : std::vector<std::string>{static_exit_path(), "7"};
    const RunResult r =
        run_tool(dir, concat({"--lib", VELMORA_WIDE_LIB_PATH, "--format", "jsonl", "-o", dir / "out"}, command));
    EXPECT_EQ(r.exit_code, 7);
    EXPECT_NE(r.err.find("velmora-trace: warning: pid "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(static_exit_path() + " is statically linked"), std::string::npos) << r.err;
    // One explanation, not two.
    EXPECT_EQ(r.err.find("no event arrived"), std::string::npos) << r.err;
    // The shell's child too: the shell's wait said how it ended.
    EXPECT_EQ(count_of(read_file(dir / "out"), ",\"exit_status\":7}"), by_shell ? 2u : 1u);
    const std::string top = line_with(read_file(dir / "out"), ",\"exit_status\":7}");
    EXPECT_TRUE(top.starts_with("{\"kind\":\"process_end\",\"pid\":")) << top;
    for (const std::string field : {"\"ppid\":", "\"cwd\":\"", "\"argv\":[", "\"start\":", "\"end\":"}) {
      EXPECT_NE(top.find(field), std::string::npos) << field << " in " << top;
    }
  }
}

// A guard for any test runner: each forbidden resource once, with the program that
// touched it, a status of its own unless the command failed, and a JUnit file.
TEST(TracedProcesses, ForbidNamesEachResourceOnceWithItsProgram) {
  REQUIRE_PYTHON();
  TempDir dir;
  write_file(dir / "connects.py", "import socket\nserver = socket.socket()\nserver.bind(('127.0.0.1', 0))\n"
                                  "server.listen()\nsocket.create_connection(server.getsockname()).close()\n");
  const auto guarded = [&](std::vector<std::string> guard, std::string script) {
    return run_tool(dir, concat(concat({"--lib", VELMORA_WIDE_LIB_PATH, "-o", "/dev/null", "--report-junit",
                                        dir / "junit.xml"}, guard),
                                {"sh", "-c", python3_path() + " " + (dir / "connects.py") + "; " + script}));
  };
  RunResult r = guarded({"--forbid", "socket:*", "--forbid", "/etc/host*"}, "cat /etc/hostname >/dev/null");
  EXPECT_EQ(r.exit_code, 3) << r.err;
  EXPECT_EQ(count_of(r.err, "velmora-trace: forbidden: "), 2u) << r.err;  // bind, connect: one address
  EXPECT_NE(r.err.find("by pid "), std::string::npos);
  EXPECT_NE(r.err.find(" (/usr/bin/cat /etc/hostname), matching '/etc/host*'"), std::string::npos) << r.err;
  const std::string junit = capture(python3_path() + " -c \"import sys, xml.etree.ElementTree as x; s = x.parse(sys.argv[1])"
                                    ".getroot(); print(s.get('failures'), *sorted(c.get('name')[:12] for c in s))\" " +
                                    (dir / "junit.xml"));
  EXPECT_EQ(junit, "2 file:/etc/ho socket:127.0\n");
  r = guarded({"--forbid", "socket:*", "--allow", "socket:127.0.0.1:*"}, "exit 5");  // its own failure wins
  EXPECT_EQ(r.exit_code, 5);
  EXPECT_EQ(r.err.find("forbidden"), std::string::npos) << r.err;
}

TEST(TracedProcesses, ShellPipelineForksChildren) {
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
    if (e.kind == "read" && e.detail == "file:" + (dir / "in.txt")) readers.insert(e.pid);
    if (e.kind == "write" && e.detail == "file:" + (dir / "out.txt")) writers.insert(e.pid);
  }
  // Both are children of the shell, and not the same one.
  ASSERT_EQ(readers.size(), 1u);
  EXPECT_NE(*readers.begin(), sh_pid);
  ASSERT_EQ(writers.size(), 1u);
  EXPECT_NE(*writers.begin(), sh_pid);
  EXPECT_NE(*readers.begin(), *writers.begin());
}

TEST(TracedProcesses, PipelineNamesEachProcess) {
  REQUIRE_PYTHON();
  TempDir dir;
  write_file(dir / "a", "a\n");
  write_file(dir / "b", "b\n");
  const std::string left = python3_path() + " " + script_path("io_steps.py") + " r:" + (dir / "a") + " sleep:0.3";
  const std::string right = python3_path() + " " + script_path("io_steps.py") + " r:" + (dir / "b") + " sleep:0.3";
  const RunResult r =
      run_tool(dir, with_lib({"--match", dir.path(), "-o", dir / "text", "sh", "-c", left + " | " + right}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string text = read_file(dir / "text");
  for (const std::string name : {"a", "b"}) {
    const std::string pid = pid_of(line_with(text, "file:" + (dir / name)));
    ASSERT_FALSE(pid.empty()) << text;
    EXPECT_NE(line_with(text, " pid " + pid + " = ").find("io_steps.py r:" + (dir / name)), std::string::npos)
        << text;
  }
}

// A process on the log file that outlives the tracer: waited for within
// --wait, then left alone; its later lines find no file and are dropped.
TEST(TracedProcesses, StragglerOnTheLogFileOutlivesTheTracer) {
  REQUIRE_PYTHON();
  TempDir dir;
  write_file(dir / "late.txt", "late\n");
  ToolProcess tool(dir, with_lib(concat({"--wait", "0.3", "-o", dir / "text"},
                                        io_steps({"detach:w:" + (dir / "ready") + ",sleep:1.5,r:" +
                                                      (dir / "late.txt") + ",w:" + (dir / "marker"),
                                                  "await:" + (dir / "ready")}))));
  const RunResult r = tool.wait();
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("still run"), std::string::npos) << r.err;
  // Neither blocked nor killed by its next events.
  EXPECT_TRUE(wait_for_file(dir / "marker", std::chrono::seconds(20))) << "the straggler did not get there";
  EXPECT_EQ(read_file(dir / "text").find("file:" + (dir / "late.txt")), std::string::npos);
}

// A process that outlives the tracer's grace period keeps running: its later events
// go to a reader left behind, not into a pipe without readers (which would kill it).
TEST(TracedProcesses, DescendantOutlivingTheTracerIsNotKilledByItsPipe) {
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

TEST(TracedProcesses, DescendantEventsAfterProgramExitAreCollected) {
  TempDir dir;
  write_file(dir / "late.txt", "late\n");
  const RunResult r = run_tool(dir, with_lib({"--wait", "100", "--format", "raw", "-o", dir / "raw", "sh", "-c",
                                              "(sleep 0.3; cat " + (dir / "late.txt") + " > /dev/null) & exit 0"}));
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_GE(count_events(raw_events(dir / "raw"), "read", "file:" + (dir / "late.txt")), 1u);
}

TEST(TracedProcesses, ForwardsSigtermToProgram) {
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
