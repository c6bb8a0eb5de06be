// Event lines under load: many threads and processes writing lines at once, lines
// longer than the pipe's atomic size, and a sink that fills up and is never read.
// Every count is exact; what cannot be exact (how long lines interleave) is reported.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "preload_run.h"
#include "query_text.h"
#include "stress_support.h"

namespace velmora_stress {
namespace {

bool same(const Event& e, const std::string& kind, const std::string& detail, long long fd, long long pid,
          long long tid) {
  return e.kind == kind && e.detail == detail && e.fd == fd && e.pid == pid && e.tid == tid;
}

TEST(LinesUnderLoad, FourThreadsOfFiftyThousandWritesEachGiveEveryLineWholeWithItsThreadId) {
  for (const Sink sink : {Sink::PIPE_ENV, Sink::RING}) {
  SCOPED_TRACE(sink == Sink::RING ? "ring" : "pipe");
  constexpr int THREADS = 4;
  constexpr long WRITES = 50000;
  TempDir dir;
  RunOptions o;
  o.sink = sink;
  o.timeout_seconds = 300;
  RunResult r = drive({"threads_lines", dir.path(), std::to_string(THREADS), std::to_string(WRITES)}, o);
  ASSERT_TRUE(r.ok()) << describe(r);
  EXPECT_EQ(r.ring_lost, 0u);
  EXPECT_EQ(r.malformed, 0u);
  EXPECT_EQ(count_lines(r.raw), THREADS * WRITES + THREADS);
  EXPECT_EQ(r.events.size(), THREADS * WRITES + THREADS);
  EXPECT_EQ(r.of_kind("write").size(), THREADS * WRITES);
  EXPECT_EQ(r.of_kind("close").size(), static_cast<std::size_t>(THREADS));

  const long long pid = fact_number(r, "pid");
  for (int t = 0; t < THREADS; ++t) {
    const std::string n = std::to_string(t);
    const std::string detail = "file:" + dir.file("t" + n);
    const long long fd = fact_number(r, "fd" + n), tid = fact_number(r, "tid" + n);
    EXPECT_EQ(fact_number(r, "ok" + n), WRITES);
    EXPECT_EQ(read_file(dir.file("t" + n)).size(), static_cast<std::size_t>(WRITES));
    // One thread's lines keep its call order: all writes, then the close.
    long writes = 0, closes = 0, writes_after_close = 0;
    for (const Event& e : r.events) {
      if (e.detail != detail) continue;
      EXPECT_EQ(e.tid, tid) << e.kind << " " << e.detail;
      if (same(e, "write", detail, fd, pid, tid)) {
        ++writes;
        writes_after_close += closes;
      }
      closes += same(e, "close", detail, fd, pid, tid);
    }
    EXPECT_EQ(writes, WRITES) << detail;
    EXPECT_EQ(closes, 1) << detail;
    EXPECT_EQ(writes_after_close, 0) << detail;
  }
  RecordProperty("lines", static_cast<int>(r.events.size()));
  }
}

// Four threads open, write and close their own files 20 000 times each: names are
// added and removed all the time and descriptor numbers pass from thread to thread.
// Every write and close must carry its own thread's file, in its own order.
TEST(LinesUnderLoad, FourThreadsReopeningTheirFilesKeepEveryNameRight) {
  constexpr int THREADS = 4;
  constexpr long WRITES = 20000;
  TempDir dir;
  RunOptions o;
  o.timeout_seconds = 300;
  RunResult r =
      drive({"threads_lines", dir.path(), std::to_string(THREADS), std::to_string(WRITES), "reopen"}, o);
  ASSERT_TRUE(r.ok()) << describe(r);
  EXPECT_EQ(r.malformed, 0u);
  // A write and a close per round (the descriptor opened before the start line is never
  // written, so never named, and its close makes no line).
  EXPECT_EQ(r.events.size(), static_cast<std::size_t>(THREADS * 2 * WRITES));
  const long long pid = fact_number(r, "pid");
  std::map<long long, std::string> file_of;  // thread id -> its file
  for (int t = 0; t < THREADS; ++t) {
    const std::string n = std::to_string(t);
    EXPECT_EQ(fact_number(r, "ok" + n), WRITES);
    EXPECT_EQ(read_file(dir.file("t" + n)).size(), static_cast<std::size_t>(WRITES));
    file_of[fact_number(r, "tid" + n)] = "file:" + dir.file("t" + n);
  }
  // Per thread the lines must alternate write, close on the same descriptor.
  std::map<long long, long long> open_fd;  // thread id -> descriptor written, not yet closed
  std::map<long long, long> writes, closes;
  std::size_t wrong = 0;
  std::string first_wrong;
  for (const Event& e : r.events) {
    const auto it = file_of.find(e.tid);
    bool ok = it != file_of.end() && e.detail == it->second && e.pid == pid;
    if (ok && e.kind == "write") {
      ok = !open_fd.count(e.tid);
      open_fd[e.tid] = e.fd;
      ++writes[e.tid];
    } else if (ok && e.kind == "close") {
      ok = open_fd.count(e.tid) && open_fd[e.tid] == e.fd;
      ++closes[e.tid];
      open_fd.erase(e.tid);
    } else {
      ok = false;
    }
    if (!ok && wrong++ == 0) first_wrong = e.kind + " " + e.detail + " fd " + std::to_string(e.fd) + " tid " + std::to_string(e.tid);
  }
  EXPECT_EQ(wrong, 0u) << first_wrong;
  for (const auto& [tid, file] : file_of) {
    EXPECT_EQ(writes[tid], WRITES) << file;
    EXPECT_EQ(closes[tid], WRITES) << file;
  }
  RecordProperty("lines", static_cast<int>(r.events.size()));
}

// Each line is opened, appended and closed on its own: two processes sharing the log
// file must still never split or mix a line; a forked child's ring and records (of many slots) too.
TEST(LinesUnderLoad, TwoProcessesAppendingToOneLogFileNeverSplitALine) {
  for (const Sink sink : {Sink::LOG_FILE, Sink::RING}) {
  SCOPED_TRACE(sink == Sink::RING ? "ring" : "log");
  constexpr long N = 20000;
  TempDir dir;
  RunOptions o;
  o.sink = sink;
  o.log_path = dir.file("log");
  o.timeout_seconds = 300;
  RunResult r = drive({"two_writers", dir.path(), std::to_string(N)}, o);
  ASSERT_TRUE(r.ok()) << describe(r);
  EXPECT_EQ(r.ring_lost, 0u);
  EXPECT_EQ(fact_number(r, "child_ok"), 1);
  EXPECT_EQ(fact_number(r, "parent_ok"), N);
  EXPECT_EQ(r.malformed, 0u);
  ASSERT_FALSE(r.raw.empty());
  EXPECT_EQ(r.raw.back(), '\n');
  EXPECT_EQ(r.events.size(), static_cast<std::size_t>(2 * N + 2));
  EXPECT_EQ(count_lines(r.raw), static_cast<std::size_t>(2 * N + 2));

  for (const char* who : {"parent", "child"}) {
    const long long pid = fact_number(r, std::string(who) + "_pid");
    const std::string path = dir.file(std::string(who) + "-" + std::string(180, 'w'));
    const std::string detail = "file:" + path;
    long writes = 0, closes = 0, strays = 0;
    for (const Event& e : r.events) {
      if (e.pid != pid) continue;
      if (e.detail != detail || e.tid != pid) {
        ++strays;
        continue;
      }
      writes += e.kind == "write";
      closes += e.kind == "close";
    }
    EXPECT_EQ(writes, N) << who;
    EXPECT_EQ(closes, 1) << who;
    EXPECT_EQ(strays, 0) << who;
    EXPECT_EQ(read_file(path).size(), static_cast<std::size_t>(N)) << who;
  }
  RecordProperty("lines", static_cast<int>(r.events.size()));
  }
}

// Query lines of 100 KB from two threads, plus the short lines of a reader thread, on
// one blocking pipe: far longer than the pipe's atomic size, yet every line arrives
// whole (the library writes long lines one at a time within the process), not one byte
// is lost or added, and every query is intact.
TEST(LinesUnderLoad, LongQueryLinesFromTwoThreadsArriveWholeAmongShortOnes) {
  constexpr int SENDERS = 2;
  constexpr int MESSAGES = 20;
  constexpr std::size_t SIZE = 100 * 1024;
  RunOptions o;
  o.timeout_seconds = 300;
  RunResult r = drive({"queries", std::to_string(SENDERS), std::to_string(MESSAGES), std::to_string(SIZE)}, o);
  ASSERT_TRUE(r.ok()) << describe(r);
  EXPECT_EQ(fact_number(r, "sent_ok"), SENDERS * MESSAGES);
  EXPECT_EQ(fact_number(r, "received"), fact_number(r, "expected_bytes"));

  const long long pid = fact_number(r, "pid");
  const long long reader_tid = fact_number(r, "reader_tid"), main_tid = fact_number(r, "main_tid");
  // Every line the program's calls should have produced, with how often.
  std::unordered_map<std::string, long> expected;
  std::size_t expected_lines = 0, expected_bytes = 0;
  auto expect = [&](const std::string& l, long times) {
    expected[l] += times;
    expected_lines += static_cast<std::size_t>(times);
    expected_bytes += l.size() * static_cast<std::size_t>(times);
  };
  for (int s = 0; s < SENDERS; ++s) {
    const std::string n = std::to_string(s);
    const long long sfd = fact_number(r, "sfd" + n), rfd = fact_number(r, "rfd" + n);
    const long long tid = fact_number(r, "tid" + n);
    for (int i = 0; i < MESSAGES; ++i) expect(event_line("sql_write", query_text(s, i, SIZE), sfd, pid, tid), 1);
    expect(event_line("read", "socket:unix:", rfd, pid, reader_tid), fact_number(r, "reads" + n));
    expect(event_line("close", "socket:unix:", sfd, pid, main_tid), 1);
    expect(event_line("close", "socket:unix:", rfd, pid, main_tid), 1);
  }

  EXPECT_EQ(r.raw.size(), expected_bytes) << "bytes lost or added on a blocking sink";
  EXPECT_EQ(count_lines(r.raw), expected_lines);
  ASSERT_FALSE(r.raw.empty());
  EXPECT_EQ(r.raw.back(), '\n');
  // The parser took every line apart or rejected it; nothing fell through.
  EXPECT_EQ(r.events.size() + r.malformed, expected_lines);

  std::size_t whole = 0, whole_queries = 0, damaged = 0;
  for (std::size_t start = 0; start < r.raw.size();) {
    const std::size_t end = r.raw.find('\n', start);
    const std::string got = r.raw.substr(start, (end == std::string::npos ? r.raw.size() : end + 1) - start);
    start += got.size();
    auto it = expected.find(got);
    if (it != expected.end() && it->second > 0) {
      --it->second;
      ++whole;
      whole_queries += got.rfind("sql_write\t", 0) == 0;
    } else {
      ++damaged;
    }
  }
  EXPECT_EQ(whole + damaged, expected_lines);
  // A rejected line is always a damaged one; a damaged line may still parse when the
  // splice kept five fields.
  EXPECT_LE(r.malformed, damaged);
  EXPECT_EQ(damaged, 0u);
  EXPECT_EQ(whole_queries, static_cast<std::size_t>(SENDERS * MESSAGES));

  std::printf("[ figures  ] query lines whole %zu of %d, damaged lines %zu (rejected by the parser %zu), "
              "all lines %zu\n",
              whole_queries, SENDERS * MESSAGES, damaged, r.malformed, expected_lines);
  RecordProperty("query_lines_sent", SENDERS * MESSAGES);
  RecordProperty("query_lines_whole", static_cast<int>(whole_queries));
  RecordProperty("lines_damaged", static_cast<int>(damaged));
  RecordProperty("lines_rejected", static_cast<int>(r.malformed));
}

struct Expected {
  std::string kind, detail;
  long long fd;
};

// Greedy in-order match of `got` against `plan`: the positions of plan that the events
// matched, or an empty vector with *ok false when an event fits nowhere later.
std::vector<std::size_t> match_in_order(const std::vector<Event>& got, const std::vector<Expected>& plan,
                                        long long pid, bool* ok) {
  std::vector<std::size_t> at;
  std::size_t next = 0;
  *ok = true;
  for (const Event& e : got) {
    while (next < plan.size() &&
           !(e.kind == plan[next].kind && e.detail == plan[next].detail && e.fd == plan[next].fd))
      ++next;
    if (next == plan.size() || e.pid != pid || e.tid != pid) {
      *ok = false;
      return {};
    }
    at.push_back(next++);
  }
  return at;
}

// The program's own non-blocking sink pipe of one page, never read while it works.
// A line no longer than the pipe's atomic size goes in whole or not at all, so with
// short lines only, what arrives is exactly the first lines up to the point the pipe
// filled. A line longer than that may go in partly: its head is kept, the rest is lost,
// and the next line that still fits follows the cut head on the same line: each such
// long line can cost one rejected line. The program's own results never change.
TEST(LinesUnderLoad, FullNonBlockingSinkLosesLinesButNeverTheProgramsData) {
  constexpr long WRITES = 2000;
  for (const std::string mode : {"small", "mixed"}) {
    SCOPED_TRACE(mode);
    TempDir dir;
    RunOptions o;
    o.sink = Sink::NONE;
    o.timeout_seconds = 120;
    RunResult r = drive({"full_sink", dir.path(), mode, std::to_string(WRITES)}, o);
    ASSERT_TRUE(r.ok()) << describe(r);
    EXPECT_EQ(fact_number(r, "ok"), WRITES);
    EXPECT_EQ(fact_number(r, "sent_ok"), mode == "mixed" ? 2 : 0);
    EXPECT_EQ(read_file(dir.file("data")), std::string(WRITES, 'x'));

    const long long pid = fact_number(r, "pid"), data_fd = fact_number(r, "data_fd");
    const long long sock_fd = fact_number(r, "sock_fd"), pipe_size = fact_number(r, "pipe_size");
    const std::string data = "file:" + dir.file("data");
    std::vector<Expected> plan;
    for (long i = 0; i < WRITES; ++i) {
      plan.push_back({"write", data, data_fd});
      if (mode == "mixed" && (i == 19 || i == WRITES / 2 - 1))
        plan.push_back({"sql_write", query_text(0, i == 19 ? 0 : 1, 10000), sock_fd});
    }
    plan.push_back({"close", data, data_fd});
    if (mode == "mixed") plan.push_back({"close", "socket:unix:", sock_fd});

    const std::string raw = read_file(dir.file("sink"));
    std::size_t malformed = 0;
    const std::vector<Event> got = velmora_test::parse_events(raw, &malformed);
    bool in_order = false;
    const std::vector<std::size_t> at = match_in_order(got, plan, pid, &in_order);
    EXPECT_TRUE(in_order) << "a line that the program's calls did not produce, or out of order";
    EXPECT_GT(got.size(), 0u);
    EXPECT_LT(got.size(), plan.size()) << "the full pipe should have lost lines";
    EXPECT_LE(raw.size(), static_cast<std::size_t>(pipe_size));

    if (mode == "small") {
      EXPECT_EQ(malformed, 0u);
      for (std::size_t i = 0; i < at.size(); ++i) EXPECT_EQ(at[i], i) << "not the first lines";
      std::printf("[ figures  ] full sink, short lines: %zu of %zu lines arrived, all whole\n", got.size(),
                  plan.size());
    } else {
      EXPECT_LE(malformed, 2u) << "more cut lines than lines longer than the atomic size";
      std::printf("[ figures  ] full sink, mixed: %zu of %zu lines arrived whole, %zu cut\n", got.size(),
                  plan.size(), malformed);
    }
    RecordProperty(mode + "_lines_planned", static_cast<int>(plan.size()));
    RecordProperty(mode + "_lines_whole", static_cast<int>(got.size()));
    RecordProperty(mode + "_lines_cut", static_cast<int>(malformed));
  }
}

}  // namespace
}  // namespace velmora_stress
