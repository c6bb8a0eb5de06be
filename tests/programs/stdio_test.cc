// Reads and writes through a C-library FILE: under the wide library seen when bytes move
// between the FILE's buffer and its descriptor, about as often as strace sees the read
// and write system calls on the same files, and never per character; under the narrow
// library not at all.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "program_matrix.h"

namespace velmora_test::programs {
namespace {

// The driver's reading functions, each reading DIR/<name>.in; its writing functions each
// write DIR/<name>.out (tests/support/stdio_scenario.cc).
const std::vector<std::string> READERS = {
    "fread", "fread_unlocked", "__fread_chk", "__fread_unlocked_chk", "fgets", "fgets_unlocked",
    "__fgets_chk", "__fgets_unlocked_chk", "getline", "getdelim", "__getdelim", "fgetc", "fgetc_unlocked",
    "getc", "getc_unlocked", "__uflow", "fscanf", "__isoc99_fscanf", "vfscanf", "__isoc99_vfscanf"};
const std::vector<std::string> WRITERS = {
    "fwrite", "fwrite_unlocked", "fputs", "fputs_unlocked", "fflush", "fflush_unlocked", "fputc",
    "fputc_unlocked", "putc", "putc_unlocked", "__overflow", "fprintf", "vfprintf", "__fprintf_chk",
    "__vfprintf_chk"};

constexpr std::size_t MEGABYTE = 1 << 20;

std::string text(std::size_t bytes) {
  std::string s;
  for (std::size_t i = 0; s.size() < bytes; ++i) s += "line " + std::to_string((i * 7919) % 5000) + ", word " + std::to_string(i) + "\n";
  s.resize(bytes);
  return s;
}

Options command(std::vector<std::string> argv, std::vector<std::pair<std::string, std::string>> env = {}) {
  return [argv, env](const std::string& dir) {
    RunOptions o;
    o.argv = argv;
    for (auto [name, value] : env) o.env.push_back({name, value == "." ? dir : value});
    return o;
  };
}

// Runs the program with the library and without it (same behaviour). Under the wide
// library, and under strace: every file either saw is within `percent` of strace's count
// for each kind. Under the narrow one: of the files read, only `narrow_sees` are seen.
RunResult expect_like_strace(const Prepare& setup, const Options& options, int percent,
                             const std::vector<std::string>& narrow_sees = {}) {
  Paired p = run_paired(setup, options);
  expect_same_behaviour(p);
  expect_well_formed(p.traced.result);
  if (!testing_wide_library()) {
    std::set<std::string> files;
    for (const auto& [file, n] : event_counts(p.traced.result.events, p.traced.dir->path()).reads) files.insert(file);
    EXPECT_EQ(files, std::set<std::string>(narrow_sees.begin(), narrow_sees.end()));
    return p.traced.result;
  }
  const SyscallCounts seen = event_counts(p.traced.result.events, p.traced.dir->path());
  const SyscallCounts strace = strace_counts(setup, options);
  std::set<std::string> files;
  for (const auto* m : {&seen.reads, &seen.writes, &strace.reads, &strace.writes})
    for (const auto& [file, n] : *m) files.insert(file);
  expect_counts_close(seen, strace, {files.begin(), files.end()}, percent);
  return p.traced.result;
}

std::size_t reads_of(const RunResult& r, const std::string& file) {
  std::size_t n = 0;
  for (const Event& e : r.events) n += e.kind == "read" && e.detail.size() > file.size() + 1 &&
                                       e.detail.compare(e.detail.size() - file.size() - 1, std::string::npos, "/" + file) == 0;
  return n;
}

// The driver's files are plain files read and written in one pass, where the judgement
// follows the C library exactly: every count is strace's (a missed flush at fclose, a
// refill counted twice would show).
TEST(Stdio, EachFunctionOnItsOwnFileAgainstStrace) {
  if (testing_wide_library() && find_program("strace").empty()) GTEST_SKIP() << "strace is not installed";
  const Prepare setup = [](const std::string& dir) {
    for (const std::string& r : READERS) write_file(dir + "/" + r + ".in", text(r == "getc" ? MEGABYTE : 40000));
  };
  const RunResult r = expect_like_strace(
      setup, [](const std::string& dir) { return command({driver_path(), "stdio", dir})(dir); }, 0);
  ASSERT_TRUE(r.ok()) << r.err;
  auto facts = r.facts();
  for (const std::string& name : READERS)
    EXPECT_EQ(facts[name], std::to_string(name == "getc" ? MEGABYTE : 40000)) << name;
  if (!testing_wide_library()) return;
  for (const std::string& name : READERS) EXPECT_GT(reads_of(r, name + ".in"), 1u) << name;
  // A million getc calls: one event per refill of the buffer, not per character.
  EXPECT_LT(reads_of(r, "getc.in"), MEGABYTE / 1000);
}

void config_and_inputs(const std::string& dir) {
  write_file(dir + "/in.txt", text(300000));
  write_file(dir + "/small.txt", "b\na\nc\na\n");
  std::filesystem::create_directories(dir + "/repo/.git/objects");
  std::filesystem::create_directories(dir + "/repo/.git/refs/heads");
  write_file(dir + "/repo/.git/HEAD", "ref: refs/heads/main\n");
  std::string config = "[core]\n\trepositoryformatversion = 0\n\tbare = false\n";
  for (int i = 0; i < 400; ++i) config += "[section" + std::to_string(i) + "]\n\tkey = value number " + std::to_string(i) + "\n";
  write_file(dir + "/repo/.git/config", config + "[user]\n\tname = Stdio Reader\n");
}

TEST(Stdio, ProgramsReadingThroughStdioAgainstStrace) {
  if (testing_wide_library() && find_program("strace").empty()) GTEST_SKIP() << "strace is not installed";
  const bool wide = testing_wide_library();
  RunResult r = expect_like_strace(config_and_inputs, command({"sort", "in.txt"}), 20);
  EXPECT_EQ(reads_of(r, "in.txt") > 1, wide);
  r = expect_like_strace(config_and_inputs, command({"sha256sum", "in.txt", "small.txt"}), 20);
  EXPECT_EQ(reads_of(r, "in.txt") > 1, wide);
  EXPECT_EQ(reads_of(r, "small.txt") > 0, wide);
  // wc -l reads with read(): seen by both.
  r = expect_like_strace(config_and_inputs, command({"wc", "-l", "in.txt"}), 20, {"in.txt"});
  EXPECT_GT(reads_of(r, "in.txt"), 1u);
  if (find_program("git").empty()) GTEST_SKIP() << "git is not installed";
  // git reads HEAD with read(), its configuration through stdio.
  r = expect_like_strace(config_and_inputs,
                         command({"git", "-C", "repo", "config", "--get", "user.name"},
                                 {{"HOME", "."}, {"GIT_CONFIG_NOSYSTEM", "1"}, {"XDG_CONFIG_HOME", "."}}),
                         20, {"repo/.git/HEAD"});
  EXPECT_EQ(r.out, "Stdio Reader\n");
  EXPECT_EQ(reads_of(r, ".git/config") > 1, wide);
}

}  // namespace
}  // namespace velmora_test::programs
