// wait, waitpid, wait3, wait4 and waitid (wide library): how a reaped child ended goes to the
// host's ring (ring_sink.h), so that a process record deeper than the tool's own child
// has its exit status too. No event: the calls pass through as they are, a status the
// caller did not ask for taken into room of ours.
#include <sys/wait.h>

#include "export.h"
#include "ring_sink.h"
#include "slots.h"

namespace li = velmora_io::linux_intercept;

namespace {

void note(pid_t child, int status) noexcept {
  if (child > 0 && (WIFEXITED(status) || WIFSIGNALED(status))) velmora_io::ring_note_child_exit(child, status);
}

// The real call with room for the status the caller may not have asked for, then the
// note of how a reaped child ended.
template <typename Slot, typename Call>
pid_t reaped(int* status, Call call) noexcept {
  auto* real = Slot::get();
  if (real == nullptr) return li::real_function_missing<pid_t>();
  int mine = 0;
  int* into = status != nullptr ? status : &mine;
  const pid_t child = call(real, into);
  note(child, *into);
  return child;
}

}  // namespace

VELMORA_EXPORT pid_t wait(int* status) {
  return reaped<li::wait>(status, [](auto* real, int* into) { return real(into); });
}

VELMORA_EXPORT pid_t waitpid(pid_t pid, int* status, int options) {
  return reaped<li::waitpid>(status, [&](auto* real, int* into) { return real(pid, into, options); });
}

VELMORA_EXPORT pid_t wait3(int* status, int options, rusage* usage) {
  return reaped<li::wait3>(status, [&](auto* real, int* into) { return real(into, options, usage); });
}

VELMORA_EXPORT pid_t wait4(pid_t pid, int* status, int options, rusage* usage) {
  return reaped<li::wait4>(status, [&](auto* real, int* into) { return real(pid, into, options, usage); });
}

VELMORA_EXPORT int waitid(idtype_t type, id_t id, siginfo_t* info, int options) {
  auto* real = li::waitid::get();
  if (real == nullptr) return li::real_function_missing<int>();
  const int result = real(type, id, info, options);
  if (result == 0 && info != nullptr && info->si_pid > 0) {
    // The siginfo's code and value, as a wait status would have said them.
    if (info->si_code == CLD_EXITED) note(info->si_pid, (info->si_status & 0xff) << 8);
    else if (info->si_code == CLD_KILLED || info->si_code == CLD_DUMPED) note(info->si_pid, info->si_status & 0x7f);
  }
  return result;
}
