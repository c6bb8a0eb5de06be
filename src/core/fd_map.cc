#include "fd_map.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <utility>

#include "raw_syscalls.h"
#include "ring_sink.h"
#include "sink.h"

namespace velmora_io {

constinit FdMap FD_MAP;

namespace {

// FD_MAP's lock: every table operation and the fork handlers, nothing else.
constinit pthread_mutex_t TABLE_LOCK = PTHREAD_MUTEX_INITIALIZER;

// True while this thread is between taking and releasing FD_MAP's lock (or registering
// the fork handlers). A signal handler that interrupts such a thread and calls one of
// our wrappers must not take the non-recursive lock again: it finds the table
// unavailable instead, and the event is lost rather than the process hung.
constinit thread_local bool IN_TABLE_OP __attribute__((tls_model("initial-exec"))) = false;

// Forks whose prepare handler took nothing, not yet answered by a parent or child
// handler: a fork from a signal handler that interrupted this thread inside a table
// operation or inside another fork's handlers. Handlers nest, so a count.
constinit thread_local unsigned FORKS_SKIPPED __attribute__((tls_model("initial-exec"))) = 0;

constinit pthread_once_t FORK_HANDLERS_ONCE = PTHREAD_ONCE_INIT;

// The process whose table this is: set when the table is first changed and again in
// every child a fork handler runs for. A child that shares this memory without fork
// handlers (vfork, clone with CLONE_VM) has another pid and leaves the table alone.
constinit std::atomic<int32_t> OWNER_PID{0};

enum class Kin : int64_t { OWNER, OWN_MEMORY, SHARED_MEMORY, UNKNOWN };

// What a process other than the owner is to it, asked of the kernel once per process
// and kept (shared memory keeps it for every sharer; each finds its own pid or asks).
constinit std::atomic<int64_t> KIN_OF_PID{0};

void adopt_own_copy(int32_t pid) noexcept;

Kin kin_of(int32_t pid) noexcept {
  const int32_t owner = OWNER_PID.load(std::memory_order_relaxed);
  if (owner == pid) return Kin::OWNER;
  const int64_t known = KIN_OF_PID.load(std::memory_order_relaxed);
  if (known >> 8 == pid) return static_cast<Kin>(known & 0xff);
  const long same = raw::compare_memory(pid, owner);
  // KCMP_VM orders address spaces: 0 is the owner's own memory, 1 or 2 another.
  const Kin kin = same == 0 ? Kin::SHARED_MEMORY : same > 0 ? Kin::OWN_MEMORY : Kin::UNKNOWN;
  if (kin == Kin::OWN_MEMORY) {
    adopt_own_copy(pid);
    return Kin::OWNER;
  }
  KIN_OF_PID.store(static_cast<int64_t>(pid) << 8 | static_cast<int64_t>(kin), std::memory_order_relaxed);
  return kin;
}

// Takes the lock unless this process must not wait for it (see table_owned_here): a
// held lock is where a raw clone's child would otherwise hang, so the slow path asks.
bool lock_table() noexcept {
  if (pthread_mutex_trylock(&TABLE_LOCK) == 0) return true;
  const int32_t owner = OWNER_PID.load(std::memory_order_relaxed);
  if (owner != 0 && kin_of(static_cast<int32_t>(::getpid())) == Kin::UNKNOWN) return false;
  pthread_mutex_lock(&TABLE_LOCK);
  return true;
}

// Holding the lock across fork is a table operation too: a signal handler that runs
// in between (a SIGCHLD handler writing to its self-pipe) must not lock it again.
void before_fork() noexcept {
  const int32_t owner = OWNER_PID.load(std::memory_order_relaxed);
  // A memory-sharing child that forks takes nothing of its parent's state.
  const bool mine = owner == 0 || kin_of(static_cast<int32_t>(::getpid())) == Kin::OWNER;
  if (IN_TABLE_OP || !mine) {
    ++FORKS_SKIPPED;
    return;
  }
  IN_TABLE_OP = true;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  sink_before_fork();
  pthread_mutex_lock(&TABLE_LOCK);
}
void after_fork_parent() noexcept {
  if (FORKS_SKIPPED > 0) {
    --FORKS_SKIPPED;
    return;
  }
  pthread_mutex_unlock(&TABLE_LOCK);
  sink_after_fork_parent();
  std::atomic_signal_fence(std::memory_order_seq_cst);
  IN_TABLE_OP = false;
}
void after_fork_child() noexcept {
  // The child has one thread; whoever held the lock in the parent does not exist here.
  // After a skipped prepare, the lock is this thread's own (or free), left as it is.
  if (FORKS_SKIPPED > 0) {
    --FORKS_SKIPPED;
  } else {
    pthread_mutex_init(&TABLE_LOCK, nullptr);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    IN_TABLE_OP = false;
  }
  OWNER_PID.store(::getpid(), std::memory_order_relaxed);
  sink_after_fork_child();
}

// A raw clone's child with memory of its own: its one thread is the cloning thread's
// copy, and any lock or line its parent's other threads held is held by nobody here.
void adopt_own_copy(int32_t pid) noexcept {
  // A lock this very thread held (a clone from a signal handler inside a table
  // operation) is unlocked by it later, harmlessly: the mutex is a plain one.
  pthread_mutex_init(&TABLE_LOCK, nullptr);
  sink_after_fork_child();
  OWNER_PID.store(pid, std::memory_order_relaxed);
}
void register_fork_handlers() noexcept {
  pthread_atfork(before_fork, after_fork_parent, after_fork_child);
}

// One critical section on FD_MAP. `usable()` is false when the section could not be
// entered (re-entered from a signal handler, or a lock this process may not wait for).
class CriticalSection {
 public:
  CriticalSection() noexcept {
    if (IN_TABLE_OP) return;
    IN_TABLE_OP = true;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    ensure_fork_handlers();
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

void ensure_fork_handlers() noexcept {
  // Registered when first needed, never at load time.
  pthread_once(&FORK_HANDLERS_ONCE, register_fork_handlers);
}

bool table_owned_here() noexcept {
  ensure_fork_handlers();  // before the owner is recorded, so every fork child re-records it
  const int32_t pid = static_cast<int32_t>(::getpid());
  ring_saw_pid(pid);
  return table_owned_by(pid);
}

bool table_owned_by(int32_t pid) noexcept {
  int32_t owner = OWNER_PID.load(std::memory_order_relaxed);
  if (owner == pid) return true;
  if (owner == 0) {
    // The first claim, once per process: not by a vfork or CLONE_VM child running on the
    // memory of a parent that has reported nothing yet (it would take the parent's state).
    if (raw::compare_memory(pid, raw::getppid()) == 0) return false;
    if (OWNER_PID.compare_exchange_strong(owner, pid, std::memory_order_relaxed)) return true;
  }
  return kin_of(pid) == Kin::OWNER;
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
  if (s == nullptr) return false;
  *name = {s->name, s->size};
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

bool FdMap::insert(int32_t fd, std::string_view name) noexcept {
  if (name.size() > UINT32_MAX) return false;
  // A block is never empty, so a free slot (null name) stays distinguishable.
  char* block = names_.take(name.size() == 0 ? 1 : name.size());
  if (block == nullptr) return false;
  std::memcpy(block, name.data(), name.size());
  if (Slot* s = locate(fd)) {
    names_.give_back(s->name, s->size == 0 ? 1 : s->size);
    s->size = static_cast<uint32_t>(name.size());
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
  slots_[i].size = static_cast<uint32_t>(name.size());
  slots_[i].name = block;
  ++count_;
  return true;
}

bool FdMap::remove(int32_t fd, TextCopy* removed) noexcept {
  Slot* s = locate(fd);
  if (s == nullptr) return false;
  if (removed != nullptr) removed->assign({s->name, s->size});
  names_.give_back(s->name, s->size == 0 ? 1 : s->size);
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
  return true;
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

bool table_insert(int32_t fd, std::string_view name) noexcept {
  {
    // Datagram sockets record their peer on every call: mostly the same name again.
    CriticalSection cs;
    if (!cs.usable()) return false;
    std::string_view now;
    if (FD_MAP.find(fd, &now) && now == name) return true;
  }
  if (!table_owned_here()) return false;
  CriticalSection cs;
  if (!cs.usable()) return false;
  return FD_MAP.insert(fd, name);
}

bool table_remove(int32_t fd, TextCopy* removed) noexcept {
  ensure_fork_handlers();
  return table_remove(fd, removed, ::getpid());
}

bool table_remove(int32_t fd, TextCopy* removed, int32_t pid) noexcept {
  ring_saw_pid(pid);
  if (OWNER_PID.load(std::memory_order_relaxed) == 0) ensure_fork_handlers();
  if (!table_owned_by(pid)) return false;
  CriticalSection cs;
  if (!cs.usable()) return false;
  return FD_MAP.remove(fd, removed);
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
