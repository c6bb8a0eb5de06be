// The per-thread reentrancy flag and its scope object.
//
// While a thread runs a guarded observation step, IN_HOOK is true and any interposed
// call it makes (from our own code or from whatever we call) is forwarded unreported.
// The flag is a trivial initial-exec thread_local: no allocation on a new thread, no
// TLS destructor, no __tls_get_addr on the hot path.
#pragma once

namespace velmora_io {

extern constinit thread_local bool IN_HOOK __attribute__((tls_model("initial-exec")));

// Created only by a step that has just found IN_HOOK false and set it; clears it on exit.
class ReentrancyGuard {
 public:
  ReentrancyGuard() noexcept = default;
  ~ReentrancyGuard() { IN_HOOK = false; }
  ReentrancyGuard(const ReentrancyGuard&) = delete;
  ReentrancyGuard& operator=(const ReentrancyGuard&) = delete;
};

// Runs `step` as a guarded observation step: skipped entirely on a thread already inside one.
template <typename Step>
inline void run_guarded(Step&& step) noexcept {
  if (IN_HOOK) return;
  IN_HOOK = true;
  ReentrancyGuard guard;
  step();
}

}  // namespace velmora_io
