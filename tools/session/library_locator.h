// Finding the preload library and making sure it can be loaded before any
// program is started with it: a bad LD_PRELOAD entry only produces a warning
// from the dynamic loader in every traced process, and no events at all.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "unique_fd.h"

namespace velmora::trace {

struct LocatedLibrary {
  std::string path;   // absolute, symlinks resolved; empty on failure
  std::string error;  // one line when path is empty
};

// Order: `explicit_path` (--lib), $VELMORA_IO_LIB, the library next to this
// executable (build tree), then in ../lib/ relative to it (install tree): the wide
// libvelmora_io_wide.so, or with `narrow` libvelmora_io.so.
LocatedLibrary locate_library(const std::string& explicit_path, bool narrow);

// Checks that `path` is a shared object for this machine and that the
// dynamic loader accepts it as a preload: the system's loader starts a small
// program with it (so nothing of the library runs inside the tracer). The
// trial runs while the tracer makes its outputs and channels, and finish()
// waits for it before any program starts. A library that passed a trial before and has not changed
// since is not tried again (load_memo.h).
class LoadCheck {
 public:
  explicit LoadCheck(const std::string& path);
  ~LoadCheck();  // reaps the trial if finish() was never called
  LoadCheck(const LoadCheck&) = delete;
  LoadCheck& operator=(const LoadCheck&) = delete;

  // An empty string when the library loads, else a one-line reason.
  const std::string& finish();

 private:
  std::string path_;
  std::string result_;
  struct stat identity_ {};
  pid_t pid_ = -1;
  UniqueFd from_child_;
};

}  // namespace velmora::trace
