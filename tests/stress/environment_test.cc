// Faults of the environment around the library: the sink's reader gone, a log file that
// cannot be opened or written, a log directory removed mid-run, the log variable
// changed by the program, and a very large descriptor table. Lines may be lost; the
// program's own results never change.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "preload_run.h"
#include "stress_support.h"

namespace velmora_stress {
namespace {

// A main-thread line: its thread id is the process id.
std::string line(const std::string& kind, const std::string& detail, int32_t fd, int32_t pid) {
  return velmora_test::event_line(kind, detail, fd, pid, pid);
}

std::string repeated(const std::string& s, long times) {
  std::string out;
  for (long i = 0; i < times; ++i) out += s;
  return out;
}

// The program inherits a sink pipe whose reader has already gone. The library changes
// no signal disposition: writing the first line raises SIGPIPE in the program, which
// kills it by default (before its own first write moves any data); a program that
// ignores SIGPIPE carries on and only the lines are lost.
TEST(EnvironmentFaults, SinkWhoseReaderIsGoneRaisesSigpipeUnlessTheProgramIgnoresIt) {
  constexpr long N = 500;
  {
    TempDir dir;
    RunOptions o;
    o.sink = Sink::NONE;
    RunResult r = drive({"reader_gone", dir.path(), "default", std::to_string(N)}, o);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.term_signal, SIGPIPE) << describe(r);
    EXPECT_EQ(r.out, "started=1\n");
    EXPECT_EQ(read_file(dir.file("data")), "");
  }
  {
    TempDir dir;
    RunOptions o;
    o.sink = Sink::NONE;
    RunResult r = drive({"reader_gone", dir.path(), "ignore", std::to_string(N)}, o);
    ASSERT_TRUE(r.ok()) << describe(r);
    EXPECT_EQ(r.out, "started=1\nok=" + std::to_string(N) + "\n");
    EXPECT_EQ(read_file(dir.file("data")), std::string(N, 'x'));
  }
}

// Log paths that can never be opened or written, even by root: lines are dropped, the
// program's output and files are exactly what they would be without the library.
TEST(EnvironmentFaults, LogFileThatCannotBeOpenedOrWrittenLosesOnlyLines) {
  constexpr long N = 300;
  TempDir dir;
  write_file(dir.file("plain"), "untouched");
  if (mkdir(dir.file("logs").c_str(), 0755) != 0) FAIL() << "mkdir";
  std::vector<std::pair<std::string, std::string>> bad = {
      {"under a regular file", dir.file("plain/log")},
      {"a directory", dir.file("logs")},
      {"a name too long", "/tmp/" + std::string(5000, 'n')},
      {"a device that is always full", "/dev/full"},
  };
  if (geteuid() != 0) {
    // Only without root: root writes into a read-only directory regardless.
    if (mkdir(dir.file("ro").c_str(), 0555) != 0) FAIL() << "mkdir";
    bad.push_back({"a read-only directory", dir.file("ro/log")});
  }
  for (const auto& [what, path] : bad) {
    SCOPED_TRACE(what);
    const std::string data = dir.file("data");
    RunOptions o;
    o.sink = Sink::NONE;
    o.env = {{"VELMORA_IO_LOG", path}};
    RunResult r = drive({"exact_writes", data, std::to_string(N)}, o);
    ASSERT_TRUE(r.ok()) << describe(r);
    EXPECT_EQ(r.out, "ok=" + std::to_string(N) + "\nfd=3\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(data), std::string(N, 'x'));
    EXPECT_EQ(read_file(dir.file("plain")), "untouched");
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("logs")));
  }
}

// Observation makes calls of its own that fail routinely (probing a file as a socket)
// or fail with the sink (a log file that cannot be opened, a full device, a pipe with
// no room): none of those errno values may show through a call of the program that
// succeeded, nor through a read at end of file, which returns 0 and sets nothing.
TEST(EnvironmentFaults, ProgramsErrnoIsUntouchedByObservationAndLostLines) {
  constexpr long N = 50;
  TempDir dir;
  write_file(dir.file("plain"), "untouched");
  const std::vector<std::pair<std::string, std::string>> sinks = {
      {"a working log file", dir.file("log")},
      {"a log path under a regular file", dir.file("plain/log")},
      {"a device that is always full", "/dev/full"},
  };
  for (const auto& [what, path] : sinks) {
    SCOPED_TRACE(what);
    RunOptions o;
    o.sink = Sink::NONE;
    o.env = {{"VELMORA_IO_LOG", path}};
    RunResult r = drive({"errno_kept", dir.file("data"), std::to_string(N)}, o);
    ASSERT_TRUE(r.ok()) << describe(r);
    EXPECT_EQ(fact_number(r, "ok"), N);
    EXPECT_EQ(fact_number(r, "changed"), 0) << "first errno seen: " << fact_number(r, "first_errno");
    EXPECT_EQ(fact_number(r, "eof_result"), 0);
    EXPECT_EQ(fact_number(r, "eof_errno"), 0);
  }
}

// The log file is re-opened for every line, so removing its directory loses exactly the
// lines made meanwhile, and making the directory again brings the next line back.
TEST(EnvironmentFaults, LogDirectoryRemovedMidRunLosesExactlyTheLinesMadeMeanwhile) {
  constexpr long N = 400;
  TempDir dir;
  RunOptions o;
  o.sink = Sink::LOG_FILE;
  o.log_path = dir.file("logs/log");
  RunResult r = drive({"log_dir_removed", dir.path(), std::to_string(N)}, o);
  ASSERT_TRUE(r.ok()) << describe(r);
  EXPECT_EQ(fact_number(r, "ok"), 3 * N);
  EXPECT_EQ(read_file(dir.file("data")), std::string(3 * N, 'x'));
  const long long fd = fact_number(r, "fd");
  const long long pid = r.events.empty() ? 0 : r.events.front().pid;
  const std::string data = "file:" + dir.file("data");
  // Before the removal, kept under another name by the program.
  EXPECT_EQ(first_difference(read_file(dir.file("kept")), repeated(line("write", data, fd, pid), N)), "");
  // After the directory came back: the last phase and the close, nothing else.
  EXPECT_EQ(first_difference(r.raw, repeated(line("write", data, fd, pid), N) + line("close", data, fd, pid)), "");
}

