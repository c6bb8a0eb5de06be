// bash with redirections and a pipeline, git building a repository, and man formatting a
// page: programs that start other programs and work on many files.
#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>

#include "program_matrix.h"

namespace velmora_test::programs {
namespace {

constexpr const char* kScript = R"(set -e
echo x > f
printf 'b\na\nb\n' >> f
cat < f
exec 3< f
read -r -u 3 first
exec 3<&-
echo "first=$first"
cat f | sort | uniq
echo end >> f
)";

// bash reads its script and, through `read -u 3`, a file on a descriptor of its own;
// the cat in the pipeline reads f by name. Everything the redirections do lands on
// descriptors 0 and 1, which the library leaves alone: `> f`, `>> f` and `< f` are
// unseen whoever does the I/O.
TEST(Bash, ScriptReadsAreSeenRedirectionsOntoStandardDescriptorsAreNot) {
  const Prepare setup = [](const std::string& dir) { write_file(dir + "/script.sh", kScript); };
  Paired p = run_paired(setup, [](const std::string&) {
    RunOptions o;
    o.argv = {"bash", "script.sh"};
    return o;
  });
  expect_same_behaviour(p);
  EXPECT_EQ(p.traced.result.out, "x\nb\na\nb\nfirst=x\na\nb\nx\n");
  EXPECT_EQ(read_file(p.traced.path("f")), "x\nb\na\nb\nend\n");

  const RunResult& r = p.traced.result;
  expect_well_formed(r);
  const std::string script = p.traced.file("script.sh"), f = p.traced.file("f");
  ASSERT_FALSE(r.events.empty());
  const auto script_reads =
      select(r.events, [&](const Event& e) { return e.kind == "read" && e.detail == script; });
  ASSERT_FALSE(script_reads.empty()) << listing(r.events);
  const int32_t shell = script_reads.front().pid;
  for (const Event& e : script_reads) EXPECT_EQ(e.pid, shell);

  // The wide library sees the redirections too: every write lands on 1, in f.
  if (testing_wide_library()) {
    EXPECT_GE(count_events(select(r.events, [](const Event& e) { return e.fd == 1; }), "write", f), 3u)
        << listing(r.events);
    return;
  }
  // The shell's own read of f on descriptor 3, then the close that `exec 3<&-` makes.
  const auto by_shell = select(r.events, [&](const Event& e) { return e.pid == shell && e.detail == f; });
  EXPECT_EQ(kinds_of(by_shell, f), "read close") << listing(r.events);
  for (const Event& e : by_shell) EXPECT_EQ(e.fd, 3);
  // The pipeline's cat, another process, reads f by name.
  const auto by_others = select(r.events, [&](const Event& e) { return e.pid != shell && e.detail == f; });
  EXPECT_EQ(kinds_of(by_others, f), "read close") << listing(r.events);
  // The writes and the `cat < f` are all on 0..2.
  EXPECT_EQ(count_events(r.events, "write", f), 0u) << listing(r.events);
  for (const Event& e : under(r.events, p.traced.dir->path())) EXPECT_GT(e.fd, 2);
}

// git with no configuration of the user's, fixed identities and dates so the commit
// ids match too.
Options git(std::vector<std::string> args) {
  return [args](const std::string& dir) {
    RunOptions o;
    o.argv = {"git", "-c", "init.defaultBranch=main", "-c", "gc.auto=0", "-c", "maintenance.auto=false"};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.env = {{"HOME", dir},
             {"GIT_CONFIG_NOSYSTEM", "1"},
             {"GIT_CONFIG_GLOBAL", "/dev/null"},
             {"GIT_AUTHOR_NAME", "Ann Author"},
             {"GIT_AUTHOR_EMAIL", "ann@example.com"},
             {"GIT_COMMITTER_NAME", "Cal Committer"},
             {"GIT_COMMITTER_EMAIL", "cal@example.com"},
             {"GIT_AUTHOR_DATE", "2021-02-03T04:05:06Z"},
             {"GIT_COMMITTER_DATE", "2021-02-03T04:05:06Z"},
             {"LC_ALL", "C"}};
    o.unset_env = {"GIT_DIR", "GIT_WORK_TREE", "GIT_INDEX_FILE", "GIT_OBJECT_DIRECTORY",
                   "GIT_ALTERNATE_OBJECT_DIRECTORIES", "GIT_CEILING_DIRECTORIES", "GIT_TRACE"};
    return o;
  };
}

// git reads the work tree's files through read() and writes every object, the index,
// the config and the refs through write(), each under its lock or temporary name; it
// reads the index by mapping it, which only the wide library sees.
TEST(Git, InitAddCommitIsSeenFileByFileAndProducesTheSameObjects) {
  if (find_program("git").empty()) GTEST_SKIP() << "git is not installed";
  const Prepare setup = [](const std::string& dir) {
    std::filesystem::create_directories(dir + "/repo/src");
    write_file(dir + "/repo/a.txt", "hello\n");
    write_file(dir + "/repo/src/b.txt", "world\n");
    std::string bytes;
    for (int i = 0; i < 4096; ++i) bytes.push_back(static_cast<char>((i * 31) & 0xff));
    write_file(dir + "/repo/src/c.bin", bytes);
  };
  Paired p = run_paired(setup, git({"-C", "repo", "init", "-q"}));
  RunResult init = p.traced.result;
  expect_same_outcome(init, p.plain.result, "git init");
  RunResult add, commit, ids, plain;
  run_step(p, git({"-C", "repo", "add", "."}), &add, &plain);
  expect_same_outcome(add, plain, "git add");
  run_step(p, git({"-C", "repo", "commit", "-q", "-m", "first"}), &commit, &plain);
  expect_same_outcome(commit, plain, "git commit");
  run_step(p, git({"-C", "repo", "rev-parse", "HEAD", "HEAD^{tree}", "HEAD:a.txt", "HEAD:src",
                   "HEAD:src/b.txt", "HEAD:src/c.bin"}),
           &ids, &plain);
  expect_same_outcome(ids, plain, "git rev-parse");
  // The index holds inode numbers and change times; every other byte must match.
  expect_same_behaviour(p, {"repo/.git/index"});

  std::vector<std::string> objects;
  std::istringstream lines(ids.out);
  for (std::string id; std::getline(lines, id);) objects.push_back(id);
  ASSERT_EQ(objects.size(), 6u) << ids.out << ids.err;
  const std::string git_dir = p.traced.path("repo/.git");

  for (const RunResult* r : {&init, &add, &commit, &ids}) expect_well_formed(*r);
  const auto wrote_under = [](const RunResult& r, const std::string& prefix) {
    return !select(r.events, [&](const Event& e) {
              return e.kind == "write" && e.detail.rfind("file:" + prefix, 0) == 0;
            }).empty();
  };
  EXPECT_TRUE(rounds_of(kinds_of(init.events, "file:" + git_dir + "/config.lock"), "write"))
      << listing(init.events);

  EXPECT_EQ(kinds_of(add.events, p.traced.file("repo/a.txt")), "read close") << listing(add.events);
  EXPECT_EQ(kinds_of(add.events, p.traced.file("repo/src/b.txt")), "read close") << listing(add.events);
  EXPECT_EQ(kinds_of(add.events, p.traced.file("repo/src/c.bin")), "read close") << listing(add.events);
  EXPECT_EQ(kinds_of(add.events, "file:" + git_dir + "/index.lock"), "write close") << listing(add.events);
  // Blobs are written by git add, trees and the commit by git commit, each into a
  // temporary file in its object's fan-out directory.
  for (std::size_t blob : {2u, 4u, 5u})
    EXPECT_TRUE(wrote_under(add, git_dir + "/objects/" + objects[blob].substr(0, 2) + "/tmp_obj_"))
        << objects[blob] << "\n" << listing(add.events);
  for (std::size_t made : {0u, 1u, 3u})
    EXPECT_TRUE(wrote_under(commit, git_dir + "/objects/" + objects[made].substr(0, 2) + "/tmp_obj_"))
        << objects[made] << "\n" << listing(commit.events);
  EXPECT_EQ(kinds_of(commit.events, "file:" + git_dir + "/refs/heads/main.lock"), "write close")
      << listing(commit.events);
  EXPECT_EQ(kinds_of(commit.events, "file:" + git_dir + "/logs/HEAD"), "write close")
      << listing(commit.events);
  // Objects are written whole; the wide library also sees git map existing ones to
  // read them (the narrow one never sees a mapping).
  for (const RunResult* r : {&add, &commit})
    for (const Event& e : under(r->events, git_dir + "/objects")) {
      const std::string story = kinds_of(r->events, e.detail);
      EXPECT_TRUE(story == "write close" ||
                  (testing_wide_library() && (rounds_of(story, "read") || story == "close")))  // a folder opened
          << e.detail << ": " << story;
    }
  EXPECT_GE(count_events(ids.events, "read", "file:" + git_dir + "/HEAD"), 1u) << listing(ids.events);

  // git status maps the index to read it: seen by the wide library alone.
  RunResult status;
  run_step(p, git({"-C", "repo", "status", "--porcelain"}), &status, &plain);
  expect_same_outcome(status, plain, "git status");
  expect_well_formed(status);
  const std::size_t index_reads = count_events(status.events, "read", "file:" + git_dir + "/index");
  EXPECT_EQ(index_reads > 0, testing_wide_library()) << listing(status.events);
}

// man finds the page, reads the compressed source and hands it to a formatting pipeline
// of other programs (whose own reads are seen too, each under its pid).
TEST(Man, FormattingAPageIsSeenReadingItsSource) {
  if (find_program("man").empty()) GTEST_SKIP() << "man is not installed";
  RunOptions where;
  where.argv = {"man", "-w", "ls"};
  where.preload = false;
  where.sink = Sink::NONE;
  const RunResult located = run(where);
  const std::string source = located.out.substr(0, located.out.find('\n'));
  if (!located.ok() || source.empty() || source[0] != '/') GTEST_SKIP() << "no manual page for ls";

  // A width other than 80 keeps man off its preformatted cache, so it neither reads
  // nor writes cat pages and both runs do the same work.
  Paired p = run_paired([](const std::string&) {}, [](const std::string& dir) {
    RunOptions o;
    o.argv = {"man", "-P", "cat", "ls"};
    o.env = {{"MANWIDTH", "72"}, {"HOME", dir}, {"LC_ALL", "C"}};
    o.unset_env = {"MANPAGER", "PAGER", "MANOPT", "MANPATH", "MANSECT"};
    return o;
  });
  expect_same_behaviour(p);
  EXPECT_NE(p.traced.result.out.find("ls"), std::string::npos);
  const RunResult& r = p.traced.result;
  expect_well_formed(r);
  // man itself reads the page's start, and a decompressing child of its own reads it
  // all again for the formatter: each of them reads and closes it.
  const std::string page = "file:" + source;
  // (The wide library adds a close of an open made before any read.)
  std::string story = kinds_of(r.events, page);
  if (testing_wide_library() && story.starts_with("close ")) story.erase(0, 6);
  EXPECT_TRUE(rounds_of(story, "read")) << listing(r.events);
  ASSERT_FALSE(r.events.empty());
  const int32_t man = r.events.front().pid;
  EXPECT_EQ(kinds_of(select(r.events, [&](const Event& e) { return e.pid == man; }), page),
            testing_wide_library() ? "close read close" : "read close")
      << listing(r.events);
}

// What a build tool, a shell script and the file commands did to the files of their
// directory, from the wide library's events, beside strace -f on the same run: the same
// files read, written, created, deleted, renamed, probed and found missing, and
// directories made. The tables are printed for the record.
TEST(FilesTouched, BuildToolsShellScriptsFileCommandsAndNodeAgainstStrace) {
  if (!testing_wide_library()) GTEST_SKIP() << "only the wide library reports paths";
  if (find_program("strace").empty()) GTEST_SKIP() << "strace is not installed";
  const auto files = [](std::vector<std::pair<std::string, std::string>> contents) {
    return [contents](const std::string& dir) {
      for (const auto& [name, text] : contents) {
        std::filesystem::create_directories(std::filesystem::path(dir + "/" + name).parent_path());
        if (!name.ends_with("/")) write_file(dir + "/" + name, text);
      }
    };
  };
  const std::string c_file = "int f(void) { return 1; }\n";
  const struct {
    const char* name;
    Prepare setup;
    std::vector<std::string> argv;
  } cases[] = {
      {"gcc -c, two include folders",
       files({{"inc1/", ""}, {"inc2/h.h", "int h(void);\n"}, {"x.c", "#include <h.h>\nint f(void) { return h(); }\n"}}),
       {"gcc", "-c", "-Iinc1", "-Iinc2", "x.c", "-o", "x.o"}},
      {"make, three files",
       files({{"Makefile", "prog: a.o b.o c.o\n\t$(CC) -o $@ $^\n"}, {"a.c", "int main(void) { return 0; }\n"},
              {"b.c", c_file}, {"c.c", "int g(void) { return 2; }\n"}}),
       {"make", "-s"}},
      {"shell redirections", files({{"in.txt", "b\na\n"}}),
       {"sh", "-c", "echo a > out1; sort in.txt > out2; cat in.txt >> out1; wc -l < in.txt > out3; sort -o out4 in.txt"}},
      {"touch mv rm mkdir", files({}),
       {"sh", "-c", "touch t1 && mkdir d && mv t1 d/t2 && rm d/t2 && rmdir d && mkdir -p e/f"}},
      {"node", files({}),
       {"node", "-e", "const fs = require('fs'); fs.writeFileSync('n.txt', 'x'); fs.readFileSync('n.txt');"
                      "fs.renameSync('n.txt', 'm.txt'); fs.existsSync('nope'); fs.unlinkSync('m.txt');"}},
  };
  for (const auto& c : cases) {
    const Options options = [&](const std::string&) {
      RunOptions o;
      o.argv = c.argv;
      o.every_kind = true;
      return o;
    };
    Paired p = run_paired(c.setup, options);
    expect_same_behaviour(p);
    expect_well_formed(p.traced.result);
    const std::string seen = files_touched(p.traced.result.events, p.traced.dir->path()).table();
    const std::string strace = strace_files(c.setup, options).table();
    std::cout << c.name << "\n library:\n" << seen << " strace -f:\n" << strace;
    EXPECT_EQ(seen, strace) << c.name;
  }
}

}  // namespace
}  // namespace velmora_test::programs
