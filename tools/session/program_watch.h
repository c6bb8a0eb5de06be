// Watches what the program's own process runs: a wrapper (a shell, env, nice)
// may exec a program that the library cannot enter.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

namespace velmora::trace {

class ProgramWatch {
 public:
  explicit ProgramWatch(pid_t pid) : pid_(pid) {}

  // Judges the program file `given` that process `pid` runs (once per program); the
  // program's own process by default, any it started when its "exec" names one.
  void check_file(const std::string& given, pid_t pid = 0);
  // Judges what the process runs now.
  void check_now();
  bool found() const { return !warnings_.empty(); }
  const std::vector<std::string>& warnings() const { return warnings_; }

 private:
  pid_t pid_;
  std::string last_;
  std::set<std::string> judged_;
  std::vector<std::string> warnings_;
};

}  // namespace velmora::trace
