// The stress driver's scenario families, one file each, and the helpers they share;
// stress_driver.cc dispatches over them all. A new scenario goes into the file of its
// kind and its table there.
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "scenario_main.h"

namespace velmora_test {

extern const std::span<const Scenario> STRESS_LINES_SCENARIOS;        // stress_lines_scenarios.cc
extern const std::span<const Scenario> STRESS_LIFECYCLE_SCENARIOS;    // stress_lifecycle_scenarios.cc
extern const std::span<const Scenario> STRESS_ENVIRONMENT_SCENARIOS;  // stress_environment_scenarios.cc

inline long long thread_id() { return syscall(SYS_gettid); }

inline double now_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

inline int open_for_write(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) fail(path.c_str());
  return fd;
}

// Writes `count` single bytes; the number of calls that returned 1.
inline long write_bytes(int fd, long count) {
  long ok = 0;
  for (long i = 0; i < count; ++i) ok += write(fd, "x", 1) == 1;
  return ok;
}

using SetFd = void (*)(int32_t);
inline SetFd host_setter(void* handle, const char* name) {
  auto fn = reinterpret_cast<SetFd>(dlsym(handle, name));
  if (fn == nullptr) {
    std::fprintf(stderr, "%s not found\n", name);
    std::exit(3);
  }
  return fn;
}

}  // namespace velmora_test
