#include "process_identity.h"

#include <unistd.h>

#include <atomic>

#include "raw_syscalls.h"

namespace velmora_io {

constinit thread_local int32_t MY_PID __attribute__((tls_model("initial-exec"))) = 0;
constinit thread_local int32_t MY_TID __attribute__((tls_model("initial-exec"))) = 0;

namespace {

constinit std::atomic<int32_t> OWNER_PID{0};

enum class Kin : int64_t { OWNER, OWN_MEMORY, SHARED_MEMORY, UNKNOWN };

// What a process other than the owner is to it, asked of the kernel once per process
// and kept (shared memory keeps it for every sharer; each finds its own pid or asks).
constinit std::atomic<int64_t> KIN_OF_PID{0};

constinit std::atomic<void (*)() noexcept> RENEW_OWN_COPY{nullptr};

Kin kin_of(int32_t pid) noexcept {
  const int32_t owner = OWNER_PID.load(std::memory_order_relaxed);
  if (owner == pid) return Kin::OWNER;
  const int64_t known = KIN_OF_PID.load(std::memory_order_relaxed);
  if (known >> 8 == pid) return static_cast<Kin>(known & 0xff);
  const long same = raw::compare_memory(pid, owner);
  // KCMP_VM orders address spaces: 0 is the owner's own memory, 1 or 2 another.
  const Kin kin = same == 0 ? Kin::SHARED_MEMORY : same > 0 ? Kin::OWN_MEMORY : Kin::UNKNOWN;
  if (kin == Kin::OWN_MEMORY) {
    // The child's one thread is the cloning thread's copy: any lock or line the
    // parent's other threads held is held by nobody here.
    if (auto* renew = RENEW_OWN_COPY.load(std::memory_order_relaxed)) renew();
    OWNER_PID.store(pid, std::memory_order_relaxed);
    return Kin::OWNER;
  }
  KIN_OF_PID.store(static_cast<int64_t>(pid) << 8 | static_cast<int64_t>(kin), std::memory_order_relaxed);
  return kin;
}

}  // namespace

bool owned_here() noexcept { return owned_by(raw::getpid()); }

bool owned_by(int32_t pid) noexcept {
  saw_pid(pid);
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

bool may_wait_for_state_locks() noexcept {
  return OWNER_PID.load(std::memory_order_relaxed) == 0 || kin_of(raw::getpid()) != Kin::UNKNOWN;
}

bool forking_process_owns() noexcept {
  // A memory-sharing child that forks takes nothing of its parent's state.
  return OWNER_PID.load(std::memory_order_relaxed) == 0 || kin_of(raw::getpid()) == Kin::OWNER;
}

void record_owner(int32_t pid) noexcept { OWNER_PID.store(pid, std::memory_order_relaxed); }

void on_own_copy(void (*renew)() noexcept) noexcept { RENEW_OWN_COPY.store(renew, std::memory_order_relaxed); }

bool know_this_thread() noexcept {
  if (!owned_here()) return false;
  MY_TID = static_cast<int32_t>(raw::gettid());
  std::atomic_signal_fence(std::memory_order_seq_cst);
  MY_PID = raw::getpid();
  return true;
}

}  // namespace velmora_io
