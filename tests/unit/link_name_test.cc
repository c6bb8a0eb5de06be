#include "link_name.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace velmora_io {
namespace {

using namespace std::string_view_literals;

const std::string R = "\xEF\xBF\xBD";

struct TargetCase {
  const char* name;
  std::string_view target;
  bool is_file;
  friend void PrintTo(const TargetCase& c, std::ostream* os) { *os << c.name; }
};

class LinkTargetIsFile : public ::testing::TestWithParam<TargetCase> {};

TEST_P(LinkTargetIsFile, AcceptsAbsolutePathsNotMarkedDeleted) {
  EXPECT_EQ(link_target_is_file(GetParam().target), GetParam().is_file);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LinkTargetIsFile,
    ::testing::Values(
        TargetCase{"plain_file", "/tmp/a", true},
        TargetCase{"root", "/", true},
        TargetCase{"dev_null", "/dev/null", true},
        TargetCase{"deleted_suffix", "/tmp/a (deleted)", false},
        TargetCase{"deleted_in_directory", "/tmp/(deleted)/a", false},
        TargetCase{"deleted_without_blank", "/tmp/a(deleted)", false},
        TargetCase{"deleted_capitalised_is_a_file", "/tmp/a (Deleted)", true},
        TargetCase{"deleted_unbalanced_is_a_file", "/tmp/a (deleted", true},
        TargetCase{"memfd", "/memfd:buf (deleted)", false},
        TargetCase{"pipe", "pipe:[4711]", false},
        TargetCase{"socket", "socket:[1]", false},
        TargetCase{"anon_inode", "anon_inode:[eventfd]", false},
        TargetCase{"anon_inode_bare", "anon_inode:inotify", false},
        TargetCase{"relative", "tmp/a", false},
        TargetCase{"empty", "", false},
        TargetCase{"leading_blank", " /tmp/a", false}),
    [](const auto& info) { return std::string(info.param.name); });

struct NameCase {
  const char* name;
  std::string_view target;
  std::string expected;
  friend void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }
};

class FileNameFromLink : public ::testing::TestWithParam<NameCase> {};

