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

}  // namespace

VELMORA_EXPORT pid_t wait(int* status) {
  auto* real = li::wait::get();
  if (real == nullptr) return li::real_function_missing<pid_t>();
  int mine = 0;
  const pid_t child = real(status != nullptr ? status : &mine);
  note(child, status != nullptr ? *status : mine);
  return child;
}

VELMORA_EXPORT pid_t waitpid(pid_t pid, int* status, int options) {
  auto* real = li::waitpid::get();
  if (real == nullptr) return li::real_function_missing<pid_t>();
  int mine = 0;
  const pid_t child = real(pid, status != nullptr ? status : &mine, options);
  note(child, status != nullptr ? *status : mine);
  return child;
}

VELMORA_EXPORT pid_t wait3(int* status, int options, rusage* usage) {
  auto* real = li::wait3::get();
  if (real == nullptr) return li::real_function_missing<pid_t>();
  int mine = 0;
  const pid_t child = real(status != nullptr ? status : &mine, options, usage);
  note(child, status != nullptr ? *status : mine);
  return child;
}

VELMORA_EXPORT pid_t wait4(pid_t pid, int* status, int options, rusage* usage) {
  auto* real = li::wait4::get();
  if (real == nullptr) return li::real_function_missing<pid_t>();
  int mine = 0;
  const pid_t child = real(pid, status != nullptr ? status : &mine, options, usage);
  note(child, status != nullptr ? *status : mine);
  return child;
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
