#include "program_matrix.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <sstream>
#include <system_error>

namespace velmora_test::programs {

namespace fs = std::filesystem;

std::map<std::string, std::string> snapshot(const std::string& root, const std::set<std::string>& ignore) {
  std::map<std::string, std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const std::string rel = fs::relative(it->path(), root).string();
    if (ignore.count(rel)) {
      if (it->is_directory()) it.disable_recursion_pending();
      continue;
    }
    struct stat st;
    if (lstat(it->path().c_str(), &st) != 0) continue;
    std::string desc = std::to_string(st.st_mode & 07777) + " ";
    if (S_ISLNK(st.st_mode)) {
      desc += "link " + fs::read_symlink(it->path(), ec).string();
    } else if (S_ISDIR(st.st_mode)) {
      desc += "dir";
    } else if (S_ISREG(st.st_mode)) {
      desc += "file " + read_file(it->path().string());
    } else {
      desc += "other";
    }
    files[rel] = std::move(desc);
  }
  return files;
}

namespace {

RunResult run_in(const std::string& dir, const Options& options, bool preload) {
  RunOptions o = options(dir);
  o.preload = preload;
  if (o.cwd.empty()) o.cwd = dir;
  return run(o);
}

}  // namespace

Paired run_paired(const Prepare& setup, const Options& options) {
  Paired pair;
  setup(pair.traced.dir->path());
  setup(pair.plain.dir->path());
  pair.traced.result = run_in(pair.traced.dir->path(), options, true);
  pair.plain.result = run_in(pair.plain.dir->path(), options, false);
  return pair;
}

void run_step(Paired& pair, const Options& options, RunResult* traced, RunResult* plain) {
  *traced = run_in(pair.traced.dir->path(), options, true);
  *plain = run_in(pair.plain.dir->path(), options, false);
}

testing::AssertionResult same_bytes(const std::string& traced, const std::string& plain) {
  if (traced == plain) return testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < traced.size() && at < plain.size() && traced[at] == plain[at]) ++at;
  const std::size_t from = at < 40 ? 0 : at - 40;
  return testing::AssertionFailure() << "traced " << traced.size() << " bytes, plain " << plain.size()
                                     << " bytes, first difference at " << at << "\ntraced: "
                                     << testing::PrintToString(traced.substr(from, 80))
                                     << "\nplain:  " << testing::PrintToString(plain.substr(from, 80));
}

void expect_same_outcome(const RunResult& traced, const RunResult& plain, const std::string& what) {
  EXPECT_FALSE(traced.timed_out) << what;
  EXPECT_FALSE(plain.timed_out) << what;
  EXPECT_EQ(traced.exit_code, plain.exit_code) << what << "\ntraced stderr: " << traced.err
                                               << "\nplain stderr: " << plain.err;
  EXPECT_EQ(traced.term_signal, plain.term_signal) << what;
  EXPECT_TRUE(same_bytes(traced.out, plain.out)) << what << " standard output";
  // The plain run must not produce events: nothing was preloaded.
  EXPECT_TRUE(plain.raw.empty()) << what;
}

void expect_same_behaviour(const Paired& pair, const std::set<std::string>& ignore) {
  expect_same_outcome(pair.traced.result, pair.plain.result, "program run");
  const auto traced = snapshot(pair.traced.dir->path(), ignore);
  const auto plain = snapshot(pair.plain.dir->path(), ignore);
  EXPECT_EQ(traced.size(), plain.size());
  for (const auto& [path, desc] : plain) {
    auto it = traced.find(path);
    if (it == traced.end()) {
      ADD_FAILURE() << "only the plain run left " << path;
      continue;
    }
    EXPECT_TRUE(same_bytes(it->second, desc)) << path;
  }
  for (const auto& [path, desc] : traced)
    if (!plain.count(path)) ADD_FAILURE() << "only the traced run left " << path;
}

void expect_well_formed(const std::vector<Event>& events, std::size_t malformed) {
  EXPECT_EQ(malformed, 0u);
  std::map<int32_t, std::size_t> first_index;  // pid -> its first event
  std::map<std::pair<int32_t, int32_t>, std::string> named;  // (pid, fd) -> detail
  for (std::size_t i = 0; i < events.size(); ++i) {
    const Event& e = events[i];
    EXPECT_GT(e.pid, 0) << "event " << i;
    EXPECT_GT(e.tid, 0) << "event " << i;
    EXPECT_FALSE(e.detail.empty()) << "event " << i;
    first_index.emplace(e.pid, i);
    const auto key = std::make_pair(e.pid, e.fd);
    if (e.kind == "read" || e.kind == "write" || e.kind == "connect") {
      named[key] = e.detail;
      continue;
    }
    if (e.kind != "close") continue;
    auto it = named.find(key);
    if (it != named.end()) {
      EXPECT_EQ(it->second, e.detail) << "close " << e.detail << " fd " << e.fd << " pid " << e.pid
                                      << " after that number was used as " << it->second;
      named.erase(it);
      continue;
    }
    bool inherited = false;
    for (std::size_t j = 0; j < first_index[e.pid] && !inherited; ++j) {
      const Event& p = events[j];
      inherited = p.pid != e.pid && p.fd == e.fd && p.detail == e.detail &&
                  (p.kind == "read" || p.kind == "write" || p.kind == "connect");
    }
    EXPECT_TRUE(inherited) << "close " << e.detail << " fd " << e.fd << " pid " << e.pid
                           << " (event " << i << ") with no earlier use of that name on that number";
  }
}

