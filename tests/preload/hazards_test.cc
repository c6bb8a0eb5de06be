// Traps of a preloaded library: fork with the table locked, signal handlers that
// write, sink writes interrupted by signals. Each must finish, bounded in time.
#include <gtest/gtest.h>

#include "preload_run.h"

namespace velmora_test {
namespace {

TEST(Hazards, ForkWhileOtherThreadsUseTheTableNeverHangsTheChild) {
  TempDir dir;
  RunOptions o;
  o.argv = {driver_path(), "fork_storm", dir.path(), "300"};
  o.timeout_seconds = 240;
  RunResult r = run(o);
  ASSERT_TRUE(r.ok()) << r.err;
  EXPECT_EQ(r.facts().at("hung"), "0");
  EXPECT_EQ(r.malformed, 0u);
}

// Every real function is found at the first call of any wrapper, in the loaded objects'
// own symbol tables: no call goes through dlsym (the loader's lock), and no later first
// call (say, inside a signal handler) reads a symbol table (the driver makes the C
// library's unreadable after the first call; LD_BIND_NOW keeps the loader out of them).
TEST(Hazards, TheFirstCallFindsEveryRealFunctionWithoutDlsymAndNoLaterCallLooksUpAny) {
  TempDir dir;
  RunOptions o;
  o.argv = {driver_path(), "lookups", dir.file("f")};
  o.env = {{"LD_BIND_NOW", "1"}};
  RunResult r = run(o);
  ASSERT_TRUE(r.ok()) << "a signal here: a later call read a symbol table\n" << describe(r);
  auto facts = r.facts();
  EXPECT_EQ(facts.at("written"), "1");
  EXPECT_EQ(facts.at("first"), "0");
  EXPECT_EQ(facts.at("later"), "0");
}

// A plugin's constructor runs inside dlopen, which holds the loader's lock; the thread it
// starts and waits for makes the process's first observed call, which must not need it.
// The plugin is named from the program's own directory ($ORIGIN): the loader must still
// see the program, not the library, as dlopen's caller. The wide library reports it once.
TEST(Hazards, AThreadAPluginConstructorWaitsForMakesTheFirstCallWithoutDeadlock) {
  TempDir dir;
  const std::string driver = driver_path();
  RunOptions o;
  o.argv = {driver, "plugin", "$ORIGIN/libvelmora_test_plugin.so", dir.file("f")};
  o.timeout_seconds = 20;
  o.every_kind = true;
  RunResult r = run(o);
  ASSERT_FALSE(r.timed_out) << "deadlocked";
  ASSERT_TRUE(r.ok()) << describe(r);
  EXPECT_EQ(count_events(r.events, "write", "file:" + dir.file("f")), 1u);
  const std::string plugin = "file:" + driver.substr(0, driver.rfind('/')) + "/libvelmora_test_plugin.so";
  EXPECT_EQ(count_events(r.events, "load", plugin), testing_wide_library() ? 1u : 0u) << describe(r);
}

// A handler doing observed I/O on an alternate signal stack needs at most 1 KiB more of it
// than without the library, on every path. No lazy binding: it would fill the plain stack.
TEST(Hazards, ObservedCallsInASignalHandlerFitAnAlternateStackOneKibLarger) {
  TempDir dir;
  RunOptions o;
  o.argv = {socket_driver_path(), "signal_stack", dir.path()};
  o.env = {{"LD_BIND_NOW", "1"}};
  o.preload = false;
  const auto plain = run(o).facts();
  o.preload = true;
  const auto traced = run(o).facts();
  for (const auto& [path, bytes] : plain) EXPECT_LE(std::stol(traced.at(path)) - std::stol(bytes), 1024) << path;
}

TEST(Hazards, SignalHandlerWritingDuringTableOperationsDoesNotDeadlock) {
  TempDir dir;
  RunOptions o;
  o.argv = {driver_path(), "signal_storm", dir.file("f"), "300000"};
  o.timeout_seconds = 60;  // a normal run takes a few seconds
  RunResult r = run(o);
  ASSERT_FALSE(r.timed_out) << "deadlocked";  // also in a handler run during fork
  ASSERT_TRUE(r.ok()) << r.err;
  EXPECT_EQ(r.facts().at("done"), "1");
  EXPECT_GE(r.of_kind("write").size(), 300000u);
  EXPECT_EQ(r.malformed, 0u);
}

TEST(Hazards, InterruptedAndShortSinkWritesStillDeliverWholeLines) {
  TempDir dir;
  const std::string path = dir.file(std::string(200, 'n'));
  RunOptions o;
  o.argv = {driver_path(), "interrupted_sink", path, "20000"};
  o.timeout_seconds = 240;
  RunResult r = run(o);
  ASSERT_TRUE(r.ok()) << r.err;
  EXPECT_EQ(r.facts().at("ok"), "20000");
  EXPECT_EQ(r.malformed, 0u);
  EXPECT_EQ(r.with_detail("file:" + path).size(), 20000u);
}

// A handler that names new files, closes them, sends datagrams to new addresses and
// makes long lines, while the threads it interrupts are inside malloc: no deadlock, no
// heap corruption, every signal handled.
TEST(Hazards, SignalHandlerDoingIoWhileThreadsAllocateNeverHangsOrAborts) {
  TempDir dir;
  RunOptions o;
  o.argv = {driver_path(), "signal_malloc", dir.path(), "1000"};
  o.timeout_seconds = 120;
  RunResult r = run(o);
  ASSERT_FALSE(r.timed_out) << "hung";
  ASSERT_TRUE(r.ok()) << r.err;
  EXPECT_EQ(r.facts().at("handled"), "1000");
  EXPECT_EQ(r.malformed, 0u);
}

// A vfork child that overwrites and uses a descriptor before _exit shares the parent's
// memory but not its descriptors: the parent's name stays, the child adds no line.
TEST(Hazards, VforkChildLeavesTheParentsNamesAlone) {
  TempDir dir;
  RunOptions o;
  o.argv = {driver_path(), "vfork_dup", dir.path()};
  RunResult r = run(o);
  ASSERT_TRUE(r.ok()) << r.err;
  auto f = r.facts();
  std::string got;
  for (const Event& e : r.events) got += e.kind + " " + e.detail + " " + std::to_string(e.fd) + " " + std::to_string(e.pid) + "\n";
  const std::string a = "file:" + dir.file("a") + " " + f["a"] + " " + f["pid"] + "\n";
  // b, named at its open by the wide library, is reported at its close.
  const std::string b = "close file:" + dir.file("b") + " " + std::to_string(std::stoi(f["a"]) + 1) + " " + f["pid"] + "\n";
  EXPECT_EQ(got, "write " + a + "write " + a + "close " + a + (testing_wide_library() ? b : ""));
}

}  // namespace
}  // namespace velmora_test
