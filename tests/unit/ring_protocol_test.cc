// The ring's record protocol in every reachable state of two writers and the reader: a writer stopped
// for good after each of its steps, wrap-around, a full ring, a host that does not read.
#include "ring_protocol.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace velmora_io {
namespace {

constexpr uint32_t SLOTS = 4;
enum class Writer : uint8_t { RUN, BLOCKED, DONE, GAVE_UP, DEAD };

struct Scenario {
  int start;          // records written and read before: where positions begin
  int unread;         // records written before and not read yet: how full the ring is
  int victim;         // -1, or the writer stopped after `kill_at` steps
  int kill_at;
  bool host_stalled;  // the reader reads only once nobody else can move
};

// Writer 0 has a one-slot record (pid 10), writer 1 a two-slot one (pid 11); records written
// before have pid 100 + n and take one slot and two in turn. Every detail byte depends on the pid.
std::string detail_of(int32_t pid, std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + (pid * 7 + i) % 26);
  return s;
}
const std::string DETAILS[2] = {detail_of(10, 40), detail_of(11, RING_FIRST_DETAIL + 30)};
std::string written_before(int32_t pid) { return detail_of(pid, pid % 2 == 0 ? 8 : RING_FIRST_DETAIL + 8); }

// Everything a move changes, at one address, so that a copy can be put back (writers point into it).
struct State {
  alignas(64) unsigned char memory[ring_file_size(SLOTS)] = {};
  std::optional<RingWrite> writer[2];
  Writer fate[2] = {Writer::RUN, Writer::RUN};
  int steps[2] = {0, 0};
  uint64_t torn = 0;
  int reads[2 + 8] = {};  // times read: the writers' records, then those written before
};

struct World {
  State now;
  Ring ring;
  Scenario s;
  std::vector<char> detail = std::vector<char>(ring_detail_capacity());

  explicit World(const Scenario& scenario) : ring(ring_init(now.memory, SLOTS, 1)), s(scenario) {
    for (int n = 0; n < s.start + s.unread; ++n) {
      const std::string detail = written_before(100 + n);
      RingWrite w(ring, {0, 100 + n, 0, 0, 0, 0, 0, {}}, detail);
      while (w.step() == RingWrite::Step::MORE) {
      }
      if (n < s.start) read_one(false);
    }
    for (int i = 0; i < 2; ++i) now.writer[i].emplace(ring, RingRecord{0, 10 + i, 0, i, 0, 1, 0, {}}, DETAILS[i]);
    if (s.kill_at == 0 && s.victim >= 0) now.fate[s.victim] = Writer::DEAD;
  }

  bool read_one(bool writers_gone) {
    RingRecord r;
    const RingRead got = ring_read(ring, writers_gone, &r, detail.data(), &now.torn);
    if (got == RingRead::RECORD) {
      const bool before = r.pid >= 100;
      EXPECT_EQ(std::string(detail.data(), r.detail_size), before ? written_before(r.pid) : DETAILS[r.pid - 10]);
      if (!before || r.pid >= 100 + s.start) ++now.reads[before ? 2 + r.pid - 100 - s.start : r.pid - 10];
    }
    return got == RingRead::RECORD || got == RingRead::SKIPPED;
  }

  bool holds(int i, uint64_t index) const {
    const RingWrite& w = *now.writer[i];
    return now.fate[i] != Writer::DEAD && w.holds_slots() && (index - w.position()) % SLOTS < w.slot_count();
  }

  // One move of writer 0 or 1, or of the reader (2); false when it cannot move.
  bool move(int actor) {
    if (actor == 2) {
      if (s.host_stalled || !read_one(false)) return false;
      for (int i = 0; i < 2; ++i) {
        if (now.fate[i] == Writer::BLOCKED) now.writer[i]->retry(), now.fate[i] = Writer::RUN;
      }
      return true;
    }
    if (now.fate[actor] != Writer::RUN) return false;
    const RingWrite::Step step = now.writer[actor]->step();
    if (step == RingWrite::Step::DONE) now.fate[actor] = Writer::DONE;
    if (step == RingWrite::Step::FULL) now.fate[actor] = Writer::BLOCKED;
    if (++now.steps[actor] == s.kill_at && s.victim == actor && step != RingWrite::Step::DONE) {
      now.fate[actor] = Writer::DEAD;
    }
    for (uint64_t index = 0; index < SLOTS; ++index) EXPECT_FALSE(holds(0, index) && holds(1, index)) << index;
    return true;
  }

