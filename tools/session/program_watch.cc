#include "program_watch.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "display_text.h"
#include "program_check.h"

namespace velmora::trace {

void ProgramWatch::check_file(const std::string& given, pid_t pid) {
  // Canonical, as /proc/PID/exe shows it, so that one program is judged once (and
  // what /proc shows again needs no resolving).
  if (!given.empty() && given == last_) return;
  char resolved[PATH_MAX];
  const std::string path = ::realpath(given.c_str(), resolved) != nullptr ? resolved : given;
  if (path.empty() || path == last_) return;
  last_ = path;
  if (!judged_.insert(path).second) return;
  if (std::string why = unobservable_reason(path); !why.empty()) {
    warnings_.push_back("pid " + std::to_string(pid != 0 ? pid : pid_) + ": " + to_display(path) + " " + why +
                        ", so nothing it does itself can be seen (trace a dynamically linked build of it, "
                        "or use strace)");
  }
}

void ProgramWatch::check_now() {
  char target[4096];
  char link[64];
  std::snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(pid_));
  const ssize_t n = ::readlink(link, target, sizeof target);
  if (n > 0) check_file(std::string(target, static_cast<std::size_t>(n)));
}

}  // namespace velmora::trace
