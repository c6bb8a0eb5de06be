// The shared objects of the process, each reported once as "load" with its path (wide
// library): those the loader mapped before the program ran, found in the loader's lists
// at the process's first event after the wide library's first call, and those a dlopen
// or dlmopen added, found at the calling thread's next event after it. (The wrappers of
// those two hand the call on untouched, so that the loader sees the program as their
// caller; nothing of theirs runs after it.) The program itself, the vDSO and this
// library are left out; an object unloaded and loaded again is reported again.
//
// A look is a walk of the loader's lists without its lock: entries are added at a list's
// end with the link written last, so a walk sees whole entries; one that runs while
// another thread unloads an object may miss or read that object, as a debugger's would.
#pragma once

#include <atomic>

namespace velmora_io {

extern constinit std::atomic<bool> LOADS_UNSEEN;
extern constinit thread_local bool LOADS_UNSEEN_HERE __attribute__((tls_model("initial-exec")));

// Asks for a look at the process's next event (the first call of the wide library).
inline void want_loads_looked_at() noexcept { LOADS_UNSEEN.store(true, std::memory_order_relaxed); }
// Asks for a look at this thread's next event (a dlopen of its own).
inline void want_loads_looked_at_here() noexcept { LOADS_UNSEEN_HERE = true; }

// Reports the objects not reported yet, before the event that asks: its caller's
// first step. One thread looks at a time; the others leave it to that one.
void report_new_loads() noexcept;
inline void report_loads_if_wanted() noexcept {
  if (LOADS_UNSEEN.load(std::memory_order_relaxed) || LOADS_UNSEEN_HERE) [[unlikely]] report_new_loads();
}

// In a child with one thread: a look that a vanished thread was making is over.
void loads_after_fork_child() noexcept;

}  // namespace velmora_io
