// The file utilities: the ones that read and write through read()/write() are seen file
// by file; the ones that copy in the kernel or go through stdio are seen by the wide
// library only, and pinned as unseen by the narrow one, so a change in either direction
// is noticed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "program_matrix.h"

namespace velmora_test::programs {
namespace {

// Big enough that every reader needs several reads.
std::string sample(std::size_t lines) {
  std::string s;
  for (std::size_t i = 0; i < lines; ++i) s += "line " + std::to_string((i * 7919) % lines) + "\n";
  return s;
}

std::string all_bytes() {
  std::string s;
  for (int i = 0; i < 256; ++i) s.push_back(static_cast<char>(i));
  return s;
}

void inputs(const std::string& dir) {
  write_file(dir + "/in.txt", sample(20000));
  write_file(dir + "/small.txt", "b\na\nc\na\n");
}

Options command(std::vector<std::string> argv) {
  return [argv](const std::string&) {
    RunOptions o;
    o.argv = argv;
    return o;
  };
}

// The silence of a blind program is only meaningful if the library is loaded and would
// name that very file: cat, run the same way on it, must be seen.
void expect_seen_by_cat(const Side& side, const std::string& name) {
  RunOptions o;
  o.argv = {"cat", name};
  o.cwd = side.dir->path();
  const RunResult r = run(o);
  ASSERT_TRUE(r.ok()) << r.err;
  EXPECT_EQ(kinds_of(r.events, side.file(name)), "read close") << listing(r.events);
}

void expect_nothing_seen(const Side& side, const std::string& control) {
  expect_well_formed(side.result);
  EXPECT_EQ(listing(under(side.result.events, side.dir->path())), "");
  expect_seen_by_cat(side, control);
}

TEST(Coreutils, CatIsSeenReadingEachInputAndClosingIt) {
  Paired p = run_paired(inputs, command({"cat", "in.txt", "small.txt"}));
  expect_same_behaviour(p);
  const RunResult& r = p.traced.result;
  expect_well_formed(r);
  const auto mine = under(r.events, p.traced.dir->path());
  EXPECT_EQ(kinds_of(mine, p.traced.file("in.txt")), "read close") << listing(mine);
  EXPECT_EQ(kinds_of(mine, p.traced.file("small.txt")), "read close") << listing(mine);
  EXPECT_GE(count_events(mine, "read", p.traced.file("in.txt")), 3u);  // data in chunks, then end of file
  for (const Event& e : mine) {
    EXPECT_GT(e.fd, 2);
    EXPECT_EQ(e.pid, mine.front().pid);
    EXPECT_EQ(e.tid, e.pid);
  }
  EXPECT_EQ(mine.size(), r.events.size()) << "cat touched nothing else: " << listing(r.events);
}

// With a regular file as its output cat copies in the kernel (copy_file_range) and
// makes no read at all; through a pipe (above) it reads. The narrow library sees
// nothing of it; the wide one sees the copy's read of the input and its write into
// descriptor 1, after the shell's open of it on 3 and the close of 3 once moved onto 1.
TEST(Coreutils, CatIntoARegularFileCopiesInTheKernel) {
  Paired p = run_paired(inputs, command({"bash", "-c", "exec cat in.txt > out.txt"}));
  expect_same_behaviour(p);
  EXPECT_TRUE(same_bytes(read_file(p.traced.path("out.txt")), read_file(p.traced.path("in.txt"))));
  if (!testing_wide_library()) return expect_nothing_seen(p.traced, "in.txt");
  const auto mine = under(p.traced.result.events, p.traced.dir->path());
  EXPECT_EQ(kinds_of(mine, p.traced.file("in.txt")), "read close") << listing(mine);
  EXPECT_EQ(kinds_of(mine, p.traced.file("out.txt")), "close write close") << listing(mine);
}

// cp copies with copy_file_range by default: the narrow library never sees either file
// read or written; the wide one sees each copy file by file.
TEST(Coreutils, CpCopiesInTheKernel) {
  const Prepare setup = [](const std::string& dir) {
    inputs(dir);
    std::filesystem::create_directories(dir + "/tree/sub");
    write_file(dir + "/tree/sub/bytes.bin", all_bytes());
  };
  Paired p = run_paired(setup, command({"cp", "in.txt", "out.txt"}));
  expect_same_behaviour(p);
  const bool wide = testing_wide_library();
  if (wide) {
    const auto mine = under(p.traced.result.events, p.traced.dir->path());
    EXPECT_EQ(kinds_of(mine, p.traced.file("in.txt")), "read close") << listing(mine);
    EXPECT_EQ(kinds_of(mine, p.traced.file("out.txt")), "write close") << listing(mine);
  } else {
    expect_nothing_seen(p.traced, "in.txt");
  }

  RunResult traced, plain;
  run_step(p, command({"cp", "-r", "tree", "copy"}), &traced, &plain);
  expect_same_outcome(traced, plain, "cp -r");
  expect_same_behaviour(p);
  const auto copied = under(traced.events, p.traced.dir->path());
  if (wide) {
    EXPECT_EQ(kinds_of(copied, p.traced.file("tree/sub/bytes.bin")), "read close") << listing(copied);
    EXPECT_EQ(kinds_of(copied, p.traced.file("copy/sub/bytes.bin")), "write close") << listing(copied);
  } else {
    EXPECT_EQ(listing(copied), "");
  }
}

// Without reflinks cp falls back to a read/write loop, and then both files are seen.
TEST(Coreutils, CpWithoutReflinkIsSeenReadingAndWriting) {
  Paired p = run_paired(inputs, command({"cp", "--reflink=never", "in.txt", "out.txt"}));
  expect_same_behaviour(p);
  const RunResult& r = p.traced.result;
  expect_well_formed(r);
  const auto mine = under(r.events, p.traced.dir->path());
  EXPECT_EQ(kinds_of(mine, p.traced.file("in.txt")), "read close") << listing(mine);
  EXPECT_EQ(kinds_of(mine, p.traced.file("out.txt")), "write close") << listing(mine);
}

// dd opens if= and of= onto descriptors 0 and 1, below what the library watches.
TEST(Coreutils, DdWorksOnStandardDescriptorsAndIsUnseen) {
  Paired p = run_paired(inputs, command({"dd", "if=in.txt", "of=out.txt", "bs=4096", "status=none"}));
  expect_same_behaviour(p);
  EXPECT_TRUE(same_bytes(read_file(p.traced.path("out.txt")), read_file(p.traced.path("in.txt"))));
  // The wide library sees dd's files once moved onto 0 and 1 (the closes of 3 first).
  const auto mine = under(p.traced.result.events, p.traced.dir->path());
  if (testing_wide_library()) {
    EXPECT_TRUE(kinds_of(mine, p.traced.file("in.txt")).starts_with("close read")) << listing(mine);
    EXPECT_TRUE(kinds_of(mine, p.traced.file("out.txt")).starts_with("close write")) << listing(mine);
  } else {
    expect_nothing_seen(p.traced, "in.txt");
  }

  RunResult traced, plain;
  run_step(p, command({"dd", "if=small.txt", "bs=1", "skip=2", "count=3", "status=none"}), &traced, &plain);
  expect_same_outcome(traced, plain, "dd to standard output");
  EXPECT_EQ(traced.out, "a\nc");
  EXPECT_EQ(kinds_of(under(traced.events, p.traced.dir->path()), p.traced.file("small.txt")),
            testing_wide_library() ? "close read close" : "");
}

// sort and sha256sum read through stdio, inside the C library: unseen by the narrow
// library; the wide one sees each input read and closed (stdio_test.cc holds its counts
// against strace's). sort -o writes through descriptor 1, which neither watches.
TEST(Coreutils, SortAndSha256sumReadThroughStdio) {
  const bool wide = testing_wide_library();
  Paired p = run_paired(inputs, command({"sort", "in.txt"}));
  expect_same_behaviour(p);
  EXPECT_EQ(p.traced.result.out.size(), read_file(p.traced.path("in.txt")).size());
  auto stories = [&](const RunResult& r, std::vector<std::string> names) {
    expect_well_formed(r);
    const auto mine = under(r.events, p.traced.dir->path());
    std::string all;
    for (const std::string& name : names) all += name + ": " + kinds_of(mine, p.traced.file(name)) + "\n";
    return all + listing(select(mine, [&](const Event& e) {
             return std::find(names.begin(), names.end(), e.detail.substr(e.detail.rfind('/') + 1)) == names.end();
           }));
  };
  const std::string seen = wide ? "read close" : "";
  if (wide) {
    EXPECT_EQ(stories(p.traced.result, {"in.txt"}), "in.txt: " + seen + "\n");
  } else {
    expect_nothing_seen(p.traced, "in.txt");
  }

  RunResult traced, plain;
  run_step(p, command({"sort", "-u", "-o", "sorted.txt", "small.txt"}), &traced, &plain);
  expect_same_outcome(traced, plain, "sort -o");
  expect_same_behaviour(p);
  EXPECT_EQ(read_file(p.traced.path("sorted.txt")), "a\nb\nc\n");
  EXPECT_EQ(stories(traced, {"small.txt", "sorted.txt"}),
            "small.txt: " + seen + "\nsorted.txt: " + (wide ? "close write close" : "") + "\n");

  run_step(p, command({"sha256sum", "in.txt", "small.txt"}), &traced, &plain);
  expect_same_outcome(traced, plain, "sha256sum");
  EXPECT_NE(traced.out.find("  small.txt\n"), std::string::npos) << traced.out;
  EXPECT_EQ(stories(traced, {"in.txt", "small.txt"}), "in.txt: " + seen + "\nsmall.txt: " + seen + "\n");
}

// tar reads and writes with read()/write(): creating an archive shows every member read
// and the archive written; extracting shows the archive read and every member written.
TEST(Coreutils, TarIsSeenArchivingAndExtractingATree) {
  const Prepare setup = [](const std::string& dir) {
    std::filesystem::create_directories(dir + "/tree/sub/deeper");
    write_file(dir + "/tree/a.txt", sample(3000));
    write_file(dir + "/tree/sub/b.txt", "bee\n");
    write_file(dir + "/tree/sub/deeper/bytes.bin", all_bytes());
    write_file(dir + "/tree/empty", "");
    std::filesystem::create_directories(dir + "/out");
  };
  // Fixed order, times and owners so the two archives are byte for byte the same.
  Paired p = run_paired(setup, command({"tar", "--sort=name", "--mtime=@0", "--owner=0", "--group=0",
                                        "--numeric-owner", "-cf", "t.tar", "tree"}));
  const RunResult& c = p.traced.result;
  expect_same_outcome(c, p.plain.result, "tar c");
  expect_well_formed(c);
  auto mine = under(c.events, p.traced.dir->path());
  for (const char* member : {"tree/a.txt", "tree/sub/b.txt", "tree/sub/deeper/bytes.bin"})
    EXPECT_EQ(kinds_of(mine, p.traced.file(member)), "read close") << member << "\n" << listing(mine);
  EXPECT_EQ(kinds_of(mine, p.traced.file("t.tar")), "write close") << listing(mine);
  // Never opened: nothing to read in it.
  EXPECT_EQ(kinds_of(mine, p.traced.file("tree/empty")), "");

  RunResult x, plain;
  run_step(p, command({"tar", "-xf", "t.tar", "-C", "out"}), &x, &plain);
  expect_same_outcome(x, plain, "tar x");
  expect_same_behaviour(p);
  EXPECT_EQ(read_file(p.traced.path("out/tree/sub/deeper/bytes.bin")), all_bytes());
  expect_well_formed(x);
  mine = under(x.events, p.traced.dir->path());
  EXPECT_EQ(kinds_of(mine, p.traced.file("t.tar")), "read close") << listing(mine);
  for (const char* member : {"out/tree/a.txt", "out/tree/sub/b.txt", "out/tree/sub/deeper/bytes.bin"})
    EXPECT_EQ(kinds_of(mine, p.traced.file(member)), "write close") << member << "\n" << listing(mine);
  // Made and closed without a write: the wide library named it at its open.
  EXPECT_EQ(kinds_of(mine, p.traced.file("out/tree/empty")), testing_wide_library() ? "close" : "");
}

}  // namespace
}  // namespace velmora_test::programs
