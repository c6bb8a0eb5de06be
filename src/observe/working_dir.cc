// The working directory's memo (wide library), kept honest by the chdir and fchdir wrappers.
#include "working_dir.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "raw_syscalls.h"

namespace velmora_io::linux_intercept {
namespace {

// Longer directories are asked of the kernel every time.
constexpr std::size_t MEMO_ROOM = 1024;

// A sequence lock: odd while a writer fills the memo; a reader that saw it change
// throws its copy away.
struct Memo {
  std::atomic<uint32_t> sequence{0};
  std::atomic<int32_t> pid{0};
  std::atomic<uint64_t> changes{0};
  std::atomic<uint32_t> size{0};  // with the NUL; 0 while empty
  char text[MEMO_ROOM] = {};
};
constinit Memo MEMO;
constinit std::atomic<uint64_t> CHANGES{1};  // never the empty memo's 0

long from_memo(int32_t pid, char* buffer, std::size_t size) noexcept {
  const uint32_t before = MEMO.sequence.load(std::memory_order_acquire);
  if ((before & 1) != 0 || MEMO.pid.load(std::memory_order_relaxed) != pid ||
      MEMO.changes.load(std::memory_order_relaxed) != CHANGES.load(std::memory_order_acquire)) {
    return 0;
  }
  const uint32_t n = MEMO.size.load(std::memory_order_relaxed);
  if (n == 0) return 0;
  if (n > size) {  // as the kernel would answer, without asking it
    errno = ERANGE;
    return -1;
  }
  std::memcpy(buffer, MEMO.text, n);
  std::atomic_thread_fence(std::memory_order_acquire);
  return MEMO.sequence.load(std::memory_order_relaxed) == before ? n : 0;
}

void remember(int32_t pid, uint64_t changes, const char* text, std::size_t n) noexcept {
  if (n > MEMO_ROOM) return;
  uint32_t s = MEMO.sequence.load(std::memory_order_relaxed);
  if ((s & 1) != 0 || !MEMO.sequence.compare_exchange_strong(s, s + 1, std::memory_order_relaxed)) return;
  std::atomic_thread_fence(std::memory_order_release);
  std::memcpy(MEMO.text, text, n);
  MEMO.size.store(static_cast<uint32_t>(n), std::memory_order_relaxed);
  MEMO.pid.store(pid, std::memory_order_relaxed);
  MEMO.changes.store(changes, std::memory_order_relaxed);
  MEMO.sequence.store(s + 2, std::memory_order_release);
}

}  // namespace

long working_dir(int32_t pid, char* buffer, std::size_t size) noexcept {
  if (const long n = from_memo(pid, buffer, size); n != 0) return n;
  // Counted before asking: a change meanwhile leaves a memo that is never used.
  const uint64_t changes = CHANGES.load(std::memory_order_acquire);
  const long n = raw::getcwd(buffer, size);
  // Only a reachable directory: "(unreachable)/..." names nothing a path could start from.
  if (n > 1 && buffer[0] == '/') remember(pid, changes, buffer, static_cast<std::size_t>(n));
  return n;
}

void working_dir_changed() noexcept { CHANGES.fetch_add(1, std::memory_order_acq_rel); }

}  // namespace velmora_io::linux_intercept
