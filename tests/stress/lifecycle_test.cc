// Thread and process lifecycles that cut through the library: cancellation inside an
// interposed call, process exit under a busy thread, and a host that loads the library
// itself instead of preloading it.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "preload_run.h"
#include "stress_support.h"

namespace velmora_stress {
namespace {

long count_of(const std::vector<Event>& events, const std::string& kind, const std::string& detail, long long fd,
              long long tid) {
  return static_cast<long>(select(events, [&](const Event& e) {
                             return e.kind == kind && e.detail == detail && e.fd == fd && e.tid == tid;
                           }).size());
}

// Cancellation unwinds through the interposed read and write: the thread must end as
// cancelled (not abort the process), and the library must stay usable afterwards.
TEST(ThreadLifecycle, ThreadsCancelledWhileBlockedInReadAndWriteEndCleanly) {
  TempDir dir;
  RunOptions o;
  o.timeout_seconds = 120;
  RunResult r = drive({"cancel_io", dir.path()}, o);
  ASSERT_TRUE(r.ok()) << describe(r);
  EXPECT_EQ(r.malformed, 0u);
  for (const std::string op : {"read", "write"}) {
    EXPECT_EQ(fact_number(r, op + "_blocked"), 1) << op << ": never seen blocked in the call";
    EXPECT_EQ(fact_number(r, op + "_cancelled"), 1) << op << ": join did not give PTHREAD_CANCELED";
  }

  const long long main_tid = fact_number(r, "main_tid");
  const std::string empty_fifo = "file:" + dir.file("empty-fifo"), full_fifo = "file:" + dir.file("full-fifo");
  const long long read_fd = fact_number(r, "read_fd"), write_fd = fact_number(r, "write_fd");
  // The driver's own look-ups in /proc add lines too; only the named pipes and the
  // file written afterwards are counted.
  const std::vector<Event> events = under(r.events, dir.path());
  EXPECT_EQ(count_of(events, "read", empty_fifo, read_fd, fact_number(r, "read_tid")), 1);
  EXPECT_EQ(count_of(events, "write", full_fifo, write_fd, fact_number(r, "write_tid")), 1);
  EXPECT_EQ(count_of(events, "write", full_fifo, write_fd, main_tid), fact_number(r, "fill_calls"));
  EXPECT_EQ(count_of(events, "close", empty_fifo, read_fd, main_tid), 1);
  EXPECT_EQ(count_of(events, "close", full_fifo, write_fd, main_tid), 1);
  // After both cancellations the table still works for the rest of the program.
  const std::string after = "file:" + dir.file("after");
  const long long after_fd = fact_number(r, "after_fd");
  EXPECT_EQ(fact_number(r, "after_ok"), 3);
  EXPECT_EQ(count_of(events, "write", after, after_fd, main_tid), 3);
  EXPECT_EQ(count_of(events, "close", after, after_fd, main_tid), 1);
  EXPECT_EQ(events.size(), static_cast<std::size_t>(fact_number(r, "fill_calls") + 2 + 2 + 4));

  // syscall() is no cancellation point, even for the numbers the wide library observes.
  o.library = velmora_test::wide_library_path();
  r = drive({"cancel_by_number", dir.file("by-number")}, o);
  EXPECT_EQ(fact_number(r, "returned"), 3) << describe(r);
  EXPECT_EQ(fact_number(r, "cancelled"), 1);
  EXPECT_EQ(count_events(r.events, "write", "file:" + dir.file("by-number")), 1u) << describe(r);
}

// A thread cancelled while the library writes its line (to a full sink) is not
// cancelled there: the library's own writes are no cancellation points, so the thread
// leaves the library first and its cleanup handler's I/O is reported.
TEST(ThreadLifecycle, CancelledWhileTheLibraryWritesALineTheCleanupIsStillObserved) {
  TempDir dir;
  RunOptions o;
  o.timeout_seconds = 60;
  RunResult r = drive({"cancel_in_sink", dir.path()}, o);
  ASSERT_TRUE(r.ok()) << describe(r);
  EXPECT_EQ(fact_number(r, "cancelled"), 1);
  EXPECT_EQ(fact_number(r, "cleanup_lines"), 1);
}

// A detached thread keeps opening, writing and closing a file while main returns: the
// process runs exit() with the thread inside the library. 200 runs, half of them with
// the log file as sink, several at a time.
TEST(ThreadLifecycle, DetachedThreadBusyInTheLibraryWhileMainReturnsNeverCrashes) {
  constexpr int RUNS = 200;
  constexpr int AT_ONCE = 8;
  struct Outcome {
    bool log_sink = false;
    RunResult result;
    std::string raw_log;
  };
  std::vector<Outcome> outcomes(RUNS);
  for (int first = 0; first < RUNS; first += AT_ONCE) {
    std::vector<std::thread> batch;
    for (int i = first; i < first + AT_ONCE && i < RUNS; ++i) {
      batch.emplace_back([&outcomes, i] {
        TempDir dir;
        RunOptions o;
        o.timeout_seconds = 60;
        outcomes[i].log_sink = i % 2 == 1;
        if (outcomes[i].log_sink) {
          o.sink = Sink::LOG_FILE;
          o.log_path = dir.file("log");
        }
        outcomes[i].result = drive({"detached_exit", dir.path()}, o);
      });
    }
    for (auto& t : batch) t.join();
  }
  int crashes = 0, hangs = 0, bad_exits = 0, cut_lines = 0;
  std::size_t lines = 0;
  for (int i = 0; i < RUNS; ++i) {
    const RunResult& r = outcomes[i].result;
    SCOPED_TRACE("run " + std::to_string(i) + (outcomes[i].log_sink ? " (log file)" : " (pipe)"));
    hangs += r.timed_out;
    crashes += r.term_signal != 0;
    bad_exits += !r.timed_out && r.term_signal == 0 && r.exit_code != 0;
    EXPECT_TRUE(r.ok()) << describe(r);
    EXPECT_EQ(r.facts().count("main_done"), 1u);
    EXPECT_GT(r.of_kind("write").size(), 0u);
    lines += r.events.size();
    if (outcomes[i].log_sink) {
      // A line appended to a file can be cut by the process's end only as the very
      // last bytes; nothing follows a dying process's last line.
      EXPECT_LE(r.malformed, 1u);
      if (r.malformed == 1) {
        ++cut_lines;
        EXPECT_NE(r.raw.back(), '\n');
      }
    } else {
      EXPECT_EQ(r.malformed, 0u) << "a short line is written to a pipe in one piece";
    }
  }
  EXPECT_EQ(crashes, 0);
  EXPECT_EQ(hangs, 0);
  EXPECT_EQ(bad_exits, 0);
  std::printf("[ figures  ] %d runs: crashes %d, hangs %d, bad exits %d, lines %zu, cut log lines %d\n", RUNS,
              crashes, hangs, bad_exits, lines, cut_lines);
  RecordProperty("crashes", crashes);
  RecordProperty("hangs", hangs);
}

// The program never meets the library's descriptors or locks, counted over many runs:
// lines in a file that took the sink's number while four threads made events (closed
// with close or the raw system call), opens failing for a number that the wide
// library's close_range/closefrom borrowed, forked children holding the log file, and
// children of a raw clone hung on a lock that a thread of the parent held.
TEST(ThreadLifecycle, TheProgramNeverMeetsTheLibrarysDescriptorsOrLocks) {
  TempDir dir;
  RunOptions o;
  o.sink_fd = 3;
  long dirty = 0;
  for (int run = 0; run < 600; ++run) {
    std::filesystem::create_directory(dir.file(std::to_string(run)));
    RunResult r = drive({"sink_reuse", dir.file(std::to_string(run)), run % 2 ? "raw" : "close"}, o);
    ASSERT_EQ(fact_number(r, "own_fd"), 3) << describe(r);
    dirty += fact_number(r, "own_bytes") != 0;
  }
  EXPECT_EQ(dirty, 0) << "runs of 600 with lines in the program's file";
  o.library = velmora_test::wide_library_path();
  o.sink = Sink::NONE;
  EXPECT_EQ(fact_number(drive({"range_close_emfile", "2000"}, o), "emfile"), 0);
  o.library = "";
  o.sink = Sink::LOG_FILE;
  o.log_path = dir.file("log");
  EXPECT_EQ(fact_number(drive({"children", o.log_path, "2000", "fork"}, o), "bad"), 0);
  EXPECT_EQ(fact_number(drive({"children", o.log_path, "2000", "clone"}, o), "bad"), 0);
  // Through the ring a thread keeps its pid: a clone child (no fork handlers) must not
  // close the parent's name under the parent's pid.
  o.library = velmora_test::wide_library_path();
  o.sink = Sink::RING;
  const RunResult r = drive({"children", o.log_path, "200", "clone"}, o);
  const int32_t parent = static_cast<int32_t>(fact_number(r, "pid"));
  for (const Event& e : r.with_detail("file:" + o.log_path + ".d/c")) {
    EXPECT_FALSE(e.kind == "close" && e.pid == parent);
  }
}

// A host that is not preloaded dlopens the library privately and calls its functions
// by handle: its own calls stay untouched, calls through the handle are reported on the
// host's pipe, and the pipe's read end (handed over with the second setter) is never
// observed, even though it is a named pipe that would otherwise be named like a file.
TEST(HostLoad, LibraryLoadedWithDlopenReportsOnlyCallsMadeThroughItsHandle) {
  TempDir dir;
  RunOptions o;
  o.preload = false;
  o.sink = Sink::NONE;
  RunResult r = drive({"dlopen_host", library_path(), dir.path()}, o);
  ASSERT_TRUE(r.ok()) << describe(r);
  EXPECT_EQ(fact_number(r, "global_setter_hidden"), 1);
  EXPECT_EQ(fact_number(r, "handle_write_is_own"), 1);
  EXPECT_EQ(fact_number(r, "ok"), 4);
  EXPECT_EQ(fact_number(r, "read_back"), 14);
  EXPECT_EQ(fact_number(r, "closed"), 0);
  EXPECT_EQ(read_file(dir.file("data")), "abcabcabcplain");

  const std::string lines = read_file(dir.file("lines"));
  std::size_t malformed = 0;
  const std::vector<Event> events = velmora_test::parse_events(lines, &malformed);
  EXPECT_EQ(malformed, 0u);
  const std::string fd = std::to_string(fact_number(r, "data_fd"));
  const std::string ids = std::to_string(fact_number(r, "pid")) + "\t" + std::to_string(fact_number(r, "tid"));
  const std::string data = "file:" + dir.file("data");
  const std::string write_line = "write\t" + data + "\t" + fd + "\t" + ids + "\n";
  EXPECT_EQ(first_difference(lines, write_line + write_line + write_line + "read\t" + data + "\t" + fd + "\t" +
                                        ids + "\n" + "close\t" + data + "\t" + fd + "\t" + ids + "\n"),
            "");
}

}  // namespace
}  // namespace velmora_stress
