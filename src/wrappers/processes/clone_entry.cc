// clone and _Fork (wide library): the C library's, with the child made to ask the
// kernel who it is at its first event. Neither runs fork handlers, and a child of clone
// without CLONE_SETTLS runs on its parent thread's thread-local memory: the identity
// cached there (process_identity.h) names the parent. The wrappers that change the
// table take their pid from that cache, so every way the C library offers of making a
// child without fork handlers (these two, vfork, syscall() by number) empties it.
#include <sched.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>

#include "export.h"
#include "process_identity.h"
#include "slots.h"

namespace velmora_io::linux_intercept {
namespace {

// What the child starts with, kept at the top of the child's own stack: the parent may
// return and reuse its frame before the child has read it.
struct ChildStart {
  int (*fn)(void*);
  void* arg;
};

int start_child(void* start) noexcept {
  const ChildStart s = *static_cast<const ChildStart*>(start);
  forget_this_thread();
  return s.fn(s.arg);
}

}  // namespace
}  // namespace velmora_io::linux_intercept

namespace li = velmora_io::linux_intercept;

VELMORA_EXPORT int clone(int (*fn)(void*), void* stack, int flags, void* arg, ...) noexcept {
  // The three optional arguments are read whether or not the flags use them, as the C
  // library's own clone reads its registers.
  va_list ap;
  va_start(ap, arg);
  auto* const parent_tid = va_arg(ap, pid_t*);
  void* const tls = va_arg(ap, void*);
  auto* const child_tid = va_arg(ap, pid_t*);
  va_end(ap);
  auto* real = li::clone::get();
  if (real == nullptr) return li::real_function_missing<int>();
  // Refused by the C library (EINVAL) as they are.
  if (fn == nullptr || stack == nullptr) return real(fn, stack, flags, arg, parent_tid, tls, child_tid);
  // Both x86-64 and AArch64 stacks grow down: the child's starts below its start record.
  const uintptr_t top = (reinterpret_cast<uintptr_t>(stack) & ~uintptr_t{15}) - sizeof(li::ChildStart);
  auto* const start = reinterpret_cast<li::ChildStart*>(top);
  *start = {fn, arg};
  return real(&li::start_child, start, flags, start, parent_tid, tls, child_tid);
}

VELMORA_EXPORT pid_t _Fork() noexcept {
  auto* real = li::_Fork::get();
  if (real == nullptr) return li::real_function_missing<pid_t>();
  const pid_t result = real();
  if (result == 0) velmora_io::forget_this_thread();
  return result;
}
