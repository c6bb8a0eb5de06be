#include "signals.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velmora::trace {

std::string SignalWatch::start() {
  // An inherited "ignore SIGCHLD" would make the kernel reap the program
  // behind our back and lose its exit status.
  ::signal(SIGCHLD, SIG_DFL);
  // SIGPIPE is blocked rather than ignored: the mask is restored in the child,
  // while an ignored disposition would leak into it through exec. The mask stays
  // in place until the tracer exits, so that a signal still pending (a SIGPIPE
  // from a closed output, say) cannot end it before it reports the program's status.
  sigset_t handled;
  sigemptyset(&handled);
  for (const int sig : FORWARDED_SIGNALS) sigaddset(&handled, sig);
  sigaddset(&handled, SIGCHLD);
  sigset_t blocked = handled;
  sigaddset(&blocked, SIGPIPE);
  ::sigprocmask(SIG_BLOCK, &blocked, &previous_);
  fd_.reset(::signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!fd_.valid()) return std::string("cannot watch signals: ") + std::strerror(errno);
  return {};
}

bool SignalWatch::read_one(int& signo, bool& by_kernel) {
  signalfd_siginfo info{};
  if (::read(fd_.get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return false;
  signo = static_cast<int>(info.ssi_signo);
  by_kernel = info.ssi_code == SI_KERNEL;
  return true;
}

}  // namespace velmora::trace
