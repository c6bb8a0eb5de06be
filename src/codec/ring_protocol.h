// The ring: event records in memory shared between a traced process and its host.
//
// One ring per process, in a file the process creates in the directory the host names
// ("VELMORA_IO_RING") and maps shared: after that, an event costs no system call. The
// file is a header page followed by `slot_count` slots of RING_SLOT_SIZE bytes. Every
// slot starts with its state word; a record takes one or more consecutive slots (modulo
// the count), its first slot holding RingRecord and the start of the detail.
//
// Writers are many (the threads of the process, and children that share its memory
// without fork handlers: vfork, raw clone), the reader is one (the host). Positions
// count slots from zero for ever (64 bits never wrap); slot p lives at index p % count,
// in lap L = p / count. A slot's state word for position p is
//     4L      free for the writer of p (written by the reader after reading p - count;
//             zero for the first lap, so a new ring's slots need no writing)
//     4L + 1  committed, not the first slot of its record
//     4L + 2  committed, first slot of its record
// A writer reserves [p, p + k) by one compare-and-swap of `head` from p to p + k, made
// only after seeing slot p + k - 1 free for its own position: the reader frees in
// order, so every slot before it is free too. It fills the slots, commits the later
// ones, and commits the first one last: a record whose first slot is committed is
// whole. A writer that dies between reserving and committing leaves its first slot at
// 4L: the reader cannot tell it from one still writing, so it waits, and skips (and
// counts) such slots only when told that no writer of the ring is left.
//
// Pages: the file is sized at once, but its slots get pages only as writers need them,
// in growing runs from the start (`backed`), so that a process that writes little
// takes little memory. A writer whose last slot has no page yet stops before touching
// it (UNBACKED), and its caller gives the pages and tries again, or writes elsewhere.
//
// Full ring: a writer that finds its last slot still holding an earlier lap has no
// room; it may retry (the caller waits, bounded) or give up and count the record in
// `dropped`. `stalled` lets a writer that gave up waiting tell later writers not to
// wait again until the reader has read past the head it marked.
//
// Pure: no system call, no allocation. Shared words are lock-free atomics, which work
// across processes in shared memory.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velmora_io {

inline constexpr uint32_t RING_MAGIC = 0x31524956;  // "VIR1", written last by the creator
inline constexpr std::size_t RING_HEADER_SIZE = 4096;
inline constexpr std::size_t RING_SLOT_SIZE = 128;
inline constexpr uint32_t RING_SLOT_COUNT = 8192;  // 1 MiB of slots, given pages only as used
// Slots the creator gives pages at once: most processes never write more.
inline constexpr uint32_t RING_FIRST_BACKED = 512;
// Longer records go to the line sinks instead: a record may not take a large share of the ring.
inline constexpr std::size_t RING_MAX_RECORD_SLOTS = 256;

struct RingHeader {
  std::atomic<uint32_t> magic;
  uint32_t slot_count;  // a power of two
  int32_t pid;          // the process that created the ring
  int32_t ppid;         // its parent then
  alignas(64) std::atomic<uint64_t> head;  // next position to reserve (writers)
  alignas(64) std::atomic<uint64_t> tail;  // next position to read (the reader)
  // Records not written: no room in time, or given up at once. Never reset.
  alignas(64) std::atomic<uint64_t> dropped;
  std::atomic<uint64_t> stalled;  // head + 1 when a writer gave up waiting; else 0
  // Positions [0, backed) have pages (a writer gives them before any touches them);
  // slot_count or more: every slot has. Only writers read it.
  std::atomic<uint64_t> backed;
};
static_assert(sizeof(RingHeader) <= RING_HEADER_SIZE);
// The creator's working directory when it made the ring, NUL-ended, in the header page's
// second half (all zeros when it did not fit).
inline constexpr std::size_t RING_CWD_OFFSET = RING_HEADER_SIZE / 2;
inline constexpr std::size_t RING_CWD_ROOM = RING_HEADER_SIZE - RING_CWD_OFFSET;
static_assert(sizeof(RingHeader) <= RING_CWD_OFFSET);

struct RingSlot {
  std::atomic<uint64_t> state;
  unsigned char data[RING_SLOT_SIZE - sizeof(uint64_t)];
};
static_assert(sizeof(RingSlot) == RING_SLOT_SIZE);

// Marks of a record's outcome, for what a line cannot say: a read reported after its
// call that returned no data (an EAGAIN, an error, the end), which is no reply.
inline constexpr uint8_t RECORD_NO_DATA = 1;
// A record that is no event, in place of a kind: a child the process reaped, its pid in
// `pid` and its wait status in `fd`, with no detail. Only the ring can carry it.
inline constexpr uint8_t RECORD_CHILD_EXIT = 255;

// What a line holds, plus when the call was made (CLOCK_MONOTONIC, nanoseconds) and
// what came of it where that is known.
struct RingRecord {
  uint64_t time_ns;
  int32_t pid;
  int32_t tid;
  int32_t fd;
  uint32_t detail_size;
  uint8_t kind;  // index into EVENT_KINDS
  uint8_t outcome;  // RECORD_ marks
  uint8_t unused_[6];
};
inline constexpr std::size_t RING_FIRST_DETAIL = sizeof(RingSlot::data) - sizeof(RingRecord);
inline constexpr std::size_t RING_MORE_DETAIL = sizeof(RingSlot::data);

