// Identification and reporting, in process, with the sink pointed at a test pipe.
#include "identify.h"

#include <fcntl.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "fd_map.h"
#include "fork_handlers.h"
#include "reentrancy.h"
#include "sink.h"
#include "temp_dir.h"

namespace velmora_io {
namespace {

class Identify : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe2(sink_, O_NONBLOCK | O_CLOEXEC), 0);
    hand_over_pipe(sink_[1]);
  }
  void TearDown() override {
    hand_over_pipe(-1);
    close(sink_[0]);
    close(sink_[1]);
  }
  std::string lines() {
    std::string got;
    char buf[4096];
    for (ssize_t n; (n = read(sink_[0], buf, sizeof(buf))) > 0;) got.append(buf, n);
    return got;
  }
  int open_file(const std::string& name) {
    return open((dir_ + "/" + name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  }
  std::string entry(int fd) {
    TextCopy copy;
    return table_copy_name(fd, &copy) == Lookup::FOUND ? std::string(copy.view()) : std::string("<none>");
  }

  int sink_[2];
  velmora_test::TempDir temp_;
  const std::string dir_ = temp_.path();
};

TEST_F(Identify, NamesAFileAndReportsOneExactLine) {
  const int fd = open_file("data.txt");
  ensure_fd_mapped(fd);
  report_io(fd, "write");
  const std::string pid = std::to_string(getpid()), tid = std::to_string(gettid());
  EXPECT_EQ(lines(), "write\tfile:" + dir_ + "/data.txt\t" + std::to_string(fd) + "\t" + pid + "\t" + tid + "\n");
  EXPECT_FALSE(IN_HOOK);
  table_remove(fd);
  close(fd);
}

// The one-lock path the data wrappers take must behave as the two steps do.
TEST_F(Identify, ObserveNamesThenReportsAndInsideAGuardedStepOnlyNames) {
  const int fd = open_file("observed");
  const std::string line_end = "\t" + std::to_string(fd) + "\t" + std::to_string(getpid()) + "\t" +
                               std::to_string(gettid()) + "\n";
  IN_HOOK = true;
  observe_io(fd, "write");
  EXPECT_TRUE(IN_HOOK);
  IN_HOOK = false;
  EXPECT_EQ(lines(), "");
  EXPECT_EQ(entry(fd), "file:" + dir_ + "/observed");  // named all the same
  observe_io(fd, "write");
  table_remove(fd);
  observe_io(fd, "read");  // named afresh
  EXPECT_EQ(lines(), "write\tfile:" + dir_ + "/observed" + line_end + "read\tfile:" + dir_ + "/observed" + line_end);
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  observe_io(p[1], "write");
  EXPECT_EQ(lines(), "");
  table_remove(fd);
  for (int f : {fd, p[0], p[1]}) close(f);
}

TEST_F(Identify, AnExistingEntryIsNeverIdentifiedAgain) {
  const int fd = open_file("first");
  ensure_fd_mapped(fd);
  const int other = open_file("second");
  ASSERT_EQ(dup2(other, fd), fd);  // the real dup2: this test has no interposition
  ensure_fd_mapped(fd);
  EXPECT_EQ(entry(fd), "file:" + dir_ + "/first");
  table_remove(fd);
  close(fd);
  close(other);
}

TEST_F(Identify, UnnameableDescriptorsGetNoEntryAndNoEvent) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  const int gone = open_file("gone");
  unlink((dir_ + "/gone").c_str());
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  for (int fd : {p[0], p[1], gone, listener, 100000, -1}) {
    ensure_fd_mapped(fd);
    report_io(fd, "read");
    EXPECT_EQ(entry(fd), "<none>") << fd;
  }
  EXPECT_EQ(lines(), "");
  for (int fd : {p[0], p[1], gone, listener}) close(fd);
}

TEST_F(Identify, SocketsWithAPeerAreNamedByThePeerStage) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  ensure_fd_mapped(sv[0]);
  EXPECT_EQ(entry(sv[0]), "socket:unix:");
  table_remove(sv[0]);
  close(sv[0]);
  close(sv[1]);
}

