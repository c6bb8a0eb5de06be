// The rings' reader on rings written by the library's own protocol: records of several processes
// come out in the order of their calls, losses are reported per process, the files are gone.
#include "ring_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <filesystem>

#include "temp_dir.h"

namespace velmora::trace {
namespace {

constexpr std::size_t SIZE = velmora_io::ring_file_size(8);

TEST(RingReader, MergesRingsByTimeAndReportsWhatWasLost) {
  velmora_test::TempDir dir;
  for (const int32_t pid : {41, 42}) {
    const int fd = ::open(dir.file(std::to_string(pid) + "-0.ring").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(::ftruncate(fd, SIZE), 0);
    void* base = ::mmap(nullptr, SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    const velmora_io::Ring ring = velmora_io::ring_init(base, 8, pid);
    // 41 wrote at 10 and 30, 42 at 20 and 31 (a long detail) and lost one record.
    for (const uint64_t time : {pid == 41 ? 10u : 20u, pid == 41 ? 30u : 31u}) {
      const std::string detail = "file:/t" + std::to_string(time) + std::string(time == 31 ? 200 : 0, 'x');
      velmora_io::RingWrite w(ring, {time, pid, pid + 100, 7, 0, 1, static_cast<uint8_t>(time == 31), {}}, detail);
      while (w.step() == velmora_io::RingWrite::Step::MORE) {
      }
    }
    if (pid == 42) velmora_io::RingWrite(ring, {}, "").give_up();
    ::munmap(base, SIZE);
  }
  RingReader reader;
  reader.attach(dir.path());
  std::string got;
  reader.drain(true, [&](const TimedEvent& e) {
    for (const auto n : {e.time_ns, e.event.detail.size(), std::size_t(e.event.fd), std::size_t(e.event.pid), std::size_t(e.event.tid)}) {
      got += std::to_string(n) + " ";
    }
    got += std::string(kind_name(e.event.kind)) + " " + e.event.detail.substr(0, 9) + (e.event.no_data ? " no data" : "") + "\n";
  });
  EXPECT_EQ(got, "10 9 7 41 141 write file:/t10\n20 9 7 42 142 write file:/t20\n"
                 "30 9 7 41 141 write file:/t30\n31 209 7 42 142 write file:/t31 no data\n");
  ASSERT_EQ(reader.losses().size(), 1u);
  EXPECT_EQ(reader.losses()[0].pid, 42);
  EXPECT_EQ(reader.dropped(), 1u);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace
}  // namespace velmora::trace
