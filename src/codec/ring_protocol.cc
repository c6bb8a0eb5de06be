#include "ring_protocol.h"

#include <bit>
#include <cstring>

#include "event_line.h"

namespace velmora_io {

namespace {

// A slot's state counts the laps of its own index, so that zeroed memory is a ring
// whose every slot is free for its first lap: a new ring touches no page of slots.
uint64_t free_for(const Ring& ring, uint64_t position) noexcept {
  return (position >> std::countr_zero(ring.mask + 1)) * 4;
}
uint64_t committed_more(const Ring& ring, uint64_t position) noexcept { return free_for(ring, position) + 1; }
uint64_t committed_first(const Ring& ring, uint64_t position) noexcept { return free_for(ring, position) + 2; }

bool valid_count(uint32_t count) noexcept { return count >= 2 && (count & (count - 1)) == 0; }

}  // namespace

Ring Ring::of(void* base, std::size_t bytes) noexcept {
  if (base == nullptr || bytes < RING_HEADER_SIZE) return {};
  auto* header = static_cast<RingHeader*>(base);
  if (header->magic.load(std::memory_order_acquire) != RING_MAGIC) return {};
  const uint32_t count = header->slot_count;
  if (!valid_count(count) || ring_file_size(count) > bytes) return {};
  return {header, reinterpret_cast<RingSlot*>(static_cast<char*>(base) + RING_HEADER_SIZE), count - 1u};
}

Ring ring_init(void* base, uint32_t slot_count, int32_t pid, int32_t ppid, uint32_t backed) noexcept {
  auto* header = static_cast<RingHeader*>(base);
  header->slot_count = slot_count;
  header->backed.store(backed < slot_count ? backed : slot_count, std::memory_order_relaxed);
  header->pid = pid;
  header->ppid = ppid;
  auto* slots = reinterpret_cast<RingSlot*>(static_cast<char*>(base) + RING_HEADER_SIZE);
  header->magic.store(RING_MAGIC, std::memory_order_release);
  return {header, slots, slot_count - 1u};
}

std::string_view ring_cwd(const void* base) noexcept {
  const char* text = static_cast<const char*>(base) + RING_CWD_OFFSET;
  return {text, ::strnlen(text, RING_CWD_ROOM)};
}

RingWrite::RingWrite(Ring ring, const RingRecord& record, std::string_view detail) noexcept
    : ring_(ring), record_(record), detail_(detail), slots_(ring_slots_for(detail.size())) {
  record_.detail_size = static_cast<uint32_t>(detail.size());
}

void RingWrite::fill(std::size_t index) noexcept {
  unsigned char* out = ring_.at(position_ + index).data;
  std::size_t from = 0;
  std::size_t room = RING_MORE_DETAIL;
  if (index == 0) {
    std::memcpy(out, &record_, sizeof(record_));
    out += sizeof(record_);
    room = RING_FIRST_DETAIL;
  } else {
    from = RING_FIRST_DETAIL + (index - 1) * RING_MORE_DETAIL;
  }
  const std::size_t left = detail_.size() > from ? detail_.size() - from : 0;
  std::memcpy(out, detail_.data() + from, left < room ? left : room);
}

RingWrite::Step RingWrite::step() noexcept {
  switch (phase_) {
    case Phase::LOAD_HEAD:
      if (slots_ > RING_MAX_RECORD_SLOTS || slots_ > ring_.mask + 1 || detail_.size() > UINT32_MAX) {
        return Step::TOO_LONG;
      }
      position_ = ring_.header->head.load(std::memory_order_relaxed);
      phase_ = Phase::LOAD_LAST;
      return Step::MORE;
    case Phase::LOAD_LAST: {
      const uint64_t last = position_ + slots_ - 1;
      const uint64_t backed = ring_.header->backed.load(std::memory_order_acquire);
      if (last >= backed && backed <= ring_.mask) {
        phase_ = Phase::LOAD_HEAD;
        return Step::UNBACKED;
      }
      // Acquire: the reader's copy out of this slot happened before it freed it.
      last_state_ = ring_.at(last).state.load(std::memory_order_acquire);
      if (last_state_ == free_for(ring_, last)) {
        phase_ = Phase::RESERVE;
      } else if (last_state_ < free_for(ring_, last)) {
        tail_seen_ = ring_.header->tail.load(std::memory_order_relaxed);
        phase_ = Phase::LOAD_HEAD;
        return Step::FULL;
      } else {
        phase_ = Phase::LOAD_HEAD;  // another writer took it: head has moved
      }
      return Step::MORE;
    }
    case Phase::RESERVE: {
      uint64_t expected = position_;
      if (ring_.header->head.compare_exchange_strong(expected, position_ + slots_, std::memory_order_relaxed)) {
        phase_ = Phase::FILL;
        index_ = 0;
      } else {
        phase_ = Phase::LOAD_HEAD;
      }
      return Step::MORE;
    }
    case Phase::FILL:
      fill(index_);
      if (++index_ == slots_) {
        index_ = 1;
        phase_ = slots_ > 1 ? Phase::COMMIT_MORE : Phase::COMMIT_FIRST;
      }
      return Step::MORE;
    case Phase::COMMIT_MORE:
      ring_.at(position_ + index_).state.store(committed_more(ring_, position_ + index_), std::memory_order_release);
      if (++index_ == slots_) phase_ = Phase::COMMIT_FIRST;
      return Step::MORE;
    case Phase::COMMIT_FIRST:
      // Release, and last: whoever sees it committed sees every byte of the record.
      ring_.at(position_).state.store(committed_first(ring_, position_), std::memory_order_release);
      phase_ = Phase::FINISHED;
      return Step::DONE;
    case Phase::FINISHED:
      return Step::DONE;
  }
  return Step::DONE;
}

RingWrite::Step RingWrite::run() noexcept {
  Step s;
  while ((s = step()) == Step::MORE) {
  }
  return s;
}

void RingWrite::give_up() noexcept {
  ring_.header->dropped.fetch_add(1, std::memory_order_relaxed);
  phase_ = Phase::FINISHED;
}

RingRead ring_read(Ring ring, bool writers_gone, RingRecord* record, char* detail, uint64_t* torn) noexcept {
  RingHeader& h = *ring.header;
  const uint64_t tail = h.tail.load(std::memory_order_relaxed);
  if (h.head.load(std::memory_order_acquire) <= tail) return RingRead::EMPTY;
  const auto skip_one = [&] {
    ring.at(tail).state.store(free_for(ring, tail + ring.mask + 1), std::memory_order_release);
    h.tail.store(tail + 1, std::memory_order_release);
    ++*torn;
    return RingRead::SKIPPED;
  };
  const uint64_t state = ring.at(tail).state.load(std::memory_order_acquire);
  if (state != committed_first(ring, tail)) {
    if (state == free_for(ring, tail) && !writers_gone) return RingRead::PENDING;
    return skip_one();
  }
  std::memcpy(record, ring.at(tail).data, sizeof(*record));
  const std::size_t slots = ring_slots_for(record->detail_size);
  if ((record->kind >= EVENT_KIND_COUNT && record->kind != RECORD_CHILD_EXIT) || slots > RING_MAX_RECORD_SLOTS || slots > ring.mask + 1) return skip_one();
  for (std::size_t i = 1; i < slots; ++i) {
    if (ring.at(tail + i).state.load(std::memory_order_acquire) != committed_more(ring, tail + i)) return skip_one();
  }
  std::size_t left = record->detail_size;
  for (std::size_t i = 0; i < slots; ++i) {
    const unsigned char* from = ring.at(tail + i).data + (i == 0 ? sizeof(*record) : 0);
    const std::size_t room = i == 0 ? RING_FIRST_DETAIL : RING_MORE_DETAIL;
    const std::size_t n = left < room ? left : room;
    std::memcpy(detail, from, n);
    detail += n;
    left -= n;
  }
  // Freed in order, so that a writer seeing a record's last slot free knows every
  // earlier one is free too.
  for (std::size_t i = 0; i < slots; ++i) {
    ring.at(tail + i).state.store(free_for(ring, tail + i + ring.mask + 1), std::memory_order_release);
  }
  h.tail.store(tail + slots, std::memory_order_release);
  return RingRead::RECORD;
}

}  // namespace velmora_io
