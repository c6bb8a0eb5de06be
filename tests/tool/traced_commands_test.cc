// Real commands traced with the real preloaded library.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tool_runner.h"

namespace velmora::trace::testing {
namespace {

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
  EXPECT_GE(count_events(events, "read", detail), 1u);
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
  EXPECT_EQ(count_events(events, "write", "file:" + target), static_cast<std::size_t>(kWrites));
  EXPECT_EQ(r.err.find("malformed"), std::string::npos) << r.err;
}

// Threads of forked processes write at once into their rings: each event once, none lost.
TEST(TracedCommands, ForkedThreadsEachEventOnce) {
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
TEST(TracedCommands, StalledToolKeepsTheCallsOwnTimes) {
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

// No event line may ever land in a file of the program's own, even once
// the event pipe's number has been closed and reused by the program.
TEST(TracedCommands, ClosesInheritedDescriptorsBeforeAnyEvent) {
  TempDir dir;
  const RunResult r = run_tool(dir, with_lib({"--format", "raw", "-o", dir / "raw", fd_helper_path(), dir.path()}));
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

// The helper closes descriptors 3 and up one by one with close(), the event
// pipe's among them, then writes and reads files of its own.
TEST(TracedCommands, ClosesInheritedDescriptorsAfterReporting) {
  TempDir dir;
  const RunResult r = run_tool(dir, with_lib({"--format", "raw", "-o", dir / "raw", fd_helper_path(), dir.path(),
                                              "--event-first"}));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Event> events = raw_events(dir / "raw");
  // The work before the descriptors went away was reported through the pipe,
  EXPECT_GE(count_events(events, "write", "file:" + (dir / "warmup")), 1u);
  // and the work after it through the log file; a handful of events cost nothing worth a note.
  EXPECT_GE(count_events(events, "read", "file:" + (dir / "f0")), 1u);
  EXPECT_GE(count_events(events, "write", "file:" + (dir / "f0")), 1u);
  EXPECT_EQ(r.err.find("lost the event pipe"), std::string::npos) << r.err;
}

// Python's subprocess closes every inherited descriptor above 2 by default.
TEST(TracedCommands, SubprocessChildWithDefaultArgumentsIsSeen) {
  REQUIRE_PYTHON();
  TempDir dir;
  write_file(dir / "for-the-child.txt", "x\n");
  const std::string file = dir / "for-the-child.txt";
  const RunResult r =
      run_tool(dir, with_lib(concat({"-o", dir / "text"}, io_steps({"child:r:" + file + ",sleep:0.3"}))));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string text = read_file(dir / "text");
  const std::string read_line = line_with(text, " read      fd=");
  const std::string child_read = line_with(text, "file:" + file);
  ASSERT_FALSE(child_read.empty()) << text;
  const std::string pid = pid_of(child_read);
  // Who the child is, said once before its first event.
  const std::string who = line_with(text, " pid " + pid + " = ");
  EXPECT_NE(who.find("io_steps.py r:" + file + " sleep:0.3"), std::string::npos) << text;
  EXPECT_NE(pid, pid_of(read_line)) << text;  // not the parent's first read
  // Normal for subprocess, and cheap at this size: no note.
  EXPECT_EQ(r.err.find("lost the event pipe"), std::string::npos) << r.err;
}

// Thousands of events through the log file cost the child measurable time: one note says so.
TEST(TracedCommands, ChildSlowedByTheLogFileGetsOneNote) {
  REQUIRE_PYTHON();
  TempDir dir;
  const RunResult r = run_tool(dir, with_lib({"--no-ring", "--format", "raw", "-o", dir / "raw", python3_path(), "-c",
                                              "import subprocess, sys; subprocess.run(sys.argv[1:], check=True)",
                                              python3_path(), script_path("write_many.py"), dir / "many", "6000"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_GE(count_events(raw_events(dir / "raw"), "write", "file:" + (dir / "many")), 6000u);
  const std::string note = line_with(r.err, "note: ");
  EXPECT_EQ(count_lines(r.err), 1u) << r.err;
  EXPECT_NE(note.find("write_many.py"), std::string::npos) << note;
  EXPECT_NE(note.find("lost the event pipe"), std::string::npos) << note;
  EXPECT_NE(note.find("pass_fds=["), std::string::npos) << note;
}

// The warning for a silent program names what the library in use cannot see.
TEST(TracedCommands, NoEventWarningMatchesTheLibrary) {
  TempDir dir;
  for (const auto& [lib, says] : std::vector<std::pair<std::string, std::string>>{
           {VELMORA_WIDE_LIB_PATH, "system calls made without the C library"},
           {real_lib_path(), "the default one also sees open, stdio, mmap"}}) {
    const RunResult r = run_tool(dir, {"--lib", lib, "true"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(line_with(r.err, "no event arrived").find(says), std::string::npos) << r.err;
  }
}

// A process on the log file that outlives the tracer: waited for within
// --wait, then left alone; its later lines find no file and are dropped.
TEST(TracedCommands, StragglerOnTheLogFileOutlivesTheTracer) {
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

TEST(TracedCommands, StaticallyLinkedProgramIsNamedInAWarning) {
  TempDir dir;
  const RunResult r = run_tool(dir, with_lib({static_exit_path(), "7"}));
  EXPECT_EQ(r.exit_code, 7);
  EXPECT_NE(r.err.find("velmora-trace: warning: pid "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(static_exit_path() + " is statically linked"), std::string::npos) << r.err;
  // One explanation, not two.
  EXPECT_EQ(r.err.find("no event arrived"), std::string::npos) << r.err;
}

TEST(TracedCommands, PipelineNamesEachProcess) {
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

// What a build tool wants: inputs and outputs, each once, with counts; and
// the jsonl forms of that and of the summary are JSON.
TEST(TracedCommands, FilesAndJsonSummary) {
  REQUIRE_PYTHON();
  TempDir dir;
  // Longer than any terminal: a summary written to a file shows it whole.
  const std::string a = dir / (std::string(90, 'd') + "-input-a.txt");
  write_file(a, "a\n");
  write_file(dir / "b", "b\n");
  const std::vector<std::string> cmd = io_steps({"r:" + a, "r:" + a, "r:" + (dir / "b"), "w:" + (dir / "c")});

  RunResult r = run_tool(dir, with_lib(concat({"--files", "-c", "--match", dir.path(), "-o", dir / "files"}, cmd)));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string files = read_file(dir / "files");
  // read(), then the read() that finds the end: two events per whole read. Sorted by path.
  EXPECT_NE(files.find("Files read (2):\n     2  " + (dir / "b") + "\n     4  " + a + "\n"), std::string::npos)
      << files;
  EXPECT_NE(files.find("Files written (1):\n     1  " + (dir / "c") + "\n"), std::string::npos) << files;
  EXPECT_NE(files.find("\nfile:" + a + " "), std::string::npos) << files;  // the summary's row, whole
  EXPECT_EQ(files.find("fd="), std::string::npos) << files;               // no event stream

  if (python3_path().empty()) return;
  const auto json_of = [&](std::vector<std::string> options) {
    options.insert(options.end(), {"--format", "jsonl", "--match", dir.path(), "-o", dir / "json"});
    r = run_tool(dir, with_lib(concat(options, cmd)));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return capture(python3_path() + " " + script_path("check_jsonl.py") + " " + (dir / "json") + " 2>&1");
  };
  std::string decoded = json_of({"--files"});
  EXPECT_NE(decoded.find("files\tread\t" + a + "\t4\n"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("files\twritten\t" + (dir / "c") + "\t1\n"), std::string::npos) << decoded;
  decoded = json_of({"-c"});
  // Six reads, three closes, a write and its close: the summary counts what the stream shows.
  EXPECT_NE(decoded.find("summary\t11\n"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("process\t"), std::string::npos) << decoded;
}

// A shell script's redirections, touch, mv, rm and mkdir, as --files shows them whole
// and per process; and each of 200 quick programs a shell starts, named by its exec.
TEST(TracedCommands, WideLibraryFilesViewAndProgramNames) {
  TempDir dir;
  const std::string d = std::filesystem::canonical(dir.path()).string();
  RunResult r = run_tool(dir, {"--lib", VELMORA_WIDE_LIB_PATH, "--per-process", "--under", d, "-o", dir / "files",
                               "sh", "-c", "cd \"$1\" && echo hi > w.txt; sort w.txt > w3.txt; touch t; mv t t2; "
                               "rm t2; mkdir d", "sh", d});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string files = read_file(dir / "files");
  for (const std::string& s : {"Files created (3):\n     1  " + d + "/t\n     1  " + d + "/w.txt\n     1  " + d + "/w3.txt\n",
                               "Files deleted (1):\n     1  " + d + "/t2\n", "Directories made (1):\n     1  " + d + "/d\n",
                               "Renamed (1):\n     1  " + d + "/t \u2192 " + d + "/t2\n"}) {
    EXPECT_NE(files.find(s), std::string::npos) << s << "\n" << files;
  }
  const std::size_t sort = files.find(": /usr/bin/sort w.txt\n");
  ASSERT_NE(sort, std::string::npos) << files;
  const std::string rule = files.substr(sort, files.find("\nProcess", sort) - sort);
  EXPECT_NE(rule.find("Files read (1):\n       2  " + d + "/w.txt\n  Files written (1):\n       1  " + d + "/w3.txt\n"),
            std::string::npos) << rule;
  if (!python3_path().empty()) {
    r = run_tool(dir, {"--lib", VELMORA_WIDE_LIB_PATH, "--per-process", "--format", "jsonl", "--under", d, "-o",
                       dir / "json", "sh", "-c", "cd \"$1\" && touch t && mv t t2", "sh", d});
    const std::string json = capture(python3_path() + " " + script_path("check_jsonl.py") + " " + (dir / "json"));
    EXPECT_NE(json.find("files\trenamed\t" + d + "/t -> " + d + "/t2\t1\n"), std::string::npos) << json;
    EXPECT_NE(json.find(":created\t" + d + "/t\t1\n"), std::string::npos) << json;  // per process
  }

  // Each child looks along PATH before it execs: named by its exec line, not as the shell.
  r = run_tool(dir, {"--lib", VELMORA_WIDE_LIB_PATH, "--summary-only", "-o", dir / "names", "sh", "-c",
                     "PATH=/nonexistent:/usr/bin:/bin; i=0; while [ $i -lt 200 ]; do x=$(head -c0 /dev/null); "
                     "i=$((i+1)); done"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string names = read_file(dir / "names");
  EXPECT_EQ(count_of(names, "  /usr/bin/head -c0 /dev/null\n"), 200u) << names;
  EXPECT_EQ(count_of(names, "gone"), 0u);
}

TEST(TracedCommands, MatchAndExcludeRepeatWithGlobs) {
  REQUIRE_PYTHON();
  TempDir dir;
  for (const char* name : {"a.txt", "b.log", "c.txt", "d.log"}) write_file(dir / name, "x\n");
  const RunResult r = run_tool(
      dir, with_lib(concat({"--format", "raw", "--match", "*.txt", "--match", "b.lo", "--exclude", "*/c.txt",
                            "--exclude", "file:/nonexistent/*", "-o", dir / "raw"},
                           io_steps({"r:" + (dir / "a.txt"), "r:" + (dir / "b.log"), "r:" + (dir / "c.txt"),
                                     "r:" + (dir / "d.log")}))));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::set<std::string> seen;
  for (const Event& e : raw_events(dir / "raw")) seen.insert(e.detail);
  EXPECT_EQ(seen, (std::set<std::string>{"file:" + (dir / "a.txt"), "file:" + (dir / "b.log")}));
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
  EXPECT_GE(count_events(raw_events(dir / "raw"), "read", "file:" + (dir / "late.txt")), 1u);
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

// The pictures of one small threaded program: the Chrome trace event format,
// and the HTML report rendered by a real headless browser.
TEST(TracedCommands, ChromeTraceOfThreadedProgram) {
  REQUIRE_PYTHON();
  TempDir dir;
  const RunResult r = run_tool(dir, with_lib({"--format", "chrome", "-c", "-o", dir / "trace.json", python3_path(),
                                              script_path("threads_tcp.py"), dir.path(), "4"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string checked =
      capture(python3_path() + " " + script_path("check_chrome.py") + " " + (dir / "trace.json") + " 2>&1");
  // One instant event per line received: as many as the summary counted.
  const std::string instant = line_with(checked, "instant\t");
  ASSERT_FALSE(instant.empty()) << checked;
  EXPECT_GT(std::stoul(instant.substr(8)), 0u);
  EXPECT_EQ(line_with(checked, "summary\t").substr(8), instant.substr(8)) << checked;
  EXPECT_EQ(checked.find("unnamed"), std::string::npos) << checked;
  // The main thread and four client threads at least.
  std::size_t threads = 0;
  for (std::size_t at = checked.find("\nthread\t"); at != std::string::npos; at = checked.find("\nthread\t", at + 1)) {
    ++threads;
  }
  EXPECT_GE(threads, 5u) << checked;
  // Events named by what they touched; each process's life a bar.
  EXPECT_NE(checked.find("\nname\twrite thread-0.txt\n"), std::string::npos) << checked;
  EXPECT_NE(checked.find("\nname\tconnect 127.0.0.1:"), std::string::npos) << checked;
  EXPECT_NE(checked.find("\nlife\t"), std::string::npos) << checked;
}

TEST(TracedCommands, HtmlReportOfThreadedProgramInABrowser) {
  REQUIRE_PYTHON();
  if (chromium_path().empty()) GTEST_SKIP() << "chromium not found";
  TempDir dir;
  const RunResult r = run_tool(dir, with_lib({"--format", "raw", "-o", dir / "raw", "--html", dir / "report.html",
                                              python3_path(), script_path("threads_tcp.py"), dir.path(), "4"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::set<std::string> resources;
  std::set<std::int64_t> tids;
  std::set<std::int32_t> pids;
  for (const Event& e : raw_events(dir / "raw")) {
    if (e.kind != "sql_write") resources.insert(e.detail);
    tids.insert(e.tid);
    pids.insert(e.pid);
  }
  ASSERT_FALSE(resources.empty());

  // Run as root in a container: no sandbox, nothing from the network, a profile of its own.
  const std::string browser = "timeout 120 " + chromium_path() +
                              " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
                              " --disable-background-networking --disable-component-update --disable-sync"
                              " --user-data-dir=" + (dir / "profile") + " --window-size=1280,900 ";
  const std::string url = "file://" + (dir / "report.html");
  const std::string dom = capture(browser + "--dump-dom " + url + " 2>/dev/null");
  // The page counts script errors and console errors on its body.
  EXPECT_NE(dom.find("data-errors=\"0\""), std::string::npos) << dom.substr(0, 2000);
  for (const std::string& name : resources) EXPECT_NE(dom.find(">" + name + "<"), std::string::npos) << name;
  for (const std::int64_t tid : tids) EXPECT_NE(dom.find("tid " + std::to_string(tid) + " "), std::string::npos) << tid;
  // A time axis with labelled ticks from 0 ms, and one row per process, labelled by its program.
  EXPECT_NE(dom.find(">0 ms</span>"), std::string::npos) << dom.substr(0, 4000);
  EXPECT_GE(count_of(dom, "class=\"tick\""), 3u) << dom.substr(0, 4000);
  EXPECT_EQ(count_of(dom, "class=\"proc\""), pids.size()) << dom.substr(0, 4000);
  for (const std::int32_t pid : pids) {
    EXPECT_NE(dom.find(">pid " + std::to_string(pid) + "  python3"), std::string::npos) << pid;
  }

  const std::string shot = report_screenshot_path();
  std::remove(shot.c_str());
  capture(browser + "--screenshot=" + shot + " " + url + " 2>/dev/null");
  EXPECT_TRUE(read_file(shot).starts_with("\x89PNG")) << shot;
}

}  // namespace
}  // namespace velmora::trace::testing
