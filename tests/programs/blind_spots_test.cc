// I/O that the C library does without going through the fourteen functions: a fortified
// read(), close_range(), closefrom() and fclose(). The narrow library's blind spots are
// pinned, so that a change is noticed; the wide library sees each of them.
#include <gtest/gtest.h>

#include <string>

#include "program_matrix.h"

namespace velmora_test::programs {
namespace {

std::string letters() {
  std::string s;
  for (int i = 0; i < 100; ++i) s.push_back(static_cast<char>('a' + i % 26));
  return s;
}

// A -O2 -D_FORTIFY_SOURCE=2 build turns read() into __read_chk whenever the length is
// not known to fit at compile time; __read_chk enters the kernel on its own. For the
// narrow library the input is therefore never read, and as it was never named its
// close is not reported either; the wide library sees the read and the close. The
// output, written with plain write(), is seen by both.
TEST(BlindSpot, FortifiedReadIsSeenByTheWideLibraryOnly) {
  if (find_program("nm").empty()) GTEST_SKIP() << "nm is not installed";
  RunOptions symbols;
  symbols.argv = {"nm", "-D", "--undefined-only", VELMORA_FORTIFIED_READ};
  symbols.preload = false;
  symbols.sink = Sink::NONE;
  const RunResult listed = run(symbols);
  ASSERT_TRUE(listed.ok()) << listed.err;
  if (listed.out.find("__read_chk") == std::string::npos || listed.out.find("__open_2") == std::string::npos)
    GTEST_SKIP() << "the toolchain did not fortify read(); imported symbols:\n" << listed.out;

  Paired p = run_paired([](const std::string& dir) { write_file(dir + "/in.txt", letters()); },
                        [](const std::string&) {
                          RunOptions o;
                          o.argv = {VELMORA_FORTIFIED_READ, "in.txt", "out.txt", "40"};
                          return o;
                        });
  expect_same_behaviour(p);
  EXPECT_EQ(read_file(p.traced.path("out.txt")), letters().substr(0, 40));
  const RunResult& r = p.traced.result;
  expect_well_formed(r);
  const std::string pid = r.events.empty() ? "?" : std::to_string(r.events.front().pid);
  const std::string in = p.traced.file("in.txt"), out = p.traced.file("out.txt");
  const std::string seen_read = testing_wide_library() ? "read " + in + " 3 " + pid + "\n" : "";
  const std::string seen_close = testing_wide_library() ? "close " + in + " 3 " + pid + "\n" : "";
  EXPECT_EQ(listing(r.events), seen_read + "write " + out + " 4 " + pid + "\nclose " + out + " 4 " + pid + "\n" +
                                   seen_close);
  // The input's open, through __open_2: the wide library reports it.
  RunOptions all;
  all.argv = {VELMORA_FORTIFIED_READ, p.traced.path("in.txt"), p.traced.path("again.txt"), "40"};
  all.every_kind = true;
  EXPECT_EQ(count_events(run(all).events, "open_read", in), testing_wide_library() ? 1u : 0u);
}

Options probe(const std::string& mode, Sink sink) {
  return [mode, sink](const std::string& dir) {
    RunOptions o;
    o.argv = {VELMORA_CLOSE_RANGE_PROBE, mode, dir};
    o.sink = sink;
    if (sink == Sink::LOG_FILE) o.log_path = dir + "/events.log";
    return o;
  };
}

// close_range(), closefrom() and fclose() close behind the fourteen functions' back:
// the narrow library keeps the name of the descriptor they closed, and a file opened
// afterwards on the same number is reported under the old name until that number goes
// through close(). The wide library reports the close and names the new file afresh.
// (The lines go to a log file: a pipe would have been closed by close_range too.)
TEST(BlindSpot, ClosingBehindCloseLeavesStaleNamesForTheNarrowLibraryOnly) {
  for (const std::string mode : {"reuse", "closefrom", "fclose"}) {
    Paired p = run_paired([](const std::string&) {}, probe(mode, Sink::LOG_FILE));
    expect_same_behaviour(p, {"events.log"});
    const RunResult& r = p.traced.result;
    ASSERT_TRUE(r.ok()) << mode << r.err;
    auto facts = r.facts();
    ASSERT_EQ(facts["a"], facts["b"]) << mode << ": the second file did not reuse the number";
    EXPECT_EQ(read_file(p.traced.path("a")), "first\n");
    EXPECT_EQ(read_file(p.traced.path("b")), "second\n");
    expect_well_formed(r);
    const std::string a = p.traced.file("a"), b = p.traced.file("b"), fd = facts["a"];
    const std::string pid = r.events.empty() ? "?" : std::to_string(r.events.front().pid);
    const auto line = [&](const std::string& kind, const std::string& name) {
      return kind + " " + name + " " + fd + " " + pid + "\n";
    };
    if (testing_wide_library()) {
      EXPECT_EQ(listing(r.events), line("write", a) + line("close", a) + line("write", b) + line("close", b))
          << mode;
    } else {
      // a itself, then b's write and close under a's name.
      EXPECT_EQ(listing(r.events), line("write", a) + line("write", a) + line("close", a)) << mode;
    }
  }
}

// close_range() also takes the event pipe with it, unnoticed. When the program later
// opens a file that lands on the pipe's old number, the library must notice that the
// number no longer refers to its pipe and stop writing there: the program's file gets
// only the program's bytes, and later lines go to the log file.
TEST(BlindSpot, CloseRangeTakingThePipeNeverPutsLinesIntoTheFileThatReusesItsNumber) {
  Paired p = run_paired([](const std::string&) {}, [](const std::string& dir) {
    RunOptions o = probe("sink", Sink::PIPE_ENV)(dir);
    o.env = {{"VELMORA_IO_LOG", dir + "/events.log"}};
    return o;
  });
  expect_same_behaviour(p, {"events.log"});
  const RunResult& r = p.traced.result;
  ASSERT_TRUE(r.ok()) << r.err;
  auto facts = r.facts();
  ASSERT_EQ(facts["victim"], std::to_string(RunOptions{}.sink_fd));
  EXPECT_EQ(read_file(p.traced.path("victim")), "own\n");
  const std::string pid = r.events.empty() ? "?" : std::to_string(r.events.front().pid);
  std::size_t malformed = 0;
  const auto logged = parse_events(five_kinds_only(read_file(p.traced.path("events.log"))), &malformed);
  expect_well_formed(logged, malformed);
  const std::string victim = p.traced.file("victim"), other = p.traced.file("other");
  const std::string victim_fd = facts["victim"], other_fd = facts["other"];
  const std::string a = p.traced.file("a") + " " + facts["a"] + " " + pid + "\n";
  const std::string after = "write " + other + " " + other_fd + " " + pid + "\n" + "write " + victim + " " +
                            victim_fd + " " + pid + "\n" + "close " + other + " " + other_fd + " " + pid + "\n" +
                            "close " + victim + " " + victim_fd + " " + pid + "\n";
  // The wide library sees the range take the pipe's number and switches the pipe off
  // after its "close"; the narrow library's copy goes with the range unseen, and its
  // identity check sends the later lines to the log file.
  EXPECT_EQ(listing(r.events), "write " + a + (testing_wide_library() ? "close " + a : ""));
  EXPECT_EQ(listing(logged), after);
  EXPECT_EQ(read_file(p.traced.path("other")), "other\n");
}

}  // namespace
}  // namespace velmora_test::programs
