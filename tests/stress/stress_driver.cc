// Stress scenario driver: a program the stress tests run with the library preloaded (or,
// for dlopen_host, not preloaded at all).
//
//   velmora_stress_driver SCENARIO [ARGS...]
//
// Each scenario makes plain C-library calls under load or in a hostile environment and
// prints what the test needs to know as key=value lines on standard output. Standard
// output is descriptor 1, which the library never observes.
//
// The scenarios live in files by family (stress_scenarios.h lists them); a new one goes
// into the file of its kind.
#include "stress_scenarios.h"

int main(int argc, char** argv) {
  using namespace velmora_test;
  return run_scenario(
      argc, argv, {STRESS_LINES_SCENARIOS, STRESS_LIFECYCLE_SCENARIOS, STRESS_ENVIRONMENT_SCENARIOS});
}
