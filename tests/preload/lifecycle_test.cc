// connect, close, dup2 and dup3 keep names in step with the life of descriptors.
#include <gtest/gtest.h>

#include "preload_run.h"

namespace velmora_test {
namespace {

RunResult drive(std::vector<std::string> args, RunOptions o = {}) {
  o.argv = {socket_driver_path()};
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  RunResult r = run(o);
  EXPECT_TRUE(r.ok()) << r.err;
  return r;
}

std::string summary(const RunResult& r) {
  std::string s;
  for (const Event& e : r.events) s += e.kind + " " + e.detail + " " + std::to_string(e.fd) + "\n";
  return s;
}

TEST(Lifecycle, ConnectInProgressIsReportedRefusedIsNotAndErrnoIsTheRealOne) {
  RunResult r = drive({"connect_outcomes"});
  auto f = r.facts();
  EXPECT_EQ(f["nb_result"], "-1");
  EXPECT_EQ(f["nb_errno"], std::to_string(EINPROGRESS));
  EXPECT_EQ(f["refused_result"], "-1");
  EXPECT_EQ(f["refused_errno"], std::to_string(ECONNREFUSED));
  const std::string name = "socket:127.0.0.1:" + f["port"];
  EXPECT_EQ(summary(r), "connect " + name + " " + f["nb"] + "\nwrite " + name + " " + f["nb"] + "\n");
}

TEST(Lifecycle, CloseAndDupForgetNamesSoReusedNumbersAreNamedAfresh) {
  TempDir dir;
  RunResult r = drive({"lifecycle", dir.path()});
  auto f = r.facts();
  EXPECT_EQ(f["close1"], "0");
  EXPECT_EQ(f["close2"], "-1");
  EXPECT_EQ(f["close2_errno"], std::to_string(EBADF));
  EXPECT_EQ(f["a"], f["b"]);  // b reused a's number
  EXPECT_EQ(f["dup2_result"], f["b"]);
  EXPECT_EQ(f["bad_dup2_errno"], std::to_string(EBADF));
  EXPECT_EQ(f["bad_dup3_errno"], std::to_string(EINVAL));
  const std::string a = "file:" + dir.file("a"), b = "file:" + dir.file("b"), c = "file:" + dir.file("c");
  EXPECT_EQ(summary(r), "write " + a + " " + f["a"] + "\n" +
                            "close " + a + " " + f["a"] + "\n" +      // one close only
                            "write " + b + " " + f["b"] + "\n" +
                            "write " + c + " " + f["c"] + "\n" +
                            "write " + c + " " + f["b"] + "\n" +      // named afresh after dup2
                            "write " + c + " " + f["c"] + "\n" +      // after dup2 onto itself
                            "write " + c + " " + f["c"] + "\n" +      // failed dup2/dup3 removed nothing
                            "write " + c + " " + f["d"] + "\n");      // fcntl dup named on first use
}

// The program closes or overwrites the sink's own number and reuses it, by any route:
// no line ever lands in the program's object, and none is lost (the log file takes
// over). Giving the number up through close or dup2 switches the pipe off at once.
TEST(Lifecycle, SinkNumberReusedByTheProgramNeverReceivesALine) {
  for (const char* how : {"close", "dup2", "close_range", "socketpair"}) {
    TempDir dir;
    RunOptions o;
    o.env = {{"VELMORA_IO_LOG", dir.file("log")}};
    RunResult r = drive({"sink_closed", dir.path(), how}, o);
    if (std::string(how) == "socketpair") {
      EXPECT_EQ(r.facts()["peer_bytes"], "3") << how;  // exactly the program's bytes
    } else {
      EXPECT_EQ(read_file(dir.file("victim")), "own") << how;
    }
    const std::string first = "file:" + dir.file("first");
    std::size_t malformed = 0;
    const std::vector<Event> logged = parse_events(read_file(dir.file("log")), &malformed);
    EXPECT_EQ(count_events(r.events, "write", first) + count_events(logged, "write", first), 2u) << how << "\n" << r.raw;
    EXPECT_EQ(count_events(r.events, "close", first) + count_events(logged, "close", first), 1u) << how << "\n" << r.raw;
    if (std::string(how) == "close" || std::string(how) == "dup2") {
      EXPECT_EQ(r.events.size(), 1u) << how << "\n" << r.raw;
    }
  }
}

// dup2 onto itself closes nothing, so the name stays: a datagram socket named by sendto
// and an unlinked file keep being reported.
TEST(Lifecycle, DupOntoItselfKeepsTheName) {
  TempDir dir;
  RunResult r = drive({"dup_self", dir.path()});
  auto f = r.facts();
  const std::string udp = "socket:127.0.0.1:" + f["port"], gone = "file:" + dir.file("gone");
  EXPECT_EQ(summary(r), "write " + udp + " " + f["udp"] + "\n" +
                            "write " + udp + " " + f["udp"] + "\n" +
                            "write " + gone + " " + f["file"] + "\n" +
                            "write " + gone + " " + f["file"] + "\n" +
                            "close " + gone + " " + f["file"] + "\n" +
                            "close " + udp + " " + f["udp"] + "\n");
}

// A number closed where no wrapper sees it (here a raw system call) and handed out again
// by any call that makes descriptors: the wide library names the new descriptor
// afresh (or not at all when it cannot be named); the narrow one keeps the first name
// it learned for the number.
TEST(Lifecycle, ANumberHandedOutAgainIsNeverReportedUnderItsOldName) {
  TempDir dir;
  RunOptions o;
  o.argv = {driver_path(), "stale_numbers", dir.path()};
  RunResult r = run(o);
  ASSERT_TRUE(r.ok()) << r.err;
  const std::string fresh_file = "file:" + dir.file("new");
  const std::vector<std::pair<std::string, std::string>> makers = {
      {"open", fresh_file},       {"openat", fresh_file},         {"creat", fresh_file},
      {"socket", ""},             {"socketpair", "socket:unix:"}, {"accept", "socket:unix:"},
      {"pipe", ""},               {"dup", "file:/dev/null"},      {"fcntl", "file:/dev/null"},
      {"eventfd", ""},            {"memfd_create", ""},           {"epoll_create1", ""},
      {"fopen", fresh_file}};
  std::vector<std::string> want;
  for (const auto& [maker, fresh] : makers) {
    if (testing_wide_library()) {
      want.push_back("file:" + dir.file("old-" + maker));
      if (!fresh.empty()) want.push_back(fresh);
    } else {
      want.push_back("file:" + dir.file("old-open"));
      want.push_back("file:" + dir.file("old-open"));
    }
  }
  std::vector<std::string> got;
  for (const Event& e : r.of_kind("write")) got.push_back(e.detail);
  EXPECT_EQ(got, want) << summary(r);
}

}  // namespace
}  // namespace velmora_test
