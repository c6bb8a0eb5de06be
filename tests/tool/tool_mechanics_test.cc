// The tracer's own mechanics, independent of what the real library reports:
// a stand-in preload library that does nothing, and a helper program that
// writes event lines into the pipe itself.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tool_runner.h"

namespace velmora::trace::testing {
namespace {

using namespace std::string_literals;

std::vector<std::string> with_stub(std::vector<std::string> args) {
  args.insert(args.begin(), {"--lib", stub_lib_path()});
  return args;
}

const std::string kSample =
    "read\tfile:/etc/hosts\t3\t100\t101\n"
    "connect\tsocket:127.0.0.1:5432\t5\t100\t102\n"
    "sql_write\tSELECT 1\t5\t100\t102\n"
    "write\tfile:/tmp/odd\\tname\\n\xff\x1b[2J\t4\t101\t101\n"
    "this line is garbage\n"
    "close\tfile:/etc/hosts\t3\t100\t101\n"
    "read\tfile:/x\t03\t100\t101\n";

TEST(ToolMechanics, HelpAndBadOptions) {
  TempDir dir;
  const RunResult help = run_tool(dir, {"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("Usage: velmora-trace"), std::string::npos);

  for (const auto& bad : std::vector<std::vector<std::string>>{
           {"--nope", "true"}, {"--format", "xml", "true"}, {}, {"--wait", "x", "true"}, {"--pid", "0", "true"}}) {
    const RunResult r = run_tool(dir, bad);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(count_lines(r.err), 1u) << r.err;
    EXPECT_TRUE(r.err.starts_with("velmora-trace: ")) << r.err;
  }
}

TEST(ToolMechanics, LibraryNotFoundOrNotLoadable) {
  TempDir dir;
  write_file(dir / "not-elf.so", "hello");
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--lib", dir / "missing.so", "true"}, {"--lib", dir / "not-elf.so", "true"},
           {"--lib", "/bin/true", "true"}}) {
    const RunResult r = run_tool(dir, args);
    EXPECT_EQ(r.exit_code, 2) << args[1];
    EXPECT_EQ(count_lines(r.err), 1u) << r.err;
  }
  // Taken from the environment when --lib is not given.
  const RunResult from_env = run_tool(dir, {"true"}, {"VELMORA_IO_LIB=" + (dir / "missing.so")});
  EXPECT_EQ(from_env.exit_code, 2);
  EXPECT_NE(from_env.err.find("VELMORA_IO_LIB"), std::string::npos) << from_env.err;
  const RunResult ok = run_tool(dir, {"true"}, {"VELMORA_IO_LIB=" + stub_lib_path()});
  EXPECT_EQ(ok.exit_code, 0) << ok.err;
  // A library that loaded once is not tried again, but only while it is the same file:
  // rewritten in place (same path and inode), it is tried and refused.
  std::filesystem::copy_file(stub_lib_path(), dir / "changing.so");
  EXPECT_EQ(run_tool(dir, {"--lib", dir / "changing.so", "true"}).exit_code, 0);
  std::filesystem::copy_file("/bin/true", dir / "changing.so", std::filesystem::copy_options::overwrite_existing);
  EXPECT_EQ(run_tool(dir, {"--lib", dir / "changing.so", "true"}).exit_code, 2);
}

TEST(ToolMechanics, ExitStatusAndSignals) {
  TempDir dir;
  EXPECT_EQ(run_tool(dir, with_stub({"sh", "-c", "exit 7"})).exit_code, 7);
  EXPECT_EQ(run_tool(dir, with_stub({"true"})).exit_code, 0);
  for (const int sig : {SIGTERM, SIGKILL}) {
    const RunResult killed = run_tool(dir, with_stub({"sh", "-c", "kill -" + std::to_string(sig) + " $$"}));
    EXPECT_EQ(killed.exit_code, 128 + sig);
    const std::string said = "signal " + std::to_string(sig) + (sig == SIGTERM ? " (SIGTERM)" : " (SIGKILL)");
    EXPECT_NE(killed.err.find(said), std::string::npos) << killed.err;
  }
}

TEST(ToolMechanics, CommandNotFoundOrNotExecutable) {
  TempDir dir;
  const RunResult missing = run_tool(dir, with_stub({"velmora-no-such-command-xyz", "arg"}));
  EXPECT_EQ(missing.exit_code, 127);
  EXPECT_NE(missing.err.find("velmora-no-such-command-xyz: command not found"), std::string::npos) << missing.err;
  const RunResult missing_path = run_tool(dir, with_stub({dir / "nothing-here"}));
  EXPECT_EQ(missing_path.exit_code, 127);

  write_file(dir / "plain.txt", "not a program\n");
  ::chmod((dir / "plain.txt").c_str(), 0644);
  const RunResult not_exec = run_tool(dir, with_stub({dir / "plain.txt"}));
  EXPECT_EQ(not_exec.exit_code, 126);
  EXPECT_NE(not_exec.err.find("cannot run"), std::string::npos) << not_exec.err;
  EXPECT_NE(not_exec.err.find("Permission denied"), std::string::npos) << not_exec.err;
  EXPECT_EQ(run_tool(dir, with_stub({dir.path()})).exit_code, 126);
}

TEST(ToolMechanics, EnvironmentAndPipeHandedToProgram) {
  TempDir dir;
  const std::string script =
      "printf '%s\\n' \"$LD_PRELOAD\" \"$VELMORA_IO_FD\" \"${VELMORA_IO_LOG-unset}\" > " + (dir / "env") +
      "; for f in /proc/$$/fd/*; do echo \"${f##*/} $(readlink $f)\"; done > " + (dir / "fds");
  const RunResult r = run_tool(dir, with_stub({"sh", "-c", script}),
                               {"LD_PRELOAD=" + stub_lib_path(), "VELMORA_IO_LOG=" + (dir / "log")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string env = read_file(dir / "env");
  // Ours first, the entry that was there kept after it.
  EXPECT_TRUE(env.starts_with(stub_lib_path() + ":" + stub_lib_path() + "\n")) << env;
  const std::size_t nl = env.find('\n');
  const int sink = std::stoi(env.substr(nl + 1));
  EXPECT_GE(sink, 10);
  // The user's log file is replaced by the tracer's own, which is gone afterwards.
  const std::string log = env.substr(env.find('\n', nl + 1) + 1, env.rfind('\n') - env.find('\n', nl + 1) - 1);
  EXPECT_NE(log, dir / "log");
  EXPECT_TRUE(log.starts_with("/")) << env;
  EXPECT_NE(::access(std::filesystem::path(log).parent_path().c_str(), F_OK), 0) << log;

  // The write end sits at the advertised number; the read end stays with the
  // tracer (only one descriptor in the program refers to that pipe).
  const std::string fds = read_file(dir / "fds");
  const std::string prefix = "\n" + std::to_string(sink) + " pipe:[";
  const std::size_t at = ("\n" + fds).find(prefix);
  ASSERT_NE(at, std::string::npos) << fds;
  const std::size_t start = at + prefix.size() - 1;
  const std::string inode = fds.substr(start, fds.find(']', start) - start);
  EXPECT_EQ(count_of(fds, "pipe:[" + inode + "]"), 1u) << fds;
}

TEST(ToolMechanics, FormatsAndMalformedLines) {
  TempDir dir;
  write_file(dir / "sample", kSample);
  const std::vector<std::string> cmd = {emitter_path(), "copy", dir / "sample"};

  const auto run_fmt = [&](const std::string& fmt) {
    std::vector<std::string> args = {"--format", fmt, "-o", dir / ("out." + fmt)};
    args.insert(args.end(), cmd.begin(), cmd.end());
    const RunResult r = run_tool(dir, with_stub(args));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("2 malformed event lines ignored"), std::string::npos) << r.err;
    return read_file(dir / ("out." + fmt));
  };

  const std::string raw = run_fmt("raw");
  EXPECT_EQ(raw,
            "read\tfile:/etc/hosts\t3\t100\t101\n"
            "connect\tsocket:127.0.0.1:5432\t5\t100\t102\n"
            "sql_write\tSELECT 1\t5\t100\t102\n"
            "write\tfile:/tmp/odd\\tname\\n\xff\x1b[2J\t4\t101\t101\n"
            "close\tfile:/etc/hosts\t3\t100\t101\n");

  // Five events, and before the first of pids 100 and 101 a line saying who each is.
  const std::string text = run_fmt("text");
  EXPECT_EQ(count_lines(text), 7u) << text;
  EXPECT_EQ(count_of(text, " pid 10"), 2u) << text;
  EXPECT_NE(text.find("101/101 write     fd=4    file:/tmp/odd\\tname\\n\\xff\\x1b[2J\n"), std::string::npos)
      << text;
  EXPECT_EQ(text.find('\x1b'), std::string::npos);

  // In JSON each process also ends with a record of its end: these two and the emitter.
  const std::string json = run_fmt("jsonl");
  EXPECT_EQ(count_lines(json), 10u);
  EXPECT_NE(json.find("\"detail\":\"file:/tmp/odd\\tname\\n\\ufffd\\u001b[2J\""), std::string::npos) << json;
  if (!python3_path().empty()) {
    const std::string decoded = capture(python3_path() + " " + script_path("check_jsonl.py") + " " +
                                        (dir / "out.jsonl") + " 2>&1");
    EXPECT_NE(decoded.find("write\t" + hex("file:/tmp/odd\tname\n\xff\x1b[2J"s) + "\n"), std::string::npos)
        << decoded;
    EXPECT_EQ(count_lines(decoded), 10u) << decoded;
    EXPECT_EQ(count_of(decoded, "process\t10"), 2u) << decoded;
    EXPECT_EQ(count_of(decoded, "process_end\t"), 3u) << decoded;
  }
}

TEST(ToolMechanics, FiltersApplyToStreamAndSummary) {
  TempDir dir;
  write_file(dir / "sample", kSample);
  const RunResult r = run_tool(dir, with_stub({"--only", "socket,sql", "-c", "-o", dir / "out", "--format",
                                               "raw", emitter_path(), "copy", dir / "sample"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string out = read_file(dir / "out");
  EXPECT_NE(out.find("connect\tsocket:127.0.0.1:5432"), std::string::npos);
  EXPECT_NE(out.find("sql_write\tSELECT 1"), std::string::npos);
  EXPECT_EQ(out.find("file:"), std::string::npos) << out;
  EXPECT_NE(out.find("Summary: 2 events"), std::string::npos) << out;

  const RunResult m = run_tool(dir, with_stub({"--match", "hosts", "--kind", "close", "-o", dir / "out2",
                                               "--summary-only", emitter_path(), "copy", dir / "sample"}));
  ASSERT_EQ(m.exit_code, 0) << m.err;
  const std::string summary = read_file(dir / "out2");
  EXPECT_NE(summary.find("Summary: 1 events"), std::string::npos) << summary;
  EXPECT_EQ(summary.find("100/101"), std::string::npos) << summary;  // no stream
}

// What the wide library's own kinds make of --files, its filters and the text stream.
TEST(ToolMechanics, FilesViewOfTheWideKindsAndItsFilters) {
  TempDir dir;
  write_file(dir / "sample",
             "exec\t/usr/bin/cc\\tcc\\t-c\\tx.c\t-1\t100\t100\nopen_read\tfile:/src/x.c\t3\t100\t100\n"
             "read\tfile:/src/x.c\t3\t100\t100\nmissing\tfile:/src/inc/a.h\t-1\t100\t100\n"
             "query\tfile:/src/inc2/a.h\t-1\t100\t100\ncreate\tfile:/src/x.o\t4\t100\t100\n"
             "open_write\tfile:/src/x.o\t4\t100\t100\nrename_from\tfile:/src/x.o\t-1\t100\t100\n"
             "rename_to\tfile:/src/y.o\t-1\t100\t100\ndelete\tfile:/src/old\t-1\t100\t100\n"
             "make_dir\tfile:/src/d\t-1\t100\t100\nexec\t/no/srv\t-1\t101\t101\nexec_failed\t/no/srv\t-1\t101\t101\n"
             "exec\t/bin/srv\\tsrv\t-1\t101\t101\n"
             "listen\tsocket:127.0.0.1:80\t5\t101\t101\naccept\tsocket:127.0.0.1:5555\t6\t101\t101\n"
             "accept_local\tsocket:127.0.0.1:80\t6\t101\t101\nconnect_failed\tsocket:127.0.0.1:81\t7\t101\t101\n"
             // A process gone before it was looked up, named by the exec right behind its first line.
             "close\tfile:/src/x.c\t9\t4194303\t4194303\nexec\t/bin/srv\\tsrv\t-1\t4194303\t4194303\n");
  const auto run = [&](std::vector<std::string> options) {
    options.insert(options.end(), {"-o", dir / "out", emitter_path(), "copy", dir / "sample"});
    const RunResult r = run_tool(dir, with_stub(options));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return read_file(dir / "out");
  };
  const std::string cc = "Files read (1):\n     1  /src/x.c\nFiles written (1):\n     0  /src/x.o\nFiles created (1):\n"
                         "     1  /src/x.o\nFiles deleted (1):\n     1  /src/old\nRenamed (1):\n     1  /src/x.o \u2192 "
                         "/src/y.o\nMissing (looked for, absent) (1):\n     1  /src/inc/a.h\n"
                         "Looked up (metadata, existence) (1):\n     1  /src/inc2/a.h\nDirectories made (1):\n     1  /src/d\n";
  const std::string srv = "Sockets (1):\n     1  socket:127.0.0.1:5555\nSockets listening (1):\n     1  socket:127.0.0.1:80\n"
                          "Connections accepted, by listening address (1):\n     1  socket:127.0.0.1:80\n"
                          "Connections failed (1):\n     1  socket:127.0.0.1:81\n";
  struct Case {
    std::vector<std::string> options;
    std::vector<std::string> present, absent;
  };
  for (const Case& c : std::vector<Case>{
           {{"--files"}, {cc, srv, "Programs started (2):\n     2  /bin/srv\n     1  /usr/bin/cc\n"}, {}},
           {{"--files", "--pid", "101"}, {srv}, {"/src/"}},
           {{"--files", "--program", "c?"}, {cc}, {"127.0.0.1", "/bin/srv"}},
           {{"--files", "--under", "/src/inc"}, {"/src/inc/a.h"}, {"/src/x.c", "/src/inc2", "/bin/srv"}},
           {{"--per-process"}, {"\nProcess 100: /usr/bin/cc -c x.c\n  Files read (1):\n", "\nProcess 101: /bin/srv\n"}, {}},
           {{}, {"pid 100 = /usr/bin/cc -c x.c\n", "exec      fd=-1   /usr/bin/cc -c x.c\n", "pid 4194303 = /bin/srv\n"}, {"gone", "query "}},
           {{"--queries"}, {"query     fd=-1   file:/src/inc2/a.h\n"}, {}},
       }) {
    const std::string out = run(c.options);
    for (const std::string& s : c.present) EXPECT_NE(out.find(s), std::string::npos) << c.options.size() << out;
    for (const std::string& s : c.absent) EXPECT_EQ(out.find(s), std::string::npos) << s << "\n" << out;
  }
}

// An output that cannot be written is refused before the program runs, and what
// was in the others is left alone.
TEST(ToolMechanics, UnwritableOutputRefusedBeforeTheProgramRuns) {
  TempDir dir;
  write_file(dir / "kept", "kept\n");
  for (const auto& outputs : std::vector<std::vector<std::string>>{
           {"--html", dir / "missing/r.html"},
           {"-o", dir / "kept", "--html", dir.path()},
           {"--format", "chrome", "-o", dir / "missing/t.json"}}) {
    std::vector<std::string> args = outputs;
    args.insert(args.end(), {"sh", "-c", "echo ran > " + (dir / "ran")});
    const RunResult r = run_tool(dir, with_stub(args));
    EXPECT_EQ(r.exit_code, 2) << outputs.back();
    EXPECT_EQ(count_lines(r.err), 1u) << r.err;
    EXPECT_NE(::access((dir / "ran").c_str(), F_OK), 0) << "the program ran: " << outputs.back();
  }
  EXPECT_EQ(read_file(dir / "kept"), "kept\n");
}

TEST(ToolMechanics, FloodFromManyThreadsNothingLost) {
  TempDir dir;
  constexpr int kLines = 200000;
  const RunResult r = run_tool(dir, with_stub({"--format", "raw", "-o", dir / "raw", emitter_path(), "flood",
                                               std::to_string(kLines), "8"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::size_t bad = 0;
  const std::vector<Event> events = parse_events(read_file(dir / "raw"), &bad);
  EXPECT_EQ(events.size(), static_cast<std::size_t>(kLines));
  EXPECT_EQ(bad, 0u);
  std::set<long long> tids;
  for (const Event& e : events) tids.insert(e.tid);
  EXPECT_EQ(tids.size(), 8u);

  const RunResult s = run_tool(dir, with_stub({"--summary-only", emitter_path(), "flood",
                                               std::to_string(kLines), "8"}));
  ASSERT_EQ(s.exit_code, 0);
  EXPECT_NE(s.err.find("Summary: 200000 events"), std::string::npos) << s.err;
  EXPECT_EQ(s.err.find("fd="), std::string::npos) << s.err;  // table only: no event lines
}

// "velmora-trace ... 2>&1 | head": once nobody reads the output any more,
// the tracer keeps draining events and still returns the program's status.
TEST(ToolMechanics, ClosedOutputDoesNotEndTracer) {
  if (::access("/bin/bash", X_OK) != 0) GTEST_SKIP() << "bash not found";
  const std::string script =
      "\"$0\" --lib \"$1\" -- \"$2\" flood 200000 1 2>&1 >/dev/null | head -c 1 >/dev/null;"
      " echo \"${PIPESTATUS[0]}\"";
  const std::string status = capture("/bin/bash -c '" + script + "' " + tool_path() + " " + stub_lib_path() +
                                     " " + emitter_path());
  EXPECT_EQ(status, "0\n");
}

TEST(ToolMechanics, ForwardsTerminationSignals) {
  REQUIRE_PYTHON();
  for (const int sig : {SIGTERM, SIGINT}) {
    TempDir dir;
    ToolProcess tool(dir, with_stub({python3_path(), script_path("await_signal.py"), dir / "ready"}));
    ASSERT_TRUE(wait_for_file(dir / "ready")) << "program never got ready";
    ASSERT_EQ(::kill(tool.pid(), sig), 0);
    const RunResult r = tool.wait();
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, sig == SIGTERM ? 42 : 43) << r.err;
  }
}

TEST(ToolMechanics, DescendantOutlivingProgramDoesNotHangTool) {
  TempDir dir;
  const RunResult r =
      run_tool(dir, with_stub({"--wait", "0.2", "sh", "-c", "sleep 60 & echo $! > " + (dir / "pid") + "; exit 5"}),
               {}, std::chrono::seconds(50));
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 5);
  EXPECT_NE(r.err.find("still hold the event pipe"), std::string::npos) << r.err;
  // The straggler is killed with the tool's process group when `r`'s runner ends.
}

TEST(ToolMechanics, DescendantEventsAfterProgramExitAreCollected) {
  TempDir dir;
  write_file(dir / "sample", kSample);
  const std::string late = "(sleep 0.3; " + emitter_path() + " copy " + (dir / "sample") + ") & exit 0";
  const RunResult r = run_tool(dir, with_stub({"--wait", "100", "--format", "raw", "-o", dir / "raw", "sh",
                                               "-c", late}));
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(count_lines(read_file(dir / "raw")), 5u);
  EXPECT_EQ(r.err.find("still hold"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace velmora::trace::testing