// Slots a record with this detail takes.
constexpr std::size_t ring_slots_for(std::size_t detail_size) noexcept {
  return detail_size <= RING_FIRST_DETAIL
             ? 1
             : 1 + (detail_size - RING_FIRST_DETAIL + RING_MORE_DETAIL - 1) / RING_MORE_DETAIL;
}
constexpr std::size_t ring_file_size(uint32_t slot_count) noexcept {
  return RING_HEADER_SIZE + std::size_t{slot_count} * RING_SLOT_SIZE;
}

// A view of a mapped ring file.
struct Ring {
  RingHeader* header = nullptr;
  RingSlot* slots = nullptr;
  uint64_t mask = 0;

  // The view of `bytes` mapped bytes, or an empty one when they are no ring (yet): the
  // magic not written, a count that is no power of two or does not fit.
  static Ring of(void* base, std::size_t bytes) noexcept;
  explicit operator bool() const noexcept { return header != nullptr; }
  RingSlot& at(uint64_t position) const noexcept { return slots[position & mask]; }
};

// Makes zeroed memory of ring_file_size(slot_count) bytes a ring; the magic goes last.
// `backed`: how many slots from the start have pages already (all, unless said).
Ring ring_init(void* base, uint32_t slot_count, int32_t pid, int32_t ppid = 0, uint32_t backed = UINT32_MAX) noexcept;
// The working directory a ring's header holds; empty when none.
std::string_view ring_cwd(const void* base) noexcept;

// One record's write, one shared-memory access per step, so that a test can interleave
// writers and the reader at every point and stop a writer at any of them.
class RingWrite {
 public:
  enum class Step : uint8_t { MORE, DONE, FULL, TOO_LONG, UNBACKED };

  // `record.detail_size` is set from `detail`, which must live until DONE.
  RingWrite(Ring ring, const RingRecord& record, std::string_view detail) noexcept;

  // Advances by one step. FULL: the ring has no room now; call retry() to try again
  // (after waiting) or give_up() to count the record as dropped. TOO_LONG: the record
  // does not fit at all; nothing was touched. UNBACKED: slots up to position
  // unbacked_end() - 1 need pages first (see `backed`); call retry() once they have them.
  Step step() noexcept;
  // Steps until one is not MORE: what a writer that interleaves with nobody calls.
  Step run() noexcept;
  uint64_t unbacked_end() const noexcept { return position_ + slots_; }
  void retry() noexcept { phase_ = Phase::LOAD_HEAD; }
  void give_up() noexcept;
  // The tail the last FULL saw, for a writer deciding whether to wait.
  uint64_t tail_seen() const noexcept { return tail_seen_; }
  // While true a reserved slot is not committed yet (for a test's bookkeeping).
  bool holds_slots() const noexcept { return phase_ >= Phase::FILL && phase_ < Phase::FINISHED; }
  uint64_t position() const noexcept { return position_; }
  // How far the write has come (a test tells states apart by it).
  int progress() const noexcept { return static_cast<int>(phase_) * 1024 + static_cast<int>(index_); }
  std::size_t slot_count() const noexcept { return slots_; }

 private:
  enum class Phase : uint8_t { LOAD_HEAD, LOAD_LAST, RESERVE, FILL, COMMIT_MORE, COMMIT_FIRST, FINISHED };
  void fill(std::size_t index) noexcept;

  Ring ring_;
  RingRecord record_;
  std::string_view detail_;
  std::size_t slots_;
  Phase phase_ = Phase::LOAD_HEAD;
  uint64_t position_ = 0;
  uint64_t last_state_ = 0;
  uint64_t tail_seen_ = 0;
  std::size_t index_ = 0;
};

enum class RingRead : uint8_t {
  RECORD,   // *record and the detail were copied out and the slots freed
  EMPTY,    // nothing reserved past the tail
  PENDING,  // the next record is reserved and not committed yet
  SKIPPED,  // one slot no live writer will commit was freed and counted in *torn
};

// Reads the record at the tail. `detail` must hold RING_MAX_RECORD_SLOTS slots' worth
// (ring_detail_capacity bytes). With `writers_gone` (the ring's process and every
// process sharing its memory have ended) a reserved slot never committed, and a
// committed slot left of a record whose first slot never was, are skipped one at a
// time. A record that fails its checks (memory scribbled by the program) is skipped
// whole as torn. The reader is the only one to move `tail`.
RingRead ring_read(Ring ring, bool writers_gone, RingRecord* record, char* detail, uint64_t* torn) noexcept;
inline constexpr std::size_t ring_detail_capacity() noexcept {
  return RING_FIRST_DETAIL + (RING_MAX_RECORD_SLOTS - 1) * RING_MORE_DETAIL;
}

}  // namespace velmora_io
