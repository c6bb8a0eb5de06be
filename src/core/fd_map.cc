#include "fd_map.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <utility>

#include "process_identity.h"
#include "raw_syscalls.h"

namespace velmora_io {

constinit FdMap FD_MAP;

namespace {

// FD_MAP's lock: every table operation and the fork handlers, nothing else.
constinit pthread_mutex_t TABLE_LOCK = PTHREAD_MUTEX_INITIALIZER;

// True while this thread is between taking and releasing FD_MAP's lock (or holds it
// across a fork). A signal handler that interrupts such a thread and calls one of
// our wrappers must not take the non-recursive lock again: it finds the table
// unavailable instead, and the event is lost rather than the process hung.
constinit thread_local bool IN_TABLE_OP __attribute__((tls_model("initial-exec"))) = false;

// Takes the lock unless this process must not wait for it (process_identity.h): a
// held lock is where a raw clone's child would otherwise hang, so the slow path asks.
bool lock_table() noexcept {
  if (pthread_mutex_trylock(&TABLE_LOCK) == 0) return true;
  if (!may_wait_for_state_locks()) return false;
  pthread_mutex_lock(&TABLE_LOCK);
  return true;
}

// One critical section on FD_MAP. `usable()` is false when the section could not be
// entered (re-entered from a signal handler, or a lock this process may not wait for).
class CriticalSection {
 public:
  CriticalSection() noexcept {
    if (IN_TABLE_OP) return;
    IN_TABLE_OP = true;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (!lock_table()) {
      std::atomic_signal_fence(std::memory_order_seq_cst);
      IN_TABLE_OP = false;
      return;
    }
    entered_ = true;
  }
  ~CriticalSection() {
    if (!entered_) return;
    pthread_mutex_unlock(&TABLE_LOCK);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    IN_TABLE_OP = false;
  }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  bool usable() const noexcept { return entered_; }

