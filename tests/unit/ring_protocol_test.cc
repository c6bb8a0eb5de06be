// The ring's record protocol under every interleaving of two writers and the reader, a
// writer stopped for good after each of its steps, wrap-around and a full ring.
#include "ring_protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace velmora_io {
namespace {

constexpr uint32_t SLOTS = 4;
enum class Writer : uint8_t { RUN, BLOCKED, DONE, GAVE_UP, DEAD };

struct Scenario {
  int start;   // records written and read before: where positions begin
  int unread;  // records written before and not read yet: how full the ring is
  int victim;  // -1, or the writer stopped after `kill_at` steps
  int kill_at;
  bool host_stalled;  // the reader does not read until nobody else can move
};

// Writer 0 has a one-slot record, writer 1 a two-slot one; pids 10 and 11, the records
// written before 100 + n. Details are filled from the pid so every byte is checked.
std::string detail_of(int32_t pid, std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + (pid * 7 + i) % 26);
  return s;
}
const std::string DETAILS[2] = {detail_of(10, 40), detail_of(11, RING_FIRST_DETAIL + 30)};

// Everything a schedule changes, at one address, so that a copy taken before a move
// can be put back (the writers point into `memory`).
struct State {
  alignas(64) unsigned char memory[ring_file_size(SLOTS)] = {};
  std::optional<RingWrite> writer[2];
  Writer state[2] = {Writer::RUN, Writer::RUN};
  int steps[2] = {0, 0};
  uint64_t torn = 0;
  int reads[2 + 8] = {};  // records read: the writers', then those written before
};

struct World {
  State now;
  Ring ring;
  Scenario s;
  std::vector<char> detail = std::vector<char>(ring_detail_capacity());

  explicit World(const Scenario& scenario) : s(scenario) {
    ring = ring_init(now.memory, SLOTS, 1);
    for (int n = 0; n < s.start + s.unread; ++n) {
      RingRecord r{};
      r.pid = 100 + n;
      RingWrite w(ring, r, detail_of(r.pid, 8));
      while (w.step() == RingWrite::Step::MORE) {
      }
      if (n < s.start) {
        EXPECT_TRUE(read_one(false));
      }
    }
    for (int i = 0; i < 2; ++i) {
      RingRecord r{};
      r.pid = 10 + i;
      r.fd = i;
      now.writer[i].emplace(ring, r, DETAILS[i]);
      if (s.victim == i && s.kill_at == 0) now.state[i] = Writer::DEAD;
    }
  }
  World(const World&) = delete;

  bool read_one(bool writers_gone) {
    RingRecord r;
    const RingRead got = ring_read(ring, writers_gone, &r, detail.data(), &now.torn);
    if (got == RingRead::RECORD) {
      const std::string expected = r.pid >= 100 ? detail_of(r.pid, 8) : DETAILS[r.pid - 10];
      EXPECT_EQ(std::string(detail.data(), r.detail_size), expected) << "pid " << r.pid;
      if (r.pid >= 100 + s.start) ++now.reads[2 + r.pid - 100 - s.start];
      if (r.pid < 100) ++now.reads[r.pid - 10];
    }
    return got == RingRead::RECORD || got == RingRead::SKIPPED;
  }

  // Slots a writer has reserved and not committed, as ring indices.
  std::vector<uint64_t> held(int i) const {
    std::vector<uint64_t> out;
    if (now.state[i] != Writer::DEAD && now.writer[i]->holds_slots()) {
      for (std::size_t k = 0; k < now.writer[i]->slot_count(); ++k) {
        out.push_back((now.writer[i]->position() + k) % SLOTS);
      }
    }
    return out;
  }

  // One move of actor 0, 1 (writers) or 2 (the reader); false when it cannot move.
  bool move(int actor) {
    if (actor == 2) {
      if (s.host_stalled || !read_one(false)) return false;
      for (int i = 0; i < 2; ++i) {
        if (now.state[i] == Writer::BLOCKED) {
          now.state[i] = Writer::RUN;
          now.writer[i]->retry();
        }
      }
      return true;
    }
    if (now.state[actor] != Writer::RUN) return false;
    const RingWrite::Step step = now.writer[actor]->step();
    ++now.steps[actor];
    if (step == RingWrite::Step::DONE) now.state[actor] = Writer::DONE;
    if (step == RingWrite::Step::FULL) now.state[actor] = Writer::BLOCKED;
    if (s.victim == actor && now.steps[actor] == s.kill_at && now.state[actor] != Writer::DONE) {
      now.state[actor] = Writer::DEAD;
    }
    for (uint64_t a : held(0)) {
      for (uint64_t b : held(1)) EXPECT_NE(a, b) << "two writers own one slot";
    }
    return true;
  }

