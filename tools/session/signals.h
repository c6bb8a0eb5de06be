// The signals the tracer handles, taken through a descriptor so that one poll()
// covers events, the program's exit and forwarding.
#pragma once

#include <signal.h>

#include <string>

#include "unique_fd.h"

namespace velmora::trace {

// Termination signals passed on to the program.
inline constexpr int FORWARDED_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

class SignalWatch {
 public:
  // Blocks the forwarded signals, SIGCHLD and SIGPIPE and opens the descriptor.
  // Returns an empty string, or a one-line reason.
  std::string start();
  int fd() const { return fd_.get(); }
  // The mask before start(): the program gets it back.
  const sigset_t& previous_mask() const { return previous_; }
  // Calls on_signal(signo, sent_by_kernel) for each signal received since the last call.
  template <class OnSignal>
  void read(OnSignal&& on_signal);

 private:
  bool read_one(int& signo, bool& by_kernel);

  UniqueFd fd_;
  sigset_t previous_{};
};

template <class OnSignal>
void SignalWatch::read(OnSignal&& on_signal) {
  int signo = 0;
  bool by_kernel = false;
  while (read_one(signo, by_kernel)) on_signal(signo, by_kernel);
}

}  // namespace velmora::trace