 private:
  bool entered_ = false;
};

// The table's memory comes from raw mmap: a library that interposes mmap must not see it.
using raw::map_pages;
using raw::unmap_pages;

// Index of the smallest block size (16 << index) that holds `size` bytes.
std::size_t size_index(std::size_t size) noexcept {
  std::size_t index = 0;
  while ((std::size_t{16} << index) < size) ++index;
  return index;
}

}  // namespace

bool table_mark_for_fork() noexcept {
  if (IN_TABLE_OP) return false;
  IN_TABLE_OP = true;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  return true;
}

void table_lock_for_fork() noexcept { pthread_mutex_lock(&TABLE_LOCK); }

void table_unlock_after_fork() noexcept { pthread_mutex_unlock(&TABLE_LOCK); }

void table_renew_lock() noexcept { pthread_mutex_init(&TABLE_LOCK, nullptr); }

void table_unmark_after_fork() noexcept {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  IN_TABLE_OP = false;
}

char* FdMap::NameBlocks::take(std::size_t size) noexcept {
  const std::size_t index = size_index(size);
  if (index >= SIZES) return static_cast<char*>(map_pages(size));
  if (FreeBlock* block = free_[index]) {
    free_[index] = block->next;
    return reinterpret_cast<char*>(block);
  }
  const std::size_t block_size = std::size_t{16} << index;
  if (chunk_left_ < block_size) {
    // The tail of the old chunk is kept: it is smaller than the block wanted, and it
    // goes on the free lists of the sizes that fit, so no byte is lost for good.
    while (chunk_left_ >= 16) {
      const std::size_t tail = size_index(chunk_left_ + 1) - 1;
      give_back(chunk_, std::size_t{16} << tail);
      chunk_ += std::size_t{16} << tail;
      chunk_left_ -= std::size_t{16} << tail;
    }
    constexpr std::size_t CHUNK = 64 * 1024;
    chunk_ = static_cast<char*>(map_pages(CHUNK));
    if (chunk_ == nullptr) {
      chunk_left_ = 0;
      return nullptr;
    }
    chunk_left_ = CHUNK;
  }
  char* block = chunk_;
  chunk_ += block_size;
  chunk_left_ -= block_size;
  return block;
}

void FdMap::NameBlocks::give_back(char* block, std::size_t size) noexcept {
  const std::size_t index = size_index(size);
  if (index >= SIZES) {
    unmap_pages(block, size);
    return;
  }
  auto* freed = reinterpret_cast<FreeBlock*>(block);
  freed->next = free_[index];
  free_[index] = freed;
}

std::size_t FdMap::home(int32_t fd) const noexcept {
  // Fibonacci hashing spreads consecutive descriptor numbers over the top bits.
  const uint64_t h = static_cast<uint64_t>(static_cast<uint32_t>(fd)) * 0x9E3779B97F4A7C15ull;
  return static_cast<std::size_t>(h >> 32) & (capacity_ - 1);
}

FdMap::Slot* FdMap::locate(int32_t fd) const noexcept {
  if (capacity_ == 0) return nullptr;
  for (std::size_t i = home(fd);; i = (i + 1) & (capacity_ - 1)) {
    Slot* s = &slots_[i];
    if (s->name == nullptr) return nullptr;
    if (s->fd == fd) return s;
  }
}

bool FdMap::find(int32_t fd, std::string_view* name) const noexcept {
  const Slot* s = locate(fd);
  if (s == nullptr || (s->size & QUIET) != 0) return false;
  *name = {s->name, s->size};
  return true;
}

bool FdMap::find_any(int32_t fd, std::string_view* name) const noexcept {
  const Slot* s = locate(fd);
  if (s == nullptr) return false;
  *name = {s->name, s->size & ~QUIET};
  return true;
}

bool FdMap::grow() noexcept {
  const std::size_t new_capacity = capacity_ == 0 ? 64 : capacity_ * 2;
  // Fresh anonymous pages are zero: every slot starts free.
  auto* fresh = static_cast<Slot*>(map_pages(new_capacity * sizeof(Slot)));
  if (fresh == nullptr) return false;
  Slot* old = std::exchange(slots_, fresh);
  const std::size_t old_capacity = std::exchange(capacity_, new_capacity);
  for (std::size_t i = 0; i < old_capacity; ++i) {
    if (old[i].name == nullptr) continue;
    std::size_t j = home(old[i].fd);
    while (slots_[j].name != nullptr) j = (j + 1) & (capacity_ - 1);
    slots_[j] = old[i];
  }
  if (old != nullptr) unmap_pages(old, old_capacity * sizeof(Slot));
  return true;
}

bool FdMap::insert(int32_t fd, std::string_view name, bool quiet) noexcept {
  if (name.size() >= QUIET) return false;
  // A block is never empty, so a free slot (null name) stays distinguishable.
  char* block = names_.take(name.size() == 0 ? 1 : name.size());
  if (block == nullptr) return false;
  std::memcpy(block, name.data(), name.size());
  const uint32_t size = static_cast<uint32_t>(name.size()) | (quiet ? QUIET : 0);
  if (Slot* s = locate(fd)) {
    const uint32_t old = s->size & ~QUIET;
    names_.give_back(s->name, old == 0 ? 1 : old);
    s->size = size;
    s->name = block;
    return true;
  }
  // Keep the load factor at or below 3/4 so probe runs stay short.
  if ((count_ + 1) * 4 > capacity_ * 3 && !grow()) {
    names_.give_back(block, name.size() == 0 ? 1 : name.size());
    return false;
  }
  std::size_t i = home(fd);
  while (slots_[i].name != nullptr) i = (i + 1) & (capacity_ - 1);
  slots_[i].fd = fd;
  slots_[i].size = size;
  slots_[i].name = block;
  ++count_;
  return true;
}

bool FdMap::remove(int32_t fd, TextCopy* removed) noexcept {
  Slot* s = locate(fd);
  if (s == nullptr) return false;
  const bool named = (s->size & QUIET) == 0;
  const uint32_t size = s->size & ~QUIET;
  if (removed != nullptr && named) removed->assign({s->name, size});
  names_.give_back(s->name, size == 0 ? 1 : size);
  // Backward-shift: pull later members of the probe run into the hole.
  std::size_t hole = static_cast<std::size_t>(s - slots_);
  std::size_t i = hole;
  for (;;) {
    i = (i + 1) & (capacity_ - 1);
    if (slots_[i].name == nullptr) break;
    const std::size_t want = home(slots_[i].fd);
    // Move slot i into the hole unless its home lies cyclically in (hole, i].
    const bool stays = (hole < i) ? (want > hole && want <= i) : (want > hole || want <= i);
    if (stays) continue;
    slots_[hole] = slots_[i];
    hole = i;
  }
  slots_[hole].name = nullptr;
  --count_;
  return named;
}

TableStatus table_contains(int32_t fd, bool* present) noexcept {
  CriticalSection cs;
  if (!cs.usable()) return TableStatus::UNAVAILABLE;
  std::string_view unused;
  *present = FD_MAP.find(fd, &unused);
  return TableStatus::DONE;
}

Lookup table_copy_name(int32_t fd, TextCopy* out) noexcept {
  CriticalSection cs;
  if (!cs.usable()) return Lookup::UNAVAILABLE;
  std::string_view name;
  if (!FD_MAP.find(fd, &name)) return Lookup::ABSENT;
  return out->assign(name) ? Lookup::FOUND : Lookup::UNAVAILABLE;
}

std::size_t table_copy_name(int32_t fd, char* buffer, std::size_t size) noexcept {
  CriticalSection cs;
  if (!cs.usable()) return 0;
  std::string_view name;
  if (!FD_MAP.find_any(fd, &name) || name.size() > size) return 0;
  std::memcpy(buffer, name.data(), name.size());
  return name.size();
}

bool table_insert(int32_t fd, std::string_view name) noexcept {
  {
    // Datagram sockets record their peer on every call: mostly the same name again.
    CriticalSection cs;
    if (!cs.usable()) return false;
    std::string_view now;
    if (FD_MAP.find(fd, &now) && now == name) return true;
  }
  if (!owned_here()) return false;
  CriticalSection cs;
  if (!cs.usable()) return false;
  return FD_MAP.insert(fd, name);
}

bool table_insert(int32_t fd, std::string_view name, int32_t pid) noexcept {
  if (!owned_by(pid)) return false;
  CriticalSection cs;
  if (!cs.usable()) return false;
  return FD_MAP.insert(fd, name);
}

bool table_remove(int32_t fd, TextCopy* removed) noexcept { return table_remove(fd, removed, raw::getpid()); }

bool table_remove(int32_t fd, TextCopy* removed, int32_t pid) noexcept {
  if (!owned_by(pid)) return false;
  CriticalSection cs;
  if (!cs.usable()) return false;
  return FD_MAP.remove(fd, removed);
}

void table_copy_quietly(int32_t from, int32_t to, int32_t pid) noexcept {
  if (from == to || !owned_by(pid)) return;
  CriticalSection cs;
  if (!cs.usable()) return;
  std::string_view name;
  // The view stays good through the insert: names never move, and only `to`'s is given back.
  if (FD_MAP.find_any(from, &name) && FD_MAP.insert(to, name, true)) return;
  FD_MAP.remove(to);
}

std::size_t FdMap::lowest_in(uint32_t first, uint32_t last, int32_t* out, std::size_t max) const noexcept {
  std::size_t found = 0;
  for (std::size_t i = 0; i < capacity_ && max > 0; ++i) {
    if (slots_[i].name == nullptr) continue;
    const auto fd = static_cast<uint32_t>(slots_[i].fd);
    if (fd < first || fd > last || (found == max && fd >= static_cast<uint32_t>(out[max - 1]))) continue;
    // Insertion into the sorted list, the largest dropped when it is full.
    std::size_t at = found < max ? found++ : max - 1;
    for (; at > 0 && static_cast<uint32_t>(out[at - 1]) > fd; --at) out[at] = out[at - 1];
    out[at] = static_cast<int32_t>(fd);
  }
  return found;
}

std::size_t table_named_in(uint32_t first, uint32_t last, int32_t* out, std::size_t max) noexcept {
  CriticalSection cs;
  return cs.usable() ? FD_MAP.lowest_in(first, last, out, max) : 0;
}

}  // namespace velmora_io