// The variable is read again for every line: the program's setenv and unsetenv move or
// stop the lines from the next line on.
TEST(EnvironmentFaults, LogVariableChangedByTheProgramTakesEffectAtTheNextLine) {
  constexpr long N = 250;
  TempDir dir;
  RunOptions o;
  o.sink = Sink::LOG_FILE;
  o.log_path = dir.file("a");
  RunResult r = drive({"log_switch", dir.path(), std::to_string(N)}, o);
  ASSERT_TRUE(r.ok()) << describe(r);
  EXPECT_EQ(fact_number(r, "ok"), 4 * N);
  EXPECT_EQ(read_file(dir.file("data")), std::string(4 * N, 'x'));
  const long long fd = fact_number(r, "fd");
  const long long pid = r.events.empty() ? 0 : r.events.front().pid;
  const std::string data = "file:" + dir.file("data");
  const std::string write_line = line("write", data, fd, pid);
  EXPECT_EQ(first_difference(r.raw, repeated(write_line, 2 * N) + line("close", data, fd, pid)), "");
  EXPECT_EQ(first_difference(read_file(dir.file("b")), repeated(write_line, N)), "");
}

// Ten thousand files open at once, each named once; then twenty rounds of closing them
// all and opening them again, each descriptor number getting a different file every
// round, so a name left behind by a close would show as a wrong name. The table must
// name every descriptor right every time and must not keep growing: resident memory
// after round 20 stays within 2 MiB of what it was after round 5 (losing even one name
// per close would be about 0.5 MiB per round).
TEST(EnvironmentFaults, TenThousandOpenFilesAreNamedRightAndTheTableDoesNotLeak) {
  constexpr int COUNT = 10000;
  constexpr int CYCLES = 20;
  TempDir dir;
  RunOptions o;
  o.timeout_seconds = 300;
  RunResult r = drive({"many_fds", dir.path(), std::to_string(COUNT), std::to_string(CYCLES)}, o);
  ASSERT_TRUE(r.ok()) << describe(r);
  if (r.facts().count("skip")) {
    GTEST_SKIP() << "descriptor hard limit " << r.facts().at("hard_limit") << " is below " << COUNT + 100;
  }
  EXPECT_EQ(r.malformed, 0u);
  EXPECT_EQ(fact_number(r, "ok"), static_cast<long long>(COUNT) * (CYCLES + 1));
  ASSERT_EQ(fact_number(r, "fds_stable"), 1) << "rounds got different descriptor numbers";

  const auto facts = r.facts();
  std::vector<long long> fd_at(COUNT);
  for (int i = 0; i < COUNT; ++i) fd_at[i] = std::stoll(facts.at("fd" + std::to_string(i)));
  auto name = [&](int i, int round) { return "file:" + dir.file("f" + std::to_string((i + round) % COUNT)); };

  // The driver's own reads of /proc add lines too; only its files are compared.
  const long long pid = fact_number(r, "pid");
  const std::vector<Event> events = under(r.events, dir.path());
  ASSERT_EQ(events.size(), static_cast<std::size_t>(2 * COUNT * (CYCLES + 1)));
  std::size_t at = 0, wrong = 0;
  std::string first_wrong;
  auto expect_next = [&](const char* kind, int i, int round) {
    const Event& e = events[at++];
    if (e.kind == kind && e.fd == fd_at[i] && e.detail == name(i, round) && e.pid == pid && e.tid == pid) return;
    if (wrong++ == 0)
      first_wrong = "event " + std::to_string(at - 1) + ": " + e.kind + " " + e.detail + " " +
                    std::to_string(e.fd) + ", want " + kind + " " + name(i, round) + " " + std::to_string(fd_at[i]);
  };
  for (int i = 0; i < COUNT; ++i) expect_next("write", i, 0);
  for (int round = 1; round <= CYCLES; ++round) {
    for (int i = 0; i < COUNT; ++i) expect_next("close", i, round - 1);
    for (int i = 0; i < COUNT; ++i) expect_next("write", i, round);
  }
  for (int i = 0; i < COUNT; ++i) expect_next("close", i, CYCLES);
  EXPECT_EQ(wrong, 0u) << first_wrong;
  for (int i : {0, COUNT / 2, COUNT - 1})
    EXPECT_EQ(read_file(dir.file("f" + std::to_string(i))), std::string(CYCLES + 1, 'x'));

  const long long rss5 = fact_number(r, "rss_cycle5_kib"), rss_end = fact_number(r, "rss_end_kib");
  ASSERT_GT(rss5, 0);
  EXPECT_LT(rss_end - rss5, 2048) << "resident memory kept growing over the rounds";
  std::printf("[ figures  ] RSS KiB: start %lld, all open %lld, round 5 %lld, round %d %lld\n",
              fact_number(r, "rss_start_kib"), fact_number(r, "rss_open_kib"), rss5, CYCLES, rss_end);
  RecordProperty("rss_round5_kib", static_cast<int>(rss5));
  RecordProperty("rss_end_kib", static_cast<int>(rss_end));
}

}  // namespace
}  // namespace velmora_stress
