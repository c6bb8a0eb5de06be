// Runs a real program twice on identical fresh inputs, once with the library preloaded
// and once without, so a test can demand that the library changed nothing the program
// does and then look at what it reported.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "preload_run.h"

namespace velmora_test::programs {

// Everything observable about a directory tree: for each relative path, its type and
// permission bits and then its bytes (or link target).
std::map<std::string, std::string> snapshot(const std::string& root,
                                            const std::set<std::string>& ignore = {});

// One side of a paired run: its own directory and what the program did there.
struct Side {
  std::unique_ptr<TempDir> dir = std::make_unique<TempDir>();
  RunResult result;
  std::string path(const std::string& relative) const { return dir->file(relative); }
  std::string file(const std::string& relative) const { return "file:" + dir->file(relative); }
};

struct Paired {
  Side traced;
  Side plain;
};

// Prepare fills a fresh directory with the inputs; options builds the run for a
// directory (argv, cwd, env). Both sides get the same treatment; only preload differs.
using Prepare = std::function<void(const std::string& dir)>;
using Options = std::function<RunOptions(const std::string& dir)>;
Paired run_paired(const Prepare& setup, const Options& options);

// A second step in both directories of an existing pair (each side's next command).
void run_step(Paired& pair, const Options& options, RunResult* traced, RunResult* plain);

// Equal bytes; otherwise the sizes and the first difference with some context (the
// outputs can be large, and a full diff of them would take ages to print).
testing::AssertionResult same_bytes(const std::string& traced, const std::string& plain);

// Same exit, same standard output, same files written (ignoring the listed paths).
void expect_same_behaviour(const Paired& pair, const std::set<std::string>& ignore = {});
void expect_same_outcome(const RunResult& traced, const RunResult& plain, const std::string& what);

// Structural checks every traced program must pass: every line parsed, positive ids,
// and every close preceded by a read, write or connect of the same name and number in
// that process (since its last close of the number), or in a process that ran before it started (a forked child
// inherits the names its parent had learned, e.g. a subshell closing the script's
// descriptor).
void expect_well_formed(const std::vector<Event>& events, std::size_t malformed);
inline void expect_well_formed(const RunResult& r) { expect_well_formed(r.events, r.malformed); }

// "kind detail fd pid" per line, for failure messages.
std::string listing(const std::vector<Event>& events);

// The per-name story: the kinds of that detail's events in order, runs of the same kind
// counted once ("read read read close" is "read close"), so it does not depend on
// buffer sizes.
std::string kinds_of(const std::vector<Event>& events, const std::string& detail);

// The story is one or more rounds of `kind` then close, e.g. a lock file rewritten
// several times: "write close write close".
bool rounds_of(const std::string& story, const std::string& kind);

// The read and write system calls strace saw on each file under a fresh directory
// (keyed by the path relative to it) when options' program ran there without the
// library, after setup filled the directory as for run_paired. Empty when strace is
// not installed.
struct SyscallCounts {
  std::map<std::string, std::size_t> reads;
  std::map<std::string, std::size_t> writes;
};
SyscallCounts strace_counts(const Prepare& setup, const Options& options);

// The same counts from the library's "read" and "write" events on files under root.
SyscallCounts event_counts(const std::vector<Event>& events, const std::string& root);

// For each file named: the library's count of each kind within `percent` of strace's
// (both zero, or both not), with the whole picture in the failure message.
void expect_counts_close(const SyscallCounts& library, const SyscallCounts& strace,
                         const std::vector<std::string>& files, int percent);

// What a program did to the files under a directory, as paths relative to it ("from ->
// to" for a rename): from the wide library's events, or from strace -f on a fresh
// directory prepared alike (an open with O_CREAT of a path absent at that moment counts
// as a creation).
struct FilesTouched {
  std::set<std::string> read, written, created, deleted, renamed, missing, dirs_made;
  std::string table() const;
};
FilesTouched files_touched(const std::vector<Event>& events, const std::string& root);
FilesTouched strace_files(const Prepare& setup, const Options& options);

}  // namespace velmora_test::programs
