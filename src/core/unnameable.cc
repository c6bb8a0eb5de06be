#include "unnameable.h"

#include <sys/stat.h>

#include <atomic>
#include <string_view>

#include "raw_syscalls.h"

namespace velmora_io {
namespace {

// One descriptor's mark, guarded by a sequence word: bit 0 set while a writer fills the
// identity, bit 1 set while the slot holds a mark, the rest a counter bumped by every
// change so that a reader can tell the identity it read was not torn.
struct Slot {
  std::atomic<uint32_t> seq{0};
  std::atomic<uint64_t> dev{0};
  std::atomic<uint64_t> ino{0};
  std::atomic<uint64_t> nlink{0};
};

constexpr uint32_t WRITING = 1;
constexpr uint32_t MARKED = 2;
constexpr uint32_t STEP = 4;

constinit Slot SLOTS[UNNAMEABLE_LIMIT];

Slot* slot_of(int32_t fd) noexcept {
  return fd >= 0 && fd < UNNAMEABLE_LIMIT ? &SLOTS[fd] : nullptr;
}

bool same_object(const struct stat& a, const struct stat& b) noexcept {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_nlink == b.st_nlink;
}

// What the link shows can never become a name: not a path (pipes, anonymous objects),
// or a path the kernel marks deleted of an object with no link left. A live file whose
// path merely holds "(deleted)" could be renamed, so it is not remembered.
bool never_nameable(int32_t fd, const struct stat& st) noexcept {
  char target[160];  // small (signal stacks); a longer target is just not remembered
  const ssize_t n = raw::read_fd_link(fd, target, sizeof(target));
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof(target)) return false;  // unknown or cut
  const std::string_view text(target, static_cast<std::size_t>(n));
  if (text.front() != '/') return true;
  return st.st_nlink == 0 && text.find("(deleted)") != std::string_view::npos;
}

}  // namespace

bool still_unnameable(int32_t fd) noexcept {
  Slot* slot = slot_of(fd);
  if (slot == nullptr) return false;
  const uint32_t before = slot->seq.load(std::memory_order_acquire);
  if ((before & (WRITING | MARKED)) != MARKED) return false;
  // Acquire loads keep the second look at seq after them: a writer's identity seen here
  // brings its WRITING flag with it, and the look below then refuses the mixture.
  const uint64_t dev = slot->dev.load(std::memory_order_acquire);
  const uint64_t ino = slot->ino.load(std::memory_order_acquire);
  const uint64_t nlink = slot->nlink.load(std::memory_order_acquire);
  if (slot->seq.load(std::memory_order_relaxed) != before) return false;  // changed meanwhile
  struct stat st;
  if (raw::fstat(fd, &st) != 0) return false;
  return st.st_dev == dev && st.st_ino == ino && st.st_nlink == nlink;
}

void remember_if_unnameable(int32_t fd) noexcept {
  Slot* slot = slot_of(fd);
  if (slot == nullptr) return;
  struct stat first;
  if (raw::fstat(fd, &first) != 0 || S_ISSOCK(first.st_mode)) return;
  if (!never_nameable(fd, first)) return;
  // The link and the identity must belong to one object: another thread may have put a
  // different one under this number between the calls.
  struct stat second;
  if (raw::fstat(fd, &second) != 0 || !same_object(first, second)) return;

  uint32_t seq = slot->seq.load(std::memory_order_relaxed);
  if ((seq & WRITING) != 0) return;  // another writer: its mark or forgetting stands
  if (!slot->seq.compare_exchange_strong(seq, seq | WRITING, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
    return;
  }
  // Release stores publish the WRITING flag with each part of the identity (no fence:
  // ThreadSanitizer cannot follow one).
  slot->dev.store(second.st_dev, std::memory_order_release);
  slot->ino.store(second.st_ino, std::memory_order_release);
  slot->nlink.store(second.st_nlink, std::memory_order_release);
  slot->seq.store((seq & ~(WRITING | MARKED)) + STEP + MARKED, std::memory_order_release);
}

void forget_unnameable(int32_t fd) noexcept {
  Slot* slot = slot_of(fd);
  if (slot == nullptr) return;
  uint32_t seq = slot->seq.load(std::memory_order_relaxed);
  // A mark being written right now belongs to whatever object the writer saw; the
  // identity check at the next call sorts that out, so a busy slot is left alone.
  while ((seq & (WRITING | MARKED)) == MARKED) {
    if (slot->seq.compare_exchange_weak(seq, (seq & ~MARKED) + STEP, std::memory_order_release,
                                        std::memory_order_relaxed)) {
      return;
    }
  }
}

}  // namespace velmora_io
