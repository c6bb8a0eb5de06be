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
  bool every_kind = false;
  for (const Event& e : events)
    every_kind |= e.kind != "read" && e.kind != "write" && e.kind != "close" && e.kind != "connect" && e.kind != "sql_write";
  for (std::size_t i = 0; i < events.size(); ++i) {
    const Event& e = events[i];
    EXPECT_GT(e.pid, 0) << "event " << i;
    EXPECT_GT(e.tid, 0) << "event " << i;
    EXPECT_FALSE(e.detail.empty()) << "event " << i;
    first_index.emplace(e.pid, i);
    const auto key = std::make_pair(e.pid, e.fd);
    if (e.kind == "read" || e.kind == "write" || e.kind == "connect" || e.kind.starts_with("open_") ||
        e.kind == "accept") {
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
    // The wide library names a file at its open, whose line a five-kind run leaves out.
    EXPECT_TRUE(inherited || (testing_wide_library() && !every_kind)) << "close " << e.detail << " fd " << e.fd << " pid " << e.pid
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

// What strace -f logged of `calls` while the command `options` gives for `dir` ran
// without the library; -y names each descriptor's file. Empty without strace.
std::string strace_log(const std::string& dir, const Options& options, const std::string& calls) {
  const std::string strace = find_program("strace");
  if (strace.empty()) return {};
  TempDir log_dir;
  RunOptions o = options(dir);
  if (o.cwd.empty()) o.cwd = dir;
  o.preload = false;
  o.sink = Sink::NONE;
  const std::string log = log_dir.file("strace.log");
  std::vector<std::string> argv = {strace, "-f", "-qq", "-y", "-s", "0", "-o", log, "-e", "trace=" + calls};
  argv.insert(argv.end(), o.argv.begin(), o.argv.end());
  o.argv = argv;
  const RunResult r = run(o);
  EXPECT_TRUE(r.ok()) << "under strace: " << r.err;
  return read_file(log);
}

}  // namespace

SyscallCounts strace_counts(const Prepare& setup, const Options& options) {
  SyscallCounts counts;
  if (find_program("strace").empty()) return counts;
  TempDir dir;
  setup(dir.path());
  std::istringstream lines(strace_log(dir.path(), options, "read,readv,pread64,preadv,write,writev,pwrite64,pwritev"));
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

namespace {

std::string relative_to(const std::string& root, const std::string& path) {
  const std::string normal = std::filesystem::path(path).lexically_normal().string();
  return normal.starts_with(root + "/") ? normal.substr(root.size() + 1) : std::string();
}

// The path arguments of one strace line, made absolute: `dirfd<dir>, "path"` pairs
// (AT_FDCWD shows the working directory under -y), other relative paths against `cwd`.
std::vector<std::string> strace_paths(const std::string& args, const std::string& cwd) {
  std::vector<std::string> paths;
  for (std::size_t at = 0; (at = args.find('"', at)) != std::string::npos;) {
    const std::size_t end = args.find('"', at + 1);
    if (end == std::string::npos) break;
    std::string path = args.substr(at + 1, end - at - 1);
    const std::size_t gt = args.rfind(">, ", at);
    if (!path.starts_with("/"))
      path = (gt != std::string::npos && gt + 3 == at ? args.substr(args.rfind('<', gt) + 1, gt - args.rfind('<', gt) - 1)
                                                       : cwd) + "/" + path;
    paths.push_back(path);
    at = end + 1;
  }
  return paths;
}

}  // namespace

std::string FilesTouched::table() const {
  std::ostringstream out;
  for (const auto& [name, set] : {std::pair{"read", &read}, {"written", &written}, {"created", &created},
                                  {"deleted", &deleted}, {"renamed", &renamed}, {"missing", &missing},
                                  {"dirs made", &dirs_made}}) {
    out << "  " << name << " (" << set->size() << "):";
    for (const std::string& p : *set) out << " " << p;
    out << "\n";
  }
  return out.str();
}

FilesTouched files_touched(const std::vector<Event>& events, const std::string& root) {
  FilesTouched t;
  std::string from;
  for (const Event& e : events) {
    if (!e.detail.starts_with("file:")) continue;
    const std::string rel = relative_to(root, e.detail.substr(5));
    if (rel.empty()) continue;
    const std::map<std::string, std::set<std::string>*> sets = {
        {"read", &t.read}, {"write", &t.written}, {"create", &t.created}, {"delete", &t.deleted},
        {"missing", &t.missing}, {"make_dir", &t.dirs_made}};
    if (auto it = sets.find(e.kind); it != sets.end()) it->second->insert(rel);
    if (e.kind == "rename_from") from = rel;
    if (e.kind == "rename_to") t.renamed.insert(from + " -> " + rel);
  }
  return t;
}

FilesTouched strace_files(const Prepare& setup, const Options& options) {
  FilesTouched t;
  if (find_program("strace").empty()) return t;
  TempDir dir;
  setup(dir.path());
  std::set<std::string> present;  // what exists, as the calls go: creations are opens of absent paths
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path()))
    present.insert(relative_to(dir.path(), entry.path().string()));
  std::istringstream lines(
      strace_log(dir.path(), options, "%file,fchdir,read,readv,pread64,preadv,write,writev,pwrite64,pwritev"));
  std::map<std::string, std::string> cwd;  // by pid
  for (std::string line; std::getline(lines, line);) {
    std::string kind, path;
    if (strace_file(line, &kind, &path)) {
      const std::string rel = relative_to(dir.path(), path);
      if (!rel.empty()) (kind == "read" ? t.read : t.written).insert(rel);
      continue;
    }
    const std::size_t at = line.find_first_not_of("0123456789 "), open = line.find('(', at);
    const std::size_t eq = line.rfind(" = "), close = line.rfind(')', eq);  // strace pads before " = "
    if (at == std::string::npos || open == std::string::npos || eq == std::string::npos || close < open) continue;
    const std::string call = line.substr(at, open - at), result = line.substr(eq + 3);
    const std::string pid = line.substr(0, line.find(' '));
    if (!cwd.contains(pid)) cwd[pid] = dir.path();
    std::vector<std::string> paths = strace_paths(line.substr(open + 1, close - open - 1), cwd[pid]);
    if (call == "fchdir" && result == "0") {  // mkdir -p walks down; -y shows where
      const std::size_t lt = line.find('<', open);
      cwd[pid] = line.substr(lt + 1, line.find('>', lt) - lt - 1);
    }
    if (call == "chdir" && result == "0" && !paths.empty()) cwd[pid] = paths[0];
    if (call == "symlink" || call == "symlinkat") paths.erase(paths.begin());  // the target is text
    if (paths.empty()) continue;
    const std::string first = relative_to(dir.path(), paths[0]);
    if (result.starts_with("-1 ENOENT") || result.starts_with("-1 ENOTDIR")) {
      if (!first.empty()) t.missing.insert(first);
      continue;
    }
    if (result.starts_with("-1") || first.empty()) continue;
    if (call == "unlink" || call == "unlinkat" || call == "rmdir") {
      t.deleted.insert(first);
      present.erase(first);
    } else if (call == "mkdir" || call == "mkdirat") {
      t.dirs_made.insert(first);
      present.insert(first);
    } else if (call.starts_with("rename") && paths.size() == 2) {
      const std::string to = relative_to(dir.path(), paths[1]);
      t.renamed.insert(first + " -> " + to);
      present.erase(first);
      present.insert(to);
    } else if ((call == "openat" || call == "open" || call == "creat") &&
               (call == "creat" || line.find("O_CREAT") != std::string::npos)) {
      if (present.insert(first).second) t.created.insert(first);
    }
  }
  return t;
}

}  // namespace velmora_test::programs