std::string listing(const std::vector<Event>& events) {
  std::string s;
  for (const Event& e : events)
    s += e.kind + " " + e.detail + " " + std::to_string(e.fd) + " " + std::to_string(e.pid) + "\n";
  return s;
}

std::string kinds_of(const std::vector<Event>& events, const std::string& detail) {
  std::string story, last;
  for (const Event& e : events) {
    if (e.detail != detail || e.kind == last) continue;
    story += (story.empty() ? "" : " ") + e.kind;
    last = e.kind;
  }
  return story;
}

bool rounds_of(const std::string& story, const std::string& kind) {
  const std::string round = kind + " close";
  if (story.empty()) return false;
  for (std::size_t at = 0; at < story.size(); at += round.size() + 1)
    if (story.compare(at, round.size(), round) != 0) return false;
  return story.size() % (round.size() + 1) == round.size();
}

namespace {

// The file of one strace line such as
//   4711  read(3</tmp/velmora-test-x/in.txt>, "..."..., 4096) = 4096
// when its call is one of the reading or writing ones: *kind is "read" or "write".
bool strace_file(const std::string& line, std::string* kind, std::string* path) {
  static const std::map<std::string, std::string> kinds = {
      {"read", "read"},   {"readv", "read"},   {"pread64", "read"},   {"preadv", "read"},
      {"write", "write"}, {"writev", "write"}, {"pwrite64", "write"}, {"pwritev", "write"}};
  std::size_t at = line.find_first_not_of("0123456789 ");
  const std::size_t open = line.find('(', at);
  if (at == std::string::npos || open == std::string::npos) return false;
  const auto k = kinds.find(line.substr(at, open - at));
  const std::size_t lt = line.find('<', open);
  const std::size_t gt = line.find(">,", lt);
  if (k == kinds.end() || lt == std::string::npos || gt == std::string::npos) return false;
  *kind = k->second;
  *path = line.substr(lt + 1, gt - lt - 1);
  return true;
}

void add(SyscallCounts* counts, const std::string& kind, const std::string& relative) {
  ++(kind == "read" ? counts->reads : counts->writes)[relative];
}

}  // namespace

SyscallCounts strace_counts(const Prepare& setup, const Options& options) {
  SyscallCounts counts;
  const std::string strace = find_program("strace");
  if (strace.empty()) return counts;
  TempDir dir, log_dir;
  setup(dir.path());
  RunOptions o = options(dir.path());
  if (o.cwd.empty()) o.cwd = dir.path();
  o.preload = false;
  o.sink = Sink::NONE;
  const std::string log = log_dir.file("strace.log");
  std::vector<std::string> argv = {strace, "-f", "-qq", "-y", "-s", "0", "-o", log,
                                   "-e", "trace=read,readv,pread64,preadv,write,writev,pwrite64,pwritev"};
  argv.insert(argv.end(), o.argv.begin(), o.argv.end());
  o.argv = argv;
  const RunResult r = run(o);
  EXPECT_TRUE(r.ok()) << "under strace: " << r.err;
  std::istringstream lines(read_file(log));
  const std::string prefix = dir.path() + "/";
  std::string kind, path;
  for (std::string line; std::getline(lines, line);) {
    if (strace_file(line, &kind, &path) && path.rfind(prefix, 0) == 0) add(&counts, kind, path.substr(prefix.size()));
  }
  return counts;
}

SyscallCounts event_counts(const std::vector<Event>& events, const std::string& root) {
  SyscallCounts counts;
  const std::string prefix = "file:" + root + "/";
  for (const Event& e : events) {
    if ((e.kind == "read" || e.kind == "write") && e.detail.rfind(prefix, 0) == 0)
      add(&counts, e.kind, e.detail.substr(prefix.size()));
  }
  return counts;
}

void expect_counts_close(const SyscallCounts& library, const SyscallCounts& strace,
                         const std::vector<std::string>& files, int percent) {
  auto at = [](const std::map<std::string, std::size_t>& m, const std::string& f) {
    const auto it = m.find(f);
    return it == m.end() ? std::size_t{0} : it->second;
  };
  std::string table;
  bool close = true;
  for (const std::string& f : files) {
    for (const bool reads : {true, false}) {
      const std::size_t mine = at(reads ? library.reads : library.writes, f);
      const std::size_t theirs = at(reads ? strace.reads : strace.writes, f);
      const std::size_t slack = theirs * static_cast<std::size_t>(percent);
      const bool ok = mine * 100 + slack >= theirs * 100 && mine * 100 <= theirs * 100 + slack &&
                      (mine == 0) == (theirs == 0);
      close = close && ok;
      table += (ok ? "  " : "! ") + f + (reads ? " read " : " write ") + std::to_string(mine) +
               " events, strace " + std::to_string(theirs) + "\n";
    }
  }
  EXPECT_TRUE(close) << "events against strace's system calls:\n" << table;
  if (close) std::cout << table;  // the figures, for whoever runs the test by hand
}

}  // namespace velmora_test::programs