TEST_P(FileNameFromLink, PrefixesAndRepairsUtf8) {
  TextCopy name;
  ASSERT_TRUE(file_name_from_link(GetParam().target, &name));
  EXPECT_EQ(name.view(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FileNameFromLink,
    ::testing::Values(
        NameCase{"plain", "/tmp/a.txt", "file:/tmp/a.txt"},
        NameCase{"root", "/", "file:/"},
        NameCase{"utf8_kept", "/tmp/caf\xC3\xA9", "file:/tmp/caf\xC3\xA9"},
        NameCase{"ff_replaced", "/tmp/\xFF", "file:/tmp/" + R},
        NameCase{"latin1_replaced", "/tmp/caf\xE9.txt", "file:/tmp/caf" + R + ".txt"},
        NameCase{"overlong_replaced_per_byte", "/tmp/\xC0\xAF", "file:/tmp/" + R + R},
        NameCase{"truncated_sequence_once", "/tmp/\xE1\x80", "file:/tmp/" + R},
        NameCase{"newline_kept_unescaped", "/tmp/a\nb", "file:/tmp/a\nb"},
        NameCase{"tab_and_backslash_kept", "/tmp/a\tb\\c", "file:/tmp/a\tb\\c"},
        NameCase{"every_byte_bad", std::string_view("/\xFF\xFE\xFD\xFC", 5), "file:/" + R + R + R + R},
        NameCase{"empty", "", "file:"}),
    [](const auto& info) { return std::string(info.param.name); });

// A private directory tree under /tmp, built with *at() calls relative to directory
// descriptors so that paths longer than PATH_MAX can be made, and taken apart the same way.
class TempTree {
 public:
  TempTree() {
    char templ[] = "/tmp/velmora_link_test_XXXXXX";
    if (::mkdtemp(templ) == nullptr) std::abort();
    char* real = ::realpath(templ, nullptr);
    if (real == nullptr) std::abort();
    root_ = real;
    std::free(real);
    root_fd_ = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root_fd_ < 0) std::abort();
  }
  ~TempTree() {
    for (auto it = created_.rbegin(); it != created_.rend(); ++it) {
      ::unlinkat(it->parent, it->name.c_str(), it->is_dir ? AT_REMOVEDIR : 0);
    }
    for (auto it = dir_fds_.rbegin(); it != dir_fds_.rend(); ++it) ::close(*it);
    ::close(root_fd_);
    ::rmdir(root_.c_str());
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& root() const { return root_; }

  // Creates (or opens) a file named `name` in the directory `dir_fd` (root by default).
  int create_file(std::string_view name, int dir_fd = -1) {
    if (dir_fd < 0) dir_fd = root_fd_;
    const std::string n(name);
    const int fd = ::openat(dir_fd, n.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) created_.push_back({dir_fd, n, false});
    return fd;
  }

  int make_dir(std::string_view name, int dir_fd) {
    const std::string n(name);
    if (::mkdirat(dir_fd, n.c_str(), 0700) != 0) return -1;
    created_.push_back({dir_fd, n, true});
    const int fd = ::openat(dir_fd, n.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) dir_fds_.push_back(fd);
    return fd;
  }

  // Nested directories and a file whose absolute path is exactly `length` bytes; the
  // file name ends with `leaf_tail`. Returns the open file and its path.
  std::pair<int, std::string> nested_file(std::size_t length, std::string_view leaf_tail = {}) {
    std::string path = root_;
    int dir = root_fd_;
    while (length > path.size() + 256) {
      std::string component(200, 'd');
      component.replace(0, 4, std::to_string(1000 + dirs_made_++));
      dir = make_dir(component, dir);
      if (dir < 0) return {-1, {}};
      path += "/" + component;
    }
    if (length < path.size() + 2 + leaf_tail.size()) return {-1, {}};
    const std::string leaf = std::string(length - path.size() - 1 - leaf_tail.size(), 'f') + std::string(leaf_tail);
    path += "/" + leaf;
    return {create_file(leaf, dir), path};
  }

  // The last created entry is gone or has a new name; clean-up follows suit.
  void forget_last() { created_.pop_back(); }
  void renamed_last(std::string name) { created_.back().name = std::move(name); }

 private:
  struct Entry {
    int parent;
    std::string name;
    bool is_dir;
  };
  std::string root_;
  int root_fd_ = -1;
  std::vector<Entry> created_;
  std::vector<int> dir_fds_;
  int dirs_made_ = 0;
};

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::optional<std::string> link_name(int fd) {
  TextCopy name;
  if (!link_stage(fd, &name)) return std::nullopt;
  return std::string(name.view());
}

class LinkStage : public ::testing::Test {
 protected:
  TempTree tree_;
};

TEST_F(LinkStage, RegularFile) {
  Fd fd(tree_.create_file("a.txt"));
  ASSERT_GE(fd.get(), 0);
  EXPECT_EQ(link_name(fd.get()), "file:" + tree_.root() + "/a.txt");
}

TEST_F(LinkStage, DirectoryRootAndDeviceAreNamed) {
  Fd dir(::open(tree_.root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  Fd root(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  Fd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
  ASSERT_GE(dir.get(), 0);
  ASSERT_GE(root.get(), 0);
  ASSERT_GE(null.get(), 0);
  EXPECT_EQ(link_name(dir.get()), "file:" + tree_.root());
  EXPECT_EQ(link_name(root.get()), "file:/");
  EXPECT_EQ(link_name(null.get()), "file:/dev/null");
}

TEST_F(LinkStage, FollowsARenameAfterOpen) {
  Fd fd(tree_.create_file("before"));
  ASSERT_GE(fd.get(), 0);
  ASSERT_EQ(::rename((tree_.root() + "/before").c_str(), (tree_.root() + "/after").c_str()), 0);
  tree_.renamed_last("after");
  EXPECT_EQ(link_name(fd.get()), "file:" + tree_.root() + "/after");
}

TEST_F(LinkStage, UnlinkedFileIsNothing) {
  Fd fd(tree_.create_file("gone"));
  ASSERT_GE(fd.get(), 0);
  ASSERT_EQ(::unlink((tree_.root() + "/gone").c_str()), 0);
  tree_.forget_last();
  EXPECT_EQ(link_name(fd.get()), std::nullopt);
}

TEST_F(LinkStage, UnlinkedFileWithLongPathIsNothing) {
  // Past the first read's stack buffer, the deleted mark is still honoured.
  auto [raw, path] = tree_.nested_file(700);
  Fd fd(raw);
  ASSERT_GE(fd.get(), 0);
  ASSERT_EQ(::unlink(path.c_str()), 0);
  tree_.forget_last();
  EXPECT_EQ(link_name(fd.get()), std::nullopt);
}

TEST_F(LinkStage, NameContainingTheDeletedMarkIsNothingEvenWhileLinked) {
  Fd marked(tree_.create_file("x (deleted)"));
  Fd capital(tree_.create_file("x (Deleted)"));
  ASSERT_GE(marked.get(), 0);
  ASSERT_GE(capital.get(), 0);
  EXPECT_EQ(link_name(marked.get()), std::nullopt);
  EXPECT_EQ(link_name(capital.get()), "file:" + tree_.root() + "/x (Deleted)");
}

TEST_F(LinkStage, MemfdIsNothing) {
  Fd fd(::memfd_create("velmora", MFD_CLOEXEC));
  ASSERT_GE(fd.get(), 0);
  EXPECT_EQ(link_name(fd.get()), std::nullopt);
}

TEST(LinkStageNonFiles, PipesSocketsAndAnonymousObjectsAreNothing) {
  int p[2];
  ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
  Fd r(p[0]), w(p[1]);
  int s[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s), 0);
  Fd s0(s[0]), s1(s[1]);
  Fd ev(::eventfd(0, EFD_CLOEXEC));
  ASSERT_GE(ev.get(), 0);
  for (int fd : {r.get(), w.get(), s0.get(), s1.get(), ev.get()}) {
    EXPECT_EQ(link_name(fd), std::nullopt) << fd;
  }
}

TEST(LinkStageNonFiles, ClosedAndImpossibleDescriptorsAreNothing) {
  const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ::close(fd);
  for (int32_t n : {fd, -1, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(link_name(n), std::nullopt) << n;
  }
}

struct OddNameCase {
  const char* name;
  std::string_view file_name;
  std::string shown;
  friend void PrintTo(const OddNameCase& c, std::ostream* os) { *os << c.name; }
};

class LinkStageOddNames : public LinkStage, public ::testing::WithParamInterface<OddNameCase> {};

TEST_P(LinkStageOddNames, NameIsLossyUtf8OfTheRawPath) {
  Fd fd(tree_.create_file(GetParam().file_name));
  ASSERT_GE(fd.get(), 0);
  EXPECT_EQ(link_name(fd.get()), "file:" + tree_.root() + "/" + GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LinkStageOddNames,
    ::testing::Values(
        OddNameCase{"byte_ff", "a\xFF" "b", "a" + R + "b"},
        OddNameCase{"latin1", "caf\xE9", "caf" + R},
        OddNameCase{"utf8", "caf\xC3\xA9", "caf\xC3\xA9"},
        OddNameCase{"newline", "a\nb", "a\nb"},
        OddNameCase{"tab", "a\tb", "a\tb"},
        OddNameCase{"backslash", "a\\b", "a\\b"},
        OddNameCase{"carriage_return", "a\rb", "a\rb"},
        OddNameCase{"overlong_slash", "\xC0\xAF", R + R}),
    [](const auto& info) { return std::string(info.param.name); });

struct LengthCase {
  const char* name;
  std::size_t length;
  std::string_view leaf_tail;  // raw bytes at the end of the file name
  std::string_view shown_tail;
  friend void PrintTo(const LengthCase& c, std::ostream* os) { *os << c.name; }
};

class LinkStageLength : public LinkStage, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(LinkStageLength, LongPathsAreNamedWhole) {
  const LengthCase& c = GetParam();
  auto [raw, path] = tree_.nested_file(c.length, c.leaf_tail);
  Fd fd(raw);
  ASSERT_GE(fd.get(), 0) << "could not build a path of " << c.length << " bytes";
  ASSERT_EQ(path.size(), c.length);
  const std::string shown = path.substr(0, path.size() - c.leaf_tail.size()) + std::string(c.shown_tail);
  EXPECT_EQ(link_name(fd.get()), "file:" + shown);
}

// Lengths around the sizes where a reader might switch buffers, up to the longest
// target the kernel reports (PATH_MAX less the terminating zero).
INSTANTIATE_TEST_SUITE_P(
    Table, LinkStageLength,
    ::testing::Values(
        LengthCase{"len_100", 100, "", ""},
        LengthCase{"len_255", 255, "", ""},
        LengthCase{"len_256", 256, "", ""},
        LengthCase{"len_257", 257, "", ""},
        LengthCase{"len_300_several_directories", 300, "", ""},
        LengthCase{"len_511", 511, "", ""},
        LengthCase{"len_512", 512, "", ""},
        LengthCase{"len_1023", 1023, "", ""},
        LengthCase{"len_1024", 1024, "", ""},
        LengthCase{"len_1025", 1025, "", ""},
        LengthCase{"len_2048", 2048, "", ""},
        LengthCase{"len_2049", 2049, "", ""},
        LengthCase{"len_4095", 4095, "", ""},
        LengthCase{"len_256_ending_in_ff", 256, "\xFF", "\xEF\xBF\xBD"},
        LengthCase{"len_700_ending_in_ff", 700, "\xFF", "\xEF\xBF\xBD"},
        LengthCase{"len_1024_ending_in_utf8", 1024, "\xC3\xA9", "\xC3\xA9"},
        LengthCase{"len_4095_ending_in_ff", 4095, "\xFF\xFF", "\xEF\xBF\xBD\xEF\xBF\xBD"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinkStage, PathLongerThanTheKernelReportsIsNamedWholeOrNotAtAll) {
  // Beyond PATH_MAX the kernel may refuse to spell the link out. Whatever it does,
  // link_stage must either give the full name or nothing, never a cut one.
  for (std::size_t length : {std::size_t{4096}, std::size_t{5000}, std::size_t{9000}}) {
    auto [raw, path] = tree_.nested_file(length);
    Fd fd(raw);
    ASSERT_GE(fd.get(), 0) << length;
    std::vector<char> buffer(1 << 16);
    const std::string proc = "/proc/self/fd/" + std::to_string(fd.get());
    const ssize_t n = ::readlink(proc.c_str(), buffer.data(), buffer.size());
    const std::optional<std::string> expected =
        n > 0 ? std::optional<std::string>("file:" + path) : std::nullopt;
    if (n > 0) {
      EXPECT_EQ(std::string(buffer.data(), static_cast<std::size_t>(n)), path);
    }
    EXPECT_EQ(link_name(fd.get()), expected) << length;
  }
}

}  // namespace
}  // namespace velmora_io