  // The shared memory, each writer's progress and fate, the counts so far.
  std::size_t key() const {
    std::string k(reinterpret_cast<const char*>(&now.memory), sizeof(now.memory));
    for (int i = 0; i < 2; ++i) {
      const RingWrite& w = *now.writer[i];
      const uint64_t fields[] = {static_cast<uint64_t>(now.fate[i]), static_cast<uint64_t>(w.progress()),
                                 w.position(), w.tail_seen(), now.steps[i] == s.kill_at};
      k.append(reinterpret_cast<const char*>(fields), sizeof(fields));
    }
    k.append(reinterpret_cast<const char*>(now.reads), sizeof(now.reads));
    return std::hash<std::string>()(k + std::to_string(now.torn));
  }

  // Nobody can move: a writer still waiting gives up, the reader learns no writer is left.
  void check_end(long* kills_mid_record, long* drops) {
    const uint64_t torn_while_running = now.torn;
    uint64_t torn_expected = 0;
    long gave_up = 0;
    for (int i = 0; i < 2; ++i) {
      if (now.fate[i] == Writer::BLOCKED) now.writer[i]->give_up(), now.fate[i] = Writer::GAVE_UP;
      gave_up += now.fate[i] == Writer::GAVE_UP;
      if (now.fate[i] == Writer::DEAD && now.writer[i]->holds_slots()) torn_expected += now.writer[i]->slot_count();
    }
    while (read_one(true)) {
    }
    EXPECT_EQ(torn_while_running, 0u);
    EXPECT_EQ(now.torn, torn_expected);
    EXPECT_EQ(ring.header->dropped.load(), static_cast<uint64_t>(gave_up));
    // Only a host that does not read, or a record never to be finished, makes a writer give up.
    EXPECT_TRUE(gave_up == 0 || s.host_stalled || torn_expected > 0);
    EXPECT_EQ(ring.header->head.load(), ring.header->tail.load());
    // Read once when its writer finished, never when it gave up, at most once when stopped.
    for (int i = 0; i < 2; ++i) {
      const int want = now.fate[i] == Writer::DONE ? 1 : 0;
      EXPECT_TRUE(now.fate[i] == Writer::DEAD ? now.reads[i] <= 1 : now.reads[i] == want) << "writer " << i;
    }
    for (int n = 0; n < s.unread; ++n) EXPECT_EQ(now.reads[2 + n], 1) << "written before: " << n;
    *kills_mid_record += torn_expected > 0;
    *drops += gave_up;
  }
};

// Every reachable state, depth first; a move is undone by putting the copy back.
void explore(World& w, std::unordered_set<std::size_t>& seen, long* kills, long* drops) {
  if (!seen.insert(w.key()).second || ::testing::Test::HasFailure()) return;
  bool moved = false;
  for (int actor = 0; actor < 3; ++actor) {
    const State before = w.now;
    if (!w.move(actor)) continue;
    moved = true;
    explore(w, seen, kills, drops);
    w.now = before;
  }
  if (!moved) w.check_end(kills, drops);
}

TEST(RingProtocol, EveryInterleavingOfTwoWritersAndTheReader) {
  long kills = 0, drops = 0;
  for (const bool stalled : {false, true}) {
    for (const int start : {0, 3}) {
      for (const int unread : {0, 2}) {
        for (int victim = -1; victim < 2; ++victim) {
          for (int kill_at = 0; kill_at <= (victim < 0 ? 0 : 7); ++kill_at) {
            World w(Scenario{start, unread, victim, kill_at, stalled});
            std::unordered_set<std::size_t> seen;
            explore(w, seen, &kills, &drops);
            ASSERT_FALSE(HasFailure()) << "stalled " << stalled << " start " << start << " unread " << unread
                                       << " victim " << victim << " after step " << kill_at;
          }
        }
      }
    }
  }
  EXPECT_GT(kills, 0);
  EXPECT_GT(drops, 0);
}

// Slots get pages as writers need them: a writer stops before touching one that has
// none, reserving nothing, and goes on once it has.
TEST(RingProtocol, AWriterStopsBeforeASlotWithoutPages) {
  alignas(64) unsigned char memory[ring_file_size(8)] = {};
  const Ring ring = ring_init(memory, 8, 1, 0, 2);
  const std::string one(1, 'x'), two(RING_FIRST_DETAIL + 1, 'x');
  const auto write = [&](const std::string& detail) {
    RingWrite w(ring, RingRecord{}, detail);
    RingWrite::Step step;
    while ((step = w.step()) == RingWrite::Step::MORE) {
    }
    return step;
  };
  EXPECT_EQ(write(one), RingWrite::Step::DONE);
  EXPECT_EQ(write(two), RingWrite::Step::UNBACKED);  // positions 1 and 2
  EXPECT_EQ(ring.header->head.load(), 1u);
  ring.header->backed.store(3);
  EXPECT_EQ(write(two), RingWrite::Step::DONE);
}

}  // namespace
}  // namespace velmora_io
