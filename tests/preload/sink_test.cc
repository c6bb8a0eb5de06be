// Where lines go: the host's pipe (environment or setter), the log file, or nowhere.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "preload_run.h"

namespace velmora_test {
namespace {

RunResult drive(RunOptions o, std::vector<std::string> args) {
  o.argv = {driver_path()};
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  RunResult r = run(o);
  EXPECT_TRUE(r.ok()) << r.err;
  return r;
}


TEST(Sink, SetterBeforeAnyEventWinsOverTheEnvironment) {
  TempDir dir;
  RunResult r = drive({}, {"setter", "first", dir.file("f")});
  EXPECT_EQ(r.facts().at("own_lines"), "2");
  EXPECT_EQ(r.raw, "");  // the environment's pipe is never used
}

TEST(Sink, SetterAfterTheFirstEventMovesTheRest) {
  TempDir dir;
  RunResult r = drive({}, {"setter", "later", dir.file("f")});
  EXPECT_EQ(r.facts().at("own_lines"), "2");
  EXPECT_EQ(r.of_kind("write").size(), 1u);
}

TEST(Sink, SetterMinusOneFallsBackToTheLogFileOrNowhere) {
  TempDir dir;
  RunOptions o;
  o.env = {{"VELMORA_IO_LOG", dir.file("log")}};
  RunResult r = drive(o, {"setter", "off", dir.file("f")});
  EXPECT_EQ(r.raw, "");
  EXPECT_EQ(count_lines(read_file(dir.file("log"))), 2u);

  o.env.clear();
  o.sink = Sink::NONE;
  r = drive(o, {"setter", "off", dir.file("g")});
  EXPECT_EQ(r.facts().at("own_lines"), "0");
}

// A host written in C against the public header: preloaded, its pipe receives exactly
// the documented lines and the environment's pipe nothing; not preloaded, the weak
// declarations are null.
TEST(Sink, HostUsingThePublicHeaderReadsItsOwnLines) {
  TempDir dir;
  RunResult r = drive({}, {"host", dir.file("f")});
  EXPECT_EQ(r.facts().at("preloaded"), "1");
  EXPECT_EQ(r.facts().at("own_lines_as_documented"), "1") << r.err;
  EXPECT_EQ(r.raw, "");

  RunOptions plain;
  plain.preload = false;
  plain.sink = Sink::NONE;
  r = drive(plain, {"host", dir.file("g")});
  EXPECT_EQ(r.facts().at("preloaded"), "0");
}

TEST(Sink, PipeFromTheEnvironmentIsNeverBackedByTheLogFile) {
  TempDir dir;
  RunOptions o;
  o.env = {{"VELMORA_IO_LOG", dir.file("log")}};
  RunResult r = drive(o, {"write", dir.file("f"), "2"});
  EXPECT_EQ(r.of_kind("write").size(), 2u);
  EXPECT_FALSE(std::filesystem::exists(dir.file("log")));
}

// Values the environment variable may hold, and whether lines then use the pipe (at
// descriptor 100) or the log file.
TEST(Sink, EnvironmentDescriptorIsParsedStrictly) {
  struct Case {
    const char* value;
    bool to_pipe;
  } cases[] = {{"100", true}, {"+100", true}, {"0100", true}, {"-5", false},
               {"-2147483648", false}, {" 100", false}, {"100 ", false}, {"100x", false},
               {"0x64", false}, {"2147483648", false}, {"", false}, {"+", false}, {"-", false}};
  for (const Case& c : cases) {
    TempDir dir;
    RunOptions o;
    o.env = {{"VELMORA_IO_FD", c.value}, {"VELMORA_IO_LOG", dir.file("log")}};
    o.sink = Sink::PIPE_ENV;  // the pipe is still at 100; the variable decides
    RunResult r = drive(o, {"write", dir.file("f")});
    const std::string log = read_file(dir.file("log"));
    EXPECT_EQ(count_lines(r.raw), c.to_pipe ? 2u : 0u) << "value '" << c.value << "'";
    EXPECT_EQ(count_lines(five_kinds_only(log)), c.to_pipe ? 0u : 2u) << "value '" << c.value << "'";
  }
}

// A number that an intermediate program closed and this program reused for one of its
// own files must never receive event lines.
TEST(Sink, EnvironmentDescriptorThatIsARegularFileIsIgnored) {
  TempDir dir;
  RunOptions o;
  o.sink = Sink::NONE;
  o.files_at = {{9, dir.file("victim")}};
  o.env = {{"VELMORA_IO_FD", "9"}, {"VELMORA_IO_LOG", dir.file("log")}};
  RunResult r = drive(o, {"write", dir.file("f"), "3"});
  EXPECT_EQ(read_file(dir.file("victim")), "");
  EXPECT_EQ(count_lines(five_kinds_only(read_file(dir.file("log")))), 4u);  // three writes and the close
}

// A host that states its pipe's identity gets exactly that object adopted: the pipe at
// the number is not the one stated, so it receives nothing and lines go to the log.
TEST(Sink, EnvironmentDescriptorIsAdoptedOnlyWhenItsStatedIdentityMatches) {
  TempDir dir;
  RunOptions o;
  o.env = {{"VELMORA_IO_PIPEID", "0:1"}, {"VELMORA_IO_LOG", dir.file("log")}};
  RunResult r = drive(o, {"write", dir.file("f"), "3"});
  EXPECT_EQ(r.raw, "");
  EXPECT_EQ(count_lines(five_kinds_only(read_file(dir.file("log")))), 4u);
}

TEST(Sink, LogFileIsCreatedWithUmaskAppliedAndAppendedNeverTruncated) {
  TempDir dir;
  const std::string log = dir.file("log");
  for (const char* mask : {"022", "077"}) {
    std::filesystem::remove(log);
    RunOptions o;
    o.sink = Sink::LOG_FILE;
    o.log_path = log;
    // Preloaded only from the driver on: the wide library's lines from the shell itself
    // would create the log before the umask.
    o.preload = false;
    o.argv = {"/bin/sh", "-c", std::string("umask ") + mask + "; LD_PRELOAD=\"$2\" exec \"$0\" write \"$1\"",
              driver_path(), dir.file("f"), library_path()};
    ASSERT_TRUE(run(o).ok());
    struct stat st;
    ASSERT_EQ(stat(log.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, std::string(mask) == "022" ? 0644u : 0600u);
  }
  write_file(log, "kept\n");
  RunOptions o;
  o.sink = Sink::LOG_FILE;
  o.log_path = log;
  RunResult r = drive(o, {"write", dir.file("f")});
  EXPECT_EQ(r.raw.substr(0, 5), "kept\n");
  EXPECT_EQ(r.events.size(), 2u);
}

TEST(Sink, LogFileIsNotHeldOpenBetweenLines) {
  TempDir dir;
  RunOptions o;
  o.sink = Sink::LOG_FILE;
  o.log_path = dir.file("log");
  RunResult r = drive(o, {"log_fds", dir.file("f"), "50"});
  EXPECT_EQ(r.facts().at("fds_before"), r.facts().at("fds_after"));
  EXPECT_EQ(r.of_kind("write").size(), 51u);
}

TEST(Sink, LogFileDoesNotLeakIntoProgramsStartedMeanwhile) {
  TempDir dir;
  RunOptions o;
  o.sink = Sink::LOG_FILE;
  o.log_path = dir.file("log");
  RunResult r = drive(o, {"cloexec", dir.file("f"), o.log_path, "40"});
  EXPECT_EQ(r.facts().at("leaks"), "0");
  EXPECT_GT(r.of_kind("write").size(), 0u);
}

// The descriptor table is the program's: nothing of the library's under the ring, the
// pipe's private duplicate only once a line went to the pipe, and closefrom takes it.
TEST(Sink, TheProgramsDescriptorsAreItsOwn) {
  TempDir dir;
  RunOptions o;
  o.preload = false;
  const auto base = drive(o, {"sink_fds", dir.file("a")}).facts();
  o.preload = true;
  o.sink = Sink::RING;
  RunResult r = drive(o, {"sink_fds", dir.file("b")});
  EXPECT_EQ(r.facts().at("fds"), base.at("fds"));
  EXPECT_EQ(r.of_kind("write").size(), 2u);
  r = drive({}, {"sink_fds", dir.file("c")});
  EXPECT_EQ(std::stoi(r.facts().at("fds")), std::stoi(base.at("fds")) + 1);
  EXPECT_EQ(r.facts().at("fds_after_closefrom"), base.at("fds_after_closefrom"));
}

// The library's own files never harm the program: a ring that the file-size limit or a
// full file system refuses is not used (the pipe takes the lines), a log line that
// would cross the limit is dropped, and no ring is made for a host that is not there.
TEST(Sink, RingAndLogFileYieldToTheProcesssLimits) {
  TempDir dir;
  // 400 writes: the program's own file stays under a limit of 512 bytes, its lines do not.
  const std::string write_lines = "exec " + driver_path() + " write " + dir.file("f") + " 400";
  RunOptions o;
  o.sink = Sink::RING;
  for (const std::vector<std::string>& argv : std::vector<std::vector<std::string>>{
           {"/bin/sh", "-c", "ulimit -f 512 && " + write_lines},
           {"unshare", "-m", "/bin/sh", "-c", "mount -t tmpfs -o size=256k none \"$VELMORA_IO_RING\" && " + write_lines}}) {
    // The full file system needs a mount namespace of the test's own.
    if (argv[0] == "unshare" && std::system("unshare -m true 2>/dev/null") != 0) continue;
    o.argv = argv;
    RunResult r = run(o);
    EXPECT_TRUE(r.ok()) << describe(r);
    EXPECT_EQ(count_events(r.events, "write", "file:" + dir.file("f")), 400u) << argv[0];
  }
  o.sink = Sink::LOG_FILE;
  o.log_path = dir.file("log");
  o.argv = {"/bin/sh", "-c", "ulimit -f 1; " + write_lines};
  EXPECT_TRUE(run(o).ok());
  EXPECT_LE(std::filesystem::file_size(o.log_path), 1024u);
  o.sink = Sink::PIPE_ENV;
  o.env = {{"VELMORA_IO_RING", dir.file("")}};
  o.argv = {"/bin/sh", "-c", "for i in 1 2 3 4 5 6 7 8 9 10; do cat /etc/hostname; done"};
  EXPECT_TRUE(run(o).ok());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);  // f and log
}

TEST(Sink, UnwritableLogPathLosesLinesNotTheProgram) {
  TempDir dir;
  RunOptions o;
  o.sink = Sink::LOG_FILE;
  o.log_path = dir.file("missing-dir/log");
  RunResult r = drive(o, {"write", dir.file("f"), "5"});
  EXPECT_EQ(read_file(dir.file("f")), "xxxxx");
  EXPECT_EQ(r.raw, "");
}

// A log "file" that is a FIFO nobody reads: the program runs on and the lines are lost.
TEST(Sink, LogFifoWithoutReaderNeverBlocksTheProgram) {
  TempDir dir;
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  RunOptions o;
  o.sink = Sink::NONE;
  o.env = {{"VELMORA_IO_LOG", dir.file("fifo")}};
  o.timeout_seconds = 20;
  RunResult r = drive(o, {"write", dir.file("f"), "3"});
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(read_file(dir.file("f")), "xxx");
}

// An in-process host that reads its socket sink with recv drains it: the reads of its
// own read end add no lines.
TEST(Sink, HostDrainingASocketSinkWithRecvAddsNoLines) {
  TempDir dir;
  RunResult r = drive({}, {"socket_sink", dir.file("f")});
  EXPECT_EQ(r.facts().at("drained"), "1");
  EXPECT_EQ(r.facts().at("lines"), "5");
}

}  // namespace
}  // namespace velmora_test
