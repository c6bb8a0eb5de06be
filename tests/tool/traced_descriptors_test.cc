// The program's own descriptors under the real library: closed one by one, by range or
// by Python's subprocess, the event pipe among them; what then goes through the log file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tool_runner.h"

namespace velmora::trace::testing {
namespace {

// No event line may ever land in a file of the program's own, even once
// the event pipe's number has been closed and reused by the program.
TEST(TracedDescriptors, ClosesInheritedDescriptorsBeforeAnyEvent) {
  TempDir dir;
  const RunResult r = run_tool(dir, with_lib({"--format", "raw", "-o", dir / "raw", fd_helper_path(), dir.path()}));
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

// A ring takes pages as its records need them: when the file system fills up after the
// ring was made, the records that would need more go through the pipe, none lost.
TEST(TracedDescriptors, ARingWhoseFileSystemFillsUpHandsTheRestToThePipe) {
  if (std::system("unshare -m true 2>/dev/null") != 0) GTEST_SKIP() << "no mount namespace of our own";
  TempDir dir;
  write_file(dir / "fill.sh", "exec 3>" + (dir / "f") + "\necho x >&3\nhead -c 4M /dev/zero >/dev/shm/fill\n" +
                                  "for i in $(seq 3000); do echo x >&3; done\n");
  const std::string tool = tool_path() + " --format raw -o " + (dir / "raw");
  ASSERT_EQ(std::system(("unshare -m sh -c 'mount -t tmpfs -o size=1200k none /dev/shm && exec " + tool +
                         " -- bash " + (dir / "fill.sh") + "' 2>/dev/null").c_str()), 0);
  EXPECT_EQ(count_events(raw_events(dir / "raw"), "write", "file:" + (dir / "f")), 3001u);
}

// The helper closes descriptors 3 and up one by one with close(), the event
// pipe's among them, then writes and reads files of its own.
TEST(TracedDescriptors, ClosesInheritedDescriptorsAfterReporting) {
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

TEST(TracedDescriptors, ClosesInheritedDescriptorsWithCloseRange) {
  TempDir dir;
  const RunResult r = run_tool(dir, with_lib({"--format", "raw", "-o", dir / "raw", fd_helper_path(), dir.path(),
                                              "--event-first", "--close-range"}));
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST(TracedDescriptors, PythonClosesRangeThenOpensFiles) {
  REQUIRE_PYTHON();
  TempDir dir;
  const RunResult r = run_tool(dir, with_lib({"--format", "raw", "-o", dir / "raw", python3_path(),
                                              script_path("close_all_then_write.py"), dir.path()}));
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

// Python's subprocess closes every inherited descriptor above 2 by default.
TEST(TracedDescriptors, SubprocessChildWithDefaultArgumentsIsSeen) {
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
TEST(TracedDescriptors, ChildSlowedByTheLogFileGetsOneNote) {
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

}  // namespace
}  // namespace velmora::trace::testing
