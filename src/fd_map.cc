#include "fd_map.h"


#include <atomic>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace velmora_io {

constinit FdTable FD_MAP;

namespace {

// True while this thread is between taking and releasing FD_MAP's lock (or registering
// the fork handlers). A signal handler that interrupts such a thread and calls one of
// our wrappers must not take the non-recursive lock again: it finds the table
// unavailable instead, and the event is lost rather than the process hung.
constinit thread_local bool IN_TABLE_OP __attribute__((tls_model("initial-exec"))) = false;

// Whether this thread's fork prepare handler took the lock (it does not when the fork
// comes from a signal handler that interrupted this thread inside a table operation).
constinit thread_local bool FORK_TOOK_LOCK __attribute__((tls_model("initial-exec"))) = false;

constinit pthread_once_t FORK_HANDLERS_ONCE = PTHREAD_ONCE_INIT;

// Holding the lock across fork is a table operation too: a signal handler that runs
// in between (a SIGCHLD handler writing to its self-pipe) must not lock it again.
void before_fork() noexcept {
  FORK_TOOK_LOCK = !IN_TABLE_OP;
  if (!FORK_TOOK_LOCK) return;
  IN_TABLE_OP = true;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  pthread_mutex_lock(&FD_MAP.lock);
}
void after_fork_parent() noexcept {
  if (!FORK_TOOK_LOCK) return;
  pthread_mutex_unlock(&FD_MAP.lock);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  IN_TABLE_OP = false;
}
void after_fork_child() noexcept {
  // The child has one thread; whoever held the lock in the parent does not exist here.
  if (!FORK_TOOK_LOCK) return;
  pthread_mutex_init(&FD_MAP.lock, nullptr);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  IN_TABLE_OP = false;
}
void register_fork_handlers() noexcept {
  pthread_atfork(before_fork, after_fork_parent, after_fork_child);
}

// One critical section on FD_MAP. `usable()` is false when the section could not be
// entered (re-entered from a signal handler) or the table is poisoned.
class CriticalSection {
 public:
  CriticalSection() noexcept {
    if (IN_TABLE_OP) return;
    IN_TABLE_OP = true;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    // Registered when the table is first used, never at load time.
    pthread_once(&FORK_HANDLERS_ONCE, register_fork_handlers);
    pthread_mutex_lock(&FD_MAP.lock);
    entered_ = true;
  }
  ~CriticalSection() {
    if (!entered_) return;
    pthread_mutex_unlock(&FD_MAP.lock);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    IN_TABLE_OP = false;
  }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  bool usable() const noexcept { return entered_ && !FD_MAP.poisoned; }

 private:
  bool entered_ = false;
};

}  // namespace

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
  if (s == nullptr) return false;
  *name = {s->name, s->size};
  return true;
}

bool FdMap::grow() noexcept {
  const std::size_t new_capacity = capacity_ == 0 ? 64 : capacity_ * 2;
  auto* fresh = static_cast<Slot*>(std::calloc(new_capacity, sizeof(Slot)));
  if (fresh == nullptr) return false;
  Slot* old = std::exchange(slots_, fresh);
  const std::size_t old_capacity = std::exchange(capacity_, new_capacity);
  for (std::size_t i = 0; i < old_capacity; ++i) {
    if (old[i].name == nullptr) continue;
    std::size_t j = home(old[i].fd);
    while (slots_[j].name != nullptr) j = (j + 1) & (capacity_ - 1);
    slots_[j] = old[i];
  }
  std::free(old);
  return true;
}

bool FdMap::insert(int32_t fd, OwnedText name) noexcept {
  if (!name) return false;
  if (Slot* s = locate(fd)) {
    std::free(s->name);
    s->size = static_cast<uint32_t>(name.size());
    s->name = name.release();
    return true;
  }
  // Keep the load factor at or below 3/4 so probe runs stay short.
  if ((count_ + 1) * 4 > capacity_ * 3 && !grow()) return false;
  std::size_t i = home(fd);
  while (slots_[i].name != nullptr) i = (i + 1) & (capacity_ - 1);
  slots_[i].fd = fd;
  slots_[i].size = static_cast<uint32_t>(name.size());
  slots_[i].name = name.release();
  ++count_;
  return true;
}

OwnedText FdMap::remove(int32_t fd) noexcept {
  Slot* s = locate(fd);
  if (s == nullptr) return {};
  OwnedText removed = OwnedText::adopt(s->name, s->size);
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
  return removed;
}

TableStatus table_contains(int32_t fd, bool* present) noexcept {
  CriticalSection cs;
  if (!cs.usable()) return TableStatus::UNAVAILABLE;
  std::string_view unused;
  *present = FD_MAP.map.find(fd, &unused);
  return TableStatus::DONE;
}

Lookup table_copy_name(int32_t fd, TextCopy* out) noexcept {
  CriticalSection cs;
  if (!cs.usable()) return Lookup::UNAVAILABLE;
  std::string_view name;
  if (!FD_MAP.map.find(fd, &name)) return Lookup::ABSENT;
  return out->assign(name) ? Lookup::FOUND : Lookup::UNAVAILABLE;
}

bool table_insert(int32_t fd, OwnedText name) noexcept {
  CriticalSection cs;
  if (!cs.usable()) return false;  // the name is discarded on the way out
  return FD_MAP.map.insert(fd, std::move(name));
}

OwnedText table_remove(int32_t fd) noexcept {
  CriticalSection cs;
  if (!cs.usable()) return {};
  return FD_MAP.map.remove(fd);
}

void poison_table() noexcept {
  CriticalSection cs;
  FD_MAP.poisoned = true;
}

}  // namespace velmora_io
