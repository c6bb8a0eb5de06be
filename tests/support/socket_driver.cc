// Scenario driver for sockets and descriptor lifecycle: run with the library preloaded.
//
//   socket_driver SCENARIO [ARGS...]
//
// Prints key=value facts (ports, descriptor numbers, errno values) on standard output.
// Every peer is on loopback or a Unix socket this program makes itself.
//
// The scenarios live in files by family (socket_scenarios.h lists them); a new one goes
// into the file of its kind.
#include "socket_scenarios.h"

int main(int argc, char** argv) {
  using namespace velmora_test;
  return run_scenario(argc, argv,
                      {SOCKET_CONNECT_SCENARIOS, SOCKET_LIFECYCLE_SCENARIOS, SOCKET_DATA_SCENARIOS});
}
