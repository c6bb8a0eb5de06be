#include "ring_sink.h"

#include <fcntl.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "errno_saver.h"
#include "event_line.h"
#include "hex_digits.h"
#include "pipe_fd_env.h"
#include "process_identity.h"
#include "raw_syscalls.h"
#include "ring_protocol.h"
#include "utf8.h"

namespace velmora_io {

namespace {

enum : int { UNSETTLED, CREATING, READY, OFF };
constinit std::atomic<int> RING_STATE{UNSETTLED};
constinit std::atomic<void*> RING_BASE{nullptr};

// Records this thread has in progress: above one, a signal handler interrupted one.
constinit thread_local uint8_t WRITING __attribute__((tls_model("initial-exec"))) = 0;
// This thread is creating the process's ring (a signal handler must not wait for it).
constinit thread_local bool CREATING_HERE __attribute__((tls_model("initial-exec"))) = false;

// How long a writer waits for room in a full ring (by the clock), and in what steps.
constexpr int64_t ROOM_WAIT_NS = 1'000'000'000;
constexpr long ROOM_STEP_NS = 50'000;

// DIR "/" PID "-" NANOSECONDS ".ring": unique even when a pid comes back.
bool ring_path(char* out, std::size_t room, const char* dir, int32_t pid, uint64_t stamp) noexcept {
  const std::size_t dir_size = std::strlen(dir);
  if (dir_size + 1 + 10 + 1 + 16 + 6 > room) return false;
  char* p = out;
  std::memcpy(p, dir, dir_size);
  p += dir_size;
  *p++ = '/';
  char digits[10];
  int n = 0;
  for (uint32_t v = static_cast<uint32_t>(pid); n == 0 || v != 0; v /= 10) digits[n++] = static_cast<char>('0' + v % 10);
  while (n > 0) *p++ = digits[--n];
  *p++ = '-';
  for (int shift = 60; shift >= 0; shift -= 4) *p++ = HEX_DIGITS[(stamp >> shift) & 0xf];
  std::memcpy(p, ".ring", 6);
  return true;
}

// The host's directory for rings, or null: also when the host that chose it
// ("VELMORA_IO_HOST", its pid) is not named or has ended, so that no ring is made that
// nobody will read or remove. Apart from create_ring, so that looking the variables up
// (every process does, at its first event) never stacks the C library's getenv under
// the path's room: signal handlers may run on small stacks.
const char* ring_directory() noexcept {
  const char* dir = ::secure_getenv("VELMORA_IO_RING");
  if (dir == nullptr || dir[0] != '/' || !is_valid_utf8(dir)) return nullptr;
  const char* host = ::secure_getenv("VELMORA_IO_HOST");
  const std::optional<int32_t> host_pid = host != nullptr ? parse_pipe_fd(host) : std::nullopt;
  return host_pid && raw::process_exists(*host_pid) ? dir : nullptr;
}

// Creates this process's ring in `dir`; null when it cannot.
[[gnu::noinline]] void* create_ring(const char* dir) noexcept {
  const int32_t pid = raw::getpid();
  const std::size_t size = ring_file_size(RING_SLOT_COUNT);
  // Sizing a file past the process's file-size limit raises SIGXFSZ: such a process
  // reports through the line sinks.
  if (!raw::file_may_reach(static_cast<off_t>(size))) return nullptr;
  char path[512];
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (!ring_path(path, sizeof(path), dir, pid, raw::monotonic_ns() + static_cast<uint64_t>(attempt))) return nullptr;
    const int fd = raw::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return nullptr;
    void* base = nullptr;
    // A file system without room for the whole ring now refuses it. The header's and the
    // first slots' pages are taken now, later ones as writers need them (give_pages): a
    // file system that fills up meanwhile refuses a record there, never raising SIGBUS
    // at a page it cannot have. Before Linux 5.14 every page is reserved at once.
    if (raw::room_for(fd, size) && raw::set_size(fd, static_cast<off_t>(size)) == 0) base = raw::map_shared(fd, size);
    uint32_t backed = RING_FIRST_BACKED;
    if (base != nullptr && raw::populate(base, RING_HEADER_SIZE + std::size_t{backed} * RING_SLOT_SIZE) != 0) {
      if (errno == EINVAL && raw::reserve(fd, static_cast<off_t>(size)) == 0) {
        backed = RING_SLOT_COUNT;
      } else {
        raw::unmap_pages(base, size);
        base = nullptr;
      }
    }
    // The mapping is all the process keeps: it has no descriptor of ours to close or lose.
    raw::close(fd);
    if (base == nullptr) {
      raw::unlink(path);
      return nullptr;
    }
    // Where the process came from, for the host: what /proc may no longer tell when it reads.
    if (raw::getcwd(static_cast<char*>(base) + RING_CWD_OFFSET, RING_CWD_ROOM) < 0) {
      static_cast<char*>(base)[RING_CWD_OFFSET] = '\0';
    }
    ring_init(base, RING_SLOT_COUNT, pid, raw::getppid(), backed);
    return base;
  }
  return nullptr;
}

// The process's ring, created at the first event. A thread that finds another one
// creating it waits for it (bounded); a signal handler that interrupted the creation
// on its own thread uses the line sinks for that event instead.
void* settled_ring() noexcept {
  int state = RING_STATE.load(std::memory_order_acquire);
  if (state == READY) return RING_BASE.load(std::memory_order_relaxed);
  for (const uint64_t deadline = raw::monotonic_ns() + ROOM_WAIT_NS;
       state == CREATING && !CREATING_HERE && raw::monotonic_ns() < deadline;) {
    const timespec step{0, ROOM_STEP_NS};
    raw::sleep_for(&step);
    state = RING_STATE.load(std::memory_order_acquire);
  }
  if (state == READY) return RING_BASE.load(std::memory_order_relaxed);
  if (state != UNSETTLED || !RING_STATE.compare_exchange_strong(state, CREATING, std::memory_order_acq_rel)) {
    return nullptr;
  }
  CREATING_HERE = true;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  const char* dir = ring_directory();
  void* base = dir != nullptr ? create_ring(dir) : nullptr;
  RING_BASE.store(base, std::memory_order_relaxed);
  RING_STATE.store(base != nullptr ? READY : OFF, std::memory_order_release);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  CREATING_HERE = false;
  return base;
}

// Once the file system refused pages to a slot, records that would need more go to the
// line sinks: one refusal costs one system call, not one per event.
constinit std::atomic<bool> PAGES_REFUSED{false};

// Gives pages to the slots up to position `end` and beyond, at least doubling those
// that have them, in whole pages; false when the file system refuses.
bool give_pages(const Ring& ring, uint64_t end) noexcept {
  if (PAGES_REFUSED.load(std::memory_order_relaxed)) return false;
  constexpr uint64_t PAGE_SLOTS = 4096 / RING_SLOT_SIZE;
  const uint64_t count = ring.mask + 1;
  uint64_t backed = ring.header->backed.load(std::memory_order_acquire);
  if (end <= backed || backed >= count) return true;  // another writer gave them
  uint64_t want = end > backed * 2 ? end : backed * 2;
  want = (want + PAGE_SLOTS - 1) / PAGE_SLOTS * PAGE_SLOTS;
  if (want > count) want = count;
  if (raw::populate(&ring.slots[backed], (want - backed) * RING_SLOT_SIZE) != 0) {
    PAGES_REFUSED.store(true, std::memory_order_relaxed);
    return false;
  }
  std::atomic<uint64_t>& mark = ring.header->backed;
  while (backed < want && !mark.compare_exchange_weak(backed, want, std::memory_order_release, std::memory_order_acquire)) {
  }
  return true;
}

// A full ring makes the writer wait for room, up to ROOM_WAIT_NS by the clock (a sleep
// may last far longer than asked on a loaded machine). A wait that timed out marks the
// ring stalled at its head: until the reader has read everything written before that
// mark, writers that find the ring full drop their record at once instead of waiting
// again, so a host that stopped reading costs the program one wait, not one per event.
bool write_record(void* base, const RingRecord& record, std::string_view detail) noexcept {
  const Ring ring = Ring::of(base, ring_file_size(RING_SLOT_COUNT));
  if (!ring) return false;
  RingHeader& h = *ring.header;
  RingWrite write(ring, record, detail);
  ++WRITING;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  const bool nested = WRITING > 1;
  bool handled = true;
  uint64_t deadline = 0;
  for (bool going = true; going;) {
    switch (write.run()) {
      case RingWrite::Step::MORE:
        continue;
      case RingWrite::Step::DONE:
        going = false;
        continue;
      case RingWrite::Step::TOO_LONG:
        handled = false;
        going = false;
        continue;
      case RingWrite::Step::UNBACKED:
        // Nothing reserved yet: the record goes to the line sinks when no pages come.
        if (give_pages(ring, write.unbacked_end())) {
          write.retry();
        } else {
          handled = false;
          going = false;
        }
        continue;
      case RingWrite::Step::FULL:
        break;
    }
    const uint64_t stalled = h.stalled.load(std::memory_order_relaxed);
    if (stalled != 0 && write.tail_seen() + 1 < stalled) {
      write.give_up();  // the reader has not caught up since a wait timed out
      going = false;
      continue;
    }
    const uint64_t now = raw::monotonic_ns();
    if (deadline == 0) deadline = now + ROOM_WAIT_NS;
    if (nested || now >= deadline) {
      if (!nested) h.stalled.store(h.head.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
      write.give_up();
      going = false;
      continue;
    }
    const timespec step{0, ROOM_STEP_NS};
    raw::sleep_for(&step);  // raw: no cancellation point
    write.retry();
  }
  std::atomic_signal_fence(std::memory_order_seq_cst);
  --WRITING;
  return handled;
}

bool write_event_record(void* base, std::string_view kind, std::string_view detail, int32_t fd,
                        int32_t pid, int32_t tid = MY_TID, uint8_t outcome = 0) noexcept {
  const std::optional<std::size_t> kind_index = event_kind_index(kind);
  if (!kind_index) return false;
  RingRecord record{};
  record.time_ns = raw::monotonic_ns();
  record.pid = pid;
  record.tid = tid;
  record.fd = fd;
  record.kind = static_cast<uint8_t>(*kind_index);
  record.outcome = outcome;
  return write_record(base, record, detail);
}

}  // namespace

bool ring_log_event(std::string_view kind, std::string_view detail, int32_t fd, uint8_t outcome) noexcept {
  if (RING_STATE.load(std::memory_order_relaxed) == OFF) return false;
  ErrnoSaver caller_errno;
  void* base = settled_ring();
  if (base == nullptr) return false;
  if (MY_PID == 0 && !know_this_thread()) return true;
  return write_event_record(base, kind, detail, fd, MY_PID, MY_TID, outcome);
}

bool ring_log_event_as(std::string_view kind, std::string_view detail, int32_t fd, int32_t pid) noexcept {
  if (RING_STATE.load(std::memory_order_relaxed) == OFF) return false;
  ErrnoSaver caller_errno;
  // Who this thread is, before any ring is made: a memory-sharing child would make
  // its parent's ring under its own pid. Once the parent has one, such a child (a vfork
  // child starting a program) writes there, under its own pid and tid: a line would
  // cost the host a wake-up, and the record keeps the call's time.
  if (MY_PID == 0 && !know_this_thread()) {
    if (RING_STATE.load(std::memory_order_acquire) != READY) return false;
    return write_event_record(RING_BASE.load(std::memory_order_relaxed), kind, detail, fd, pid,
                              static_cast<int32_t>(raw::gettid()));
  }
  void* base = settled_ring();
  if (base == nullptr) return false;
  return write_event_record(base, kind, detail, fd, pid);
}

void ring_note_child_exit(int32_t child, int status) noexcept {
  if (RING_STATE.load(std::memory_order_acquire) != READY) return;
  ErrnoSaver caller_errno;
  if (MY_PID == 0 && !know_this_thread()) return;  // after a vfork, asked again
  RingRecord record{};
  record.time_ns = raw::monotonic_ns();
  record.pid = child;
  record.tid = MY_TID;
  record.fd = status;
  record.kind = RECORD_CHILD_EXIT;
  write_record(RING_BASE.load(std::memory_order_relaxed), record, {});
}

void ring_after_fork_child() noexcept {
  // The parent's mapping stays (a record this thread was writing may still finish in
  // it); the child makes a ring of its own at its next event.
  RING_BASE.store(nullptr, std::memory_order_relaxed);
  RING_STATE.store(UNSETTLED, std::memory_order_relaxed);
  PAGES_REFUSED.store(false, std::memory_order_relaxed);
}

}  // namespace velmora_io
