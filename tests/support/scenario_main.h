// What every scenario driver shares: facts printed as key=value lines for the test to
// read, a one-line failure exit, and dispatch on the scenario name.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string>

namespace velmora_test {

inline void fact(const char* key, long long value) { std::printf("%s=%lld\n", key, value); }
inline void fact(const std::string& key, long long value) { fact(key.c_str(), value); }

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "%s: %s\n", what, std::strerror(errno));
  std::exit(3);
}

struct Scenario {
  const char* name;
  int min_args;  // after the scenario name
  int (*run)(int, char**);
};

// Runs the scenario argv[1] names, from the first table that has it, with argc/argv
// unchanged; exit 2 on a bad command line. A driver split by family passes one table
// per family file.
inline int run_scenario(int argc, char** argv, std::initializer_list<std::span<const Scenario>> tables) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc >= 2) {
    for (std::span<const Scenario> scenarios : tables) {
      for (const Scenario& s : scenarios) {
        if (std::strcmp(argv[1], s.name) == 0 && argc - 2 >= s.min_args) return s.run(argc, argv);
      }
    }
  }
  std::fprintf(stderr, "usage: %s SCENARIO ARGS...\n", argv[0]);
  return 2;
}

}  // namespace velmora_test
