// read/readv/write/writev on real files, reported with the file's name before the
// data moves; everything unnameable or not reportable stays silent.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "preload_run.h"

namespace velmora_test {
namespace {

RunResult drive(std::vector<std::string> args, Sink sink = Sink::PIPE_ENV, std::string log = {}, bool every_kind = false) {
  RunOptions o;
  o.argv = {driver_path()};
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  o.every_kind = every_kind;
  o.sink = sink;
  o.log_path = std::move(log);
  RunResult r = run(o);
  EXPECT_TRUE(r.ok()) << "exit " << r.exit_code << " signal " << r.term_signal << "\n" << r.err;
  EXPECT_EQ(r.malformed, 0u) << r.raw;
  return r;
}

TEST(FileEvents, WriteIsReportedAsOneExactLinePerCall) {
  TempDir dir;
  const std::string path = dir.file("data.txt");
  RunResult r = drive({"write", path, "3"});
  const auto facts = r.facts();
  const std::string fd = facts.at("fd"), pid = facts.at("pid");
  // Main thread: the thread id equals the process id.
  const std::string line = "write\tfile:" + path + "\t" + fd + "\t" + pid + "\t" + pid + "\n";
  EXPECT_EQ(r.raw, line + line + line + "close\tfile:" + path + "\t" + fd + "\t" + pid + "\t" + pid + "\n");
}

// Names are the link text as is: bytes that need escaping in the line are stored raw
// and come back unchanged once the escapes are undone; invalid UTF-8 becomes U+FFFD.
TEST(FileEvents, AwkwardFileNamesRoundTripThroughTheLine) {
  TempDir dir;
  struct Case {
    std::string name, expected;
  } cases[] = {
      {"tab\there", "tab\there"},
      {"line\nfeed", "line\nfeed"},
      {"back\\slash", "back\\slash"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"bad\xFF" "byte", "bad\xEF\xBF\xBD" "byte"},
      {"cr\rand\x01" "ctl", "cr\rand\x01" "ctl"},
      {"x (Deleted)", "x (Deleted)"},
  };
  for (const Case& c : cases) {
    RunResult r = drive({"write", dir.file(c.name)});
    ASSERT_EQ(r.of_kind("write").size(), 1u) << c.name << "\n" << r.raw;
    EXPECT_EQ(r.of_kind("write")[0].detail, "file:" + dir.file(c.expected));
  }
  // Escaped on the wire: exactly five fields per line, one LF at the end.
  RunResult r = drive({"write", dir.file("a\tb\\c\n")});
  EXPECT_NE(r.raw.find("file:" + dir.path() + "/a\\tb\\\\c\\n\t"), std::string::npos) << r.raw;
}

TEST(FileEvents, LongPathsAreRecordedWhole) {
  TempDir dir;
  std::string path = dir.path();
  for (int i = 0; i < 12; ++i) {
    path += "/" + std::string(60, static_cast<char>('a' + i));
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  }
  path += "/file";
  RunResult r = drive({"write", path});
  ASSERT_EQ(r.of_kind("write").size(), 1u);
  EXPECT_EQ(r.of_kind("write")[0].detail, "file:" + path);
  EXPECT_GT(path.size(), 700u);
}

TEST(FileEvents, FailedReadIsReportedAndKeepsTheRealErrno) {
  TempDir dir;
  RunResult r = drive({"read", dir.path()});
  EXPECT_EQ(r.facts().at("errno"), std::to_string(EISDIR));
  EXPECT_EQ(r.facts().at("result"), "-1");
  ASSERT_EQ(r.of_kind("read").size(), 1u);
  EXPECT_EQ(r.of_kind("read")[0].detail, "file:" + dir.path());
}

TEST(FileEvents, DevicesAndRootAreNamed) {
  EXPECT_EQ(drive({"read", "/dev/null"}).of_kind("read").at(0).detail, "file:/dev/null");
  EXPECT_EQ(drive({"read", "/"}).of_kind("read").at(0).detail, "file:/");
}

TEST(FileEvents, VectoredCallsGiveOneEventEach) {
  TempDir dir;
  RunResult r = drive({"vectored", dir.file("v")});
  EXPECT_EQ(r.facts().at("written"), "16");
  EXPECT_EQ(r.facts().at("read"), "16");
  ASSERT_EQ(r.of_kind("write").size(), 1u);
  ASSERT_EQ(r.of_kind("read").size(), 1u);
  EXPECT_EQ(r.of_kind("read")[0].detail, "file:" + dir.file("v"));
}

// Descriptors that cannot be named stay silent however often they are used, and are
// named afresh once something the wrappers never see gives them a name.
TEST(FileEvents, UnnameableDescriptorsAreSilentUntilTheyCanBeNamed) {
  TempDir dir;
  RunResult r = drive({"unnameable", dir.path()});
  auto f = r.facts();
  ASSERT_EQ(f["reused"], f["pipe"]);
  std::string got;
  for (const Event& e : r.events) got += e.kind + " " + e.detail + " " + std::to_string(e.fd) + "\n";
  // The wide library names a file at its open: it keeps that name once unlinked, and a
  // named descriptor's close is reported even with no I/O.
  const std::string named_at_open =
      testing_wide_library() ? "write file:" + dir.file("gone") + " 3\n" + "write file:" + dir.file("gone") +
                                   " 3\n" + "write file:" + dir.file("gone") + " 3\n" + "close file:" +
                                   dir.file("reused") + " 8\n"
                             : "";
  EXPECT_EQ(got, named_at_open + "write file:" + dir.file("reused") + " " + f["reused"] + "\n" +
                     "write socket:127.0.0.1:9 " + f["socket"] + "\n" +
                     "write file:" + dir.file("plain/a") + " " + f["odd"] + "\n");
}

TEST(FileEvents, StandardStreamsAndNegativeDescriptorsAreNotObserved) {
  TempDir dir;
  RunResult r = drive({"standard", dir.file("f")});
  const auto facts = r.facts();
  EXPECT_EQ(facts.at("negative_result"), "-1");
  EXPECT_EQ(facts.at("negative_errno"), std::to_string(EBADF));
  // Only the one write on the file's own descriptor; the wide library also observes 1
  // while it is the file, and no longer once it is a pipe again.
  ASSERT_EQ(r.events.size(), testing_wide_library() ? 2u : 1u) << r.raw;
  EXPECT_EQ(std::to_string(r.events[0].fd), facts.at("fd"));
  if (testing_wide_library()) {
    EXPECT_EQ(r.events[1].fd, 1);
  }
}

TEST(FileEvents, ThreadsShareThePidAndCarryTheirOwnTid) {
  TempDir dir;
  RunResult r = drive({"threads", dir.file("one"), dir.file("two")});
  const auto facts = r.facts();
  const auto one = r.with_detail("file:" + dir.file("one"));
  const auto two = r.with_detail("file:" + dir.file("two"));
  ASSERT_EQ(one.size(), 1u);
  ASSERT_EQ(two.size(), 1u);
  EXPECT_EQ(std::to_string(one[0].pid), facts.at("pid"));
  EXPECT_EQ(std::to_string(two[0].pid), facts.at("pid"));
  EXPECT_EQ(std::to_string(one[0].tid), facts.at("tid1"));
  EXPECT_EQ(std::to_string(two[0].tid), facts.at("tid2"));
  EXPECT_NE(one[0].tid, two[0].tid);
}

TEST(FileEvents, ForkedChildReportsWithItsOwnPid) {
  TempDir dir;
  RunResult r = drive({"fork", dir.file("c")});
  const auto writes = r.of_kind("write");
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(std::to_string(writes[0].pid), r.facts().at("child"));
  EXPECT_EQ(writes[0].pid, writes[0].tid);
}

TEST(FileEvents, ProgramOutputIsUnchanged) {
  TempDir dir;
  const std::string src = dir.file("src");
  write_file(src, std::string(100000, 'q') + "tail");
  RunOptions o;
  o.argv = {"cat", src};
  RunResult r = run(o);
  ASSERT_TRUE(r.ok()) << r.err;
  EXPECT_EQ(r.out, read_file(src));
  // One read that gets everything, one that finds the end, then the close.
  std::vector<std::string> kinds;
  for (const Event& e : r.with_detail("file:" + src)) kinds.push_back(e.kind);
  EXPECT_EQ(kinds, (std::vector<std::string>{"read", "read", "close"})) << r.raw;
}

// The positional, fortified, zero-copy and mapping calls: the wide library reports each
// as its plain counterpart would (a mapping by what it allows: reading, and writing
// only when shared); the narrow library sees none of them, nor the closes of files it
// never named.
TEST(FileEvents, WideCallsAreSeenOnlyByTheWideLibrary) {
  TempDir dir;
  RunResult r = drive({"wide_calls", dir.path()});
  auto facts = r.facts();
  std::vector<std::string> got;
  for (const Event& e : r.events) got.push_back(e.kind + " " + e.detail + " " + std::to_string(e.fd));
  std::vector<std::string> want;
  if (testing_wide_library()) {
    const std::string f = "file:" + dir.file("f") + " " + facts.at("f");
    const std::string g = "file:" + dir.file("g") + " " + facts.at("g");
    want.assign(6, "write " + f);                     // pwrite ... pwritev64v2
    want.insert(want.end(), 6 + 3, "read " + f);      // pread ... preadv64v2, three fortified
    want.insert(want.end(), {"read " + f,             // private, read-only
                             "read " + f, "write " + f,  // shared, read-write
                             "read " + f,             // private, read-write: stores stay private
                             "read " + f,             // mmap64, shared, read-only
                             "read " + f, "write " + g,  // copy_file_range
                             "read " + f, "write " + g,  // sendfile
                             "close " + f, "close " + g});
  }
  EXPECT_EQ(got, want) << r.raw;
}

// "kind path fd" per event naming a file under dir, the path relative to it ("." for
// dir itself) and a mkstemp name as TMP; the narrow library: none of the wide kinds.
std::string path_story(const RunResult& r, const TempDir& dir) {
  std::string story;
  for (const Event& e : under(r.events, dir.path())) {
    std::string rel = e.detail.substr(5 + dir.path().size());
    rel = rel.empty() ? "." : rel.substr(1);
    if (rel.starts_with("tmp")) rel = "TMP";
    story += e.kind + " " + rel + " " + std::to_string(e.fd) + "\n";
  }
  return story;
}

// Opens (with creation proven), probes that found nothing and queries, every name
// made absolute; deletes, a rename and a link as pairs; an unlinked file keeps the name
// of its open; syscall() closes like close and passes other numbers through.
TEST(PathEvents, EachFamilyNamesItsPathsAbsolute) {
  TempDir dir;
  RunResult r = drive({"paths", dir.path()}, Sink::PIPE_ENV, {}, true);
  auto f = r.facts();
  EXPECT_EQ(f["stat"], "-1");
  EXPECT_EQ(f["stat_errno"], std::to_string(ENOENT));
  EXPECT_EQ(f["pid_by_number"], "1");
  EXPECT_EQ(f["bad_close"], "-1");
  EXPECT_EQ(f["bad_close_errno"], std::to_string(EBADF));
  const std::string wide =
      "create new 3\nopen_write new 3\nclose new 3\nopen_read_write new 3\nclose new 3\nmissing missing -1\n"
      "query new -1\nquery new -1\nmissing new -1\nopen_read . 3\nmissing nope/x -1\nquery new -1\nmake_dir d -1\nrename_from new -1\n"
      "rename_to d/moved -1\nlink_from d/moved -1\nlink_to hard -1\nsymlink soft -1\nquery soft -1\n"
      "open_read hard 4\nclose hard 4\ndelete hard -1\n"
      "create TMP 4\nopen_read_write TMP 4\ndelete TMP -1\nwrite TMP 4\nclose TMP 4\nopen_read d 4\n"
      "close d 4\nmissing gone -1\nmissing absent -1\ndelete d/moved -1\ndelete d -1\nmake_dir w -1\n"
      "missing w/a -1\nmissing b -1\nmissing w/c -1\nmissing d -1\nmissing w/e -1\ndelete w -1\nclose . 3\n";
  EXPECT_EQ(path_story(r, dir), testing_wide_library() ? wide : "");
  EXPECT_EQ(count_events(r.events, "missing", "file:/velmora-no-such-entry"), testing_wide_library() ? 1u : 0u);
}

// Program starts: a search along PATH reports each place without the program, an exec
// its program and arguments (TAB and backslash escaped within a field), posix_spawn
// and popen under the child's pid, a vfork child under its own (also once its parent has
// a ring, and the parent under its own after it), on the ring as on the pipe.
TEST(PathEvents, ProgramStartsNameProgramAndArguments) {
  for (const Sink sink : {Sink::PIPE_ENV, Sink::RING}) {
    SCOPED_TRACE(sink == Sink::RING ? "ring" : "pipe");
    TempDir dir;
    RunResult r = drive({"programs", dir.path()}, sink, {}, true);
    auto f = r.facts();
    std::vector<std::string> got;
    for (const Event& e : r.events)
      if (e.kind == "exec" || e.kind == "exec_failed" || e.detail.ends_with("/velmora-no-such-program"))
        got.push_back(e.kind + " " + e.detail + " " + std::to_string(e.pid) + " " + std::to_string(e.tid));
    // In order within a thread; the processes' rings and the pipe are read apart.
    const auto by_thread = [](std::vector<std::string>& lines) {
      std::stable_sort(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
        return a.substr(a.rfind(' ')) < b.substr(b.rfind(' '));
      });
    };
    by_thread(got);
    const std::vector<std::string> wide = {
        "missing file:" + dir.file("nobin/velmora-no-such-program") + " " + f["child"] + " " + f["child"],
        "missing file:/usr/bin/velmora-no-such-program " + f["child"] + " " + f["child"],
        "exec /bin/true\ttrue\ta\\tb\tc\\\\d " + f["child"] + " " + f["child"],
        "exec /bin/true\ttrue\tz " + f["spawned"] + " " + f["pid"],
        "exec /bin/true\ttrue\tv " + f["vforked"] + " " + f["vforked"],
        "exec /bin/sh\tsh\t-c\techo $$ " + f["shell"] + " " + f["pid"],
        "missing file:" + dir.file("velmora-no-such-program") + " " + f["late"] + " " + f["late"],
        "exec /bin/true\ttrue\tw " + f["late"] + " " + f["late"],
        "missing file:" + dir.file("velmora-no-such-program") + " " + f["pid"] + " " + f["pid"]};
    std::vector<std::string> want = testing_wide_library() ? wide : std::vector<std::string>{};
    by_thread(want);
    EXPECT_EQ(got, want);
  }
}

}  // namespace
}  // namespace velmora_test