  // What tells two states apart: the shared memory, each writer's progress and fate,
  // the counts so far.
  std::size_t key() const {
    std::string k(reinterpret_cast<const char*>(now.memory), sizeof(now.memory));
    for (int i = 0; i < 2; ++i) {
      const int fields[] = {static_cast<int>(now.state[i]), now.writer[i]->progress(),
                            static_cast<int>(now.writer[i]->position()),
                            static_cast<int>(now.writer[i]->tail_seen()), now.steps[i] == s.kill_at};
      k.append(reinterpret_cast<const char*>(fields), sizeof(fields));
    }
    k.append(reinterpret_cast<const char*>(now.reads), sizeof(now.reads));
    k.append(reinterpret_cast<const char*>(&now.torn), sizeof(now.torn));
    return std::hash<std::string>()(k);
  }
};

struct Totals {
  long states = 0;
  long ends = 0;
  long kills_mid_record = 0;
  long drops = 0;
};

void check_end(World& w, Totals& totals) {
  // Nobody can move: a writer still waiting for room gives up, the reader is told that
  // no writer is left.
  for (int i = 0; i < 2; ++i) {
    if (w.now.state[i] == Writer::BLOCKED) {
      w.now.writer[i]->give_up();
      w.now.state[i] = Writer::GAVE_UP;
    }
  }
  const uint64_t torn_before_end = w.now.torn;
  while (w.read_one(true)) {
  }
  ++totals.ends;
  EXPECT_EQ(torn_before_end, 0u);
  EXPECT_EQ(w.ring.header->head.load(), w.ring.header->tail.load());
  uint64_t torn_expected = 0;
  long gave_up = 0;
  for (int i = 0; i < 2; ++i) {
    // A record is read once when its writer finished, never when it gave up, and once
    // or never when its writer was stopped (whole once its first slot was committed).
    const Writer fate = w.now.state[i];
    const int times = w.now.reads[i];
    EXPECT_TRUE(fate == Writer::DEAD ? times <= 1 : times == (fate == Writer::DONE ? 1 : 0))
        << "writer " << i << " read " << times;
    gave_up += fate == Writer::GAVE_UP;
    if (fate == Writer::DEAD && w.now.writer[i]->holds_slots()) {
      torn_expected += w.now.writer[i]->slot_count();
      ++totals.kills_mid_record;
    }
  }
  totals.drops += gave_up;
  EXPECT_EQ(w.ring.header->dropped.load(), static_cast<uint64_t>(gave_up));
  EXPECT_EQ(w.now.torn, torn_expected);
  for (int n = 0; n < w.s.unread; ++n) EXPECT_EQ(w.now.reads[2 + n], 1) << "written before: " << n;
}

// Every reachable state, depth first; a move is undone by putting the copy back.
void explore(World& w, std::unordered_set<std::size_t>& seen, Totals& totals) {
  if (!seen.insert(w.key()).second) return;
  ++totals.states;
  bool moved = false;
  for (int actor = 0; actor < 3 && !::testing::Test::HasFailure(); ++actor) {
    const State before = w.now;
    if (!w.move(actor)) continue;
    moved = true;
    explore(w, seen, totals);
    w.now = before;
  }
  if (!moved) {
    const State before = w.now;
    check_end(w, totals);
    w.now = before;
  }
}

TEST(RingProtocol, EveryInterleavingOfTwoWritersAndTheReader) {
  Totals totals;
  for (const bool stalled : {false, true}) for (const int start : {0, 3}) {
    for (const int unread : {0, 3}) {
      for (int victim = -1; victim < 2; ++victim) {
        for (int kill_at = 0; kill_at <= (victim < 0 ? 0 : 7); ++kill_at) {
          World w(Scenario{start, unread, victim, kill_at, stalled});
          std::unordered_set<std::size_t> seen;
          explore(w, seen, totals);
          ASSERT_FALSE(HasFailure()) << "stalled " << stalled << " start " << start << " unread " << unread << " victim " << victim
                                     << " after step " << kill_at;
        }
      }
    }
  }
  // The cases the exploration is for did occur.
  EXPECT_GT(totals.kills_mid_record, 0);
  EXPECT_GT(totals.drops, 0);
  std::printf("%ld states, %ld ends\n", totals.states, totals.ends);
}

}  // namespace
}  // namespace velmora_io
