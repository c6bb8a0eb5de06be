// Scenario driver: a small program the tests run with the library preloaded.
//
//   io_driver SCENARIO [ARGS...]
//
// Each scenario makes plain C-library calls and prints what the test needs to know as
// key=value lines on standard output (descriptor numbers, thread ids, errno values).
// Standard output is descriptor 1, which the library never observes.
//
// The scenarios live in files by family (io_scenarios.h lists them); a new one goes
// into the file of its kind.
#include "io_scenarios.h"

namespace velmora_test {
int scenario_stdio(int argc, char** argv);  // stdio_scenario.cc
}
// A host written in C against the public header (host_scenario.c).
extern "C" int scenario_host(int argc, char** argv);

namespace {

constexpr velmora_test::Scenario OWN_FILES[] = {
    {"stdio", 1, velmora_test::scenario_stdio},
    {"host", 1, scenario_host},
};

}  // namespace

int main(int argc, char** argv) {
  using namespace velmora_test;
  return run_scenario(argc, argv,
                      {DATA_SCENARIOS, SINK_SCENARIOS, LIFECYCLE_SCENARIOS, SIGNAL_SCENARIOS,
                       HAZARD_SCENARIOS, PATH_SCENARIOS, OWN_FILES});
}