TEST_F(Identify, ReportIsSilentInsideAGuardedStepAndLeavesTheFlagAlone) {
  const int fd = open_file("guarded");
  ensure_fd_mapped(fd);
  IN_HOOK = true;
  report_io(fd, "read");
  EXPECT_TRUE(IN_HOOK);
  IN_HOOK = false;
  EXPECT_EQ(lines(), "");
  report_io(fd, "read");
  EXPECT_FALSE(IN_HOOK);
  EXPECT_NE(lines(), "");
  table_remove(fd);
  close(fd);
}

TEST_F(Identify, RecordedSocketAddressReplacesAnEarlierName) {
  const int fd = open_file("f");
  ensure_fd_mapped(fd);
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(5432);
  in.sin_addr.s_addr = htonl(0x7F000001);
  auto name = record_sockaddr(fd, reinterpret_cast<sockaddr*>(&in), sizeof(in));
  ASSERT_TRUE(name);
  EXPECT_EQ(name->view(), "socket:127.0.0.1:5432");
  EXPECT_EQ(entry(fd), "socket:127.0.0.1:5432");
  // An address too short for its family names nothing and keeps the entry.
  EXPECT_FALSE(record_sockaddr(fd, reinterpret_cast<sockaddr*>(&in), 15));
  EXPECT_EQ(entry(fd), "socket:127.0.0.1:5432");
  // Any number may carry a recorded name, negative ones included.
  EXPECT_TRUE(record_sockaddr(-7, reinterpret_cast<sockaddr*>(&in), sizeof(in)));
  EXPECT_EQ(entry(-7), "socket:127.0.0.1:5432");
  table_remove(-7);
  table_remove(fd);
  close(fd);
}

TEST_F(Identify, ThreadsRacingToNameOneDescriptorLeaveOneEntry) {
  const int fd = open_file("race");
  for (int round = 0; round < 200; ++round) {
    std::thread a([&] { ensure_fd_mapped(fd); });
    std::thread b([&] { ensure_fd_mapped(fd); });
    a.join();
    b.join();
    EXPECT_EQ(entry(fd), "file:" + dir_ + "/race");
    ASSERT_TRUE(table_remove(fd));
    EXPECT_FALSE(table_remove(fd));
  }
  close(fd);
}

// A table operation entered again on its own thread finds the table unavailable instead
// of waiting for itself: here another library's fork child handler, registered before
// ours, runs while the lock our prepare handler took is still held. It reads, records
// and reports nothing; once our own child handler has run the table is whole again.
int REENTERED_FD = -1;
bool REENTRY_REFUSED = false;
void child_handler_before_ours() {
  bool present = false;
  TextCopy copy;
  REENTRY_REFUSED = table_contains(5, &present) == TableStatus::UNAVAILABLE &&
                    table_copy_name(5, &copy) == Lookup::UNAVAILABLE && !table_insert(6, "file:/after") &&
                    !table_remove(5);
  ensure_fd_mapped(REENTERED_FD);
  report_io(REENTERED_FD, "read");
  observe_io(REENTERED_FD, "read");
}

TEST(IdentifyReentered, NothingIsReadRecordedOrReported) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, no handlers of ours yet
  EXPECT_EXIT(
      {
        alarm(20);  // a table that waited for its own lock would hang here
        int p[2];
        if (pipe2(p, O_NONBLOCK) != 0) std::exit(2);
        pthread_atfork(nullptr, nullptr, child_handler_before_ours);
        hand_over_pipe(p[1]);
        REENTERED_FD = open("/dev/null", O_RDONLY);
        ensure_fork_handlers();  // as the first call of any wrapper does
        table_insert(5, "file:/before");
        const pid_t child = fork();
        if (child == 0) {
          char c;
          const bool silent = read(p[0], &c, 1) < 0;
          bool five = false;
          bool six = true;
          bool named = true;
          const bool whole = table_contains(5, &five) == TableStatus::DONE &&
                             table_contains(6, &six) == TableStatus::DONE &&
                             table_contains(REENTERED_FD, &named) == TableStatus::DONE;
          _exit(REENTRY_REFUSED && silent && whole && five && !six && !named ? 0 : 1);
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child) std::exit(2);
        std::exit(WIFEXITED(status) ? WEXITSTATUS(status) : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(IdentifyFresh, NegativeDescriptorTouchesNothing) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ensure_fd_mapped(-1);
        std::exit(FD_MAP.capacity() == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace velmora_io
