// The descriptor table against a plain model, and under threads.
#include "fd_map.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace velmora_io {
namespace {

std::string name_for(int fd, int version) { return "file:/n/" + std::to_string(fd) + "/" + std::to_string(version); }
// Every block size of the table's own memory, and names above the largest (own pages).
std::string sized_name_for(int fd, int version) {
  std::string name = name_for(fd, version);
  if (version % 3 == 0) name += std::string(static_cast<std::size_t>(version % 9000), 'p');
  return name;
}

// Random inserts, replacements and removals over a small key range (negative numbers
// included) must agree with a std::map at every step; the backward-shift removal is
// where an open-addressing map usually goes wrong.
TEST(FdMap, AgreesWithAModelUnderRandomOperations) {
  FdMap map;
  std::map<int, std::string> model;
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> key(-20, 300), op(0, 9);
  for (int step = 0; step < 200000; ++step) {
    const int fd = key(rng);
    const int what = op(rng);
    if (what < 5) {
      const std::string name = sized_name_for(fd, step);
      ASSERT_TRUE(map.insert(fd, name));
      model[fd] = name;
    } else if (what < 8) {
      TextCopy removed;
      const bool was = map.remove(fd, &removed);
      const auto it = model.find(fd);
      ASSERT_EQ(was, it != model.end()) << "step " << step;
      if (it != model.end()) {
        ASSERT_EQ(removed.view(), it->second);
        model.erase(it);
      }
    } else {
      std::string_view found;
      const bool present = map.find(fd, &found);
      const auto it = model.find(fd);
      ASSERT_EQ(present, it != model.end()) << "step " << step;
      if (present) {
        ASSERT_EQ(found, it->second);
      }
    }
    ASSERT_EQ(map.size(), model.size());
  }
  for (const auto& [fd, name] : model) {
    std::string_view found;
    ASSERT_TRUE(map.find(fd, &found));
    EXPECT_EQ(found, name);
  }
}

// Descriptors opened and closed over and over must not make the table grow.
TEST(FdMap, OpenCloseCyclesDoNotGrowTheTable) {
  FdMap map;
  for (int fd = 3; fd < 10003; ++fd) ASSERT_TRUE(map.insert(fd, "file:/x"));
  const std::size_t capacity = map.capacity();
  EXPECT_LE(capacity, 16384u);
  for (int round = 0; round < 50; ++round) {
    for (int fd = 3; fd < 10003; ++fd) ASSERT_TRUE(map.remove(fd));
    for (int fd = 3; fd < 10003; ++fd) ASSERT_TRUE(map.insert(fd, "file:/y"));
  }
  EXPECT_EQ(map.capacity(), capacity);
  EXPECT_EQ(map.size(), 10000u);
}

// Many threads inserting, copying out and removing, on shared and private numbers.
TEST(FdTable, ConcurrentOperationsKeepEveryEntryConsistent) {
  constexpr int THREADS = 8, ROUNDS = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([t] {
      const int own = 100000 + t;
      for (int i = 0; i < ROUNDS; ++i) {
        const std::string mine = name_for(own, i);
        table_insert(own, mine);
        TextCopy copy;
        ASSERT_EQ(table_copy_name(own, &copy), Lookup::FOUND);
        ASSERT_EQ(copy.view(), mine);
        table_insert(7, name_for(7, t));  // shared: last writer wins
        TextCopy shared;
        if (table_copy_name(7, &shared) == Lookup::FOUND) {
          ASSERT_EQ(shared.view().substr(0, 9), "file:/n/7");
        }
        if (i % 3 == 0) {
          ASSERT_TRUE(table_remove(own));
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < THREADS; ++t) {
    bool present = false;
    ASSERT_EQ(table_contains(100000 + t, &present), TableStatus::DONE);
    EXPECT_TRUE(present);  // ROUNDS - 1 is not a multiple of 3: the last insert stays
    table_remove(100000 + t);
  }
  table_remove(7);
}

}  // namespace
}  // namespace velmora_io
