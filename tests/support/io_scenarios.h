// io_driver's scenario families, one file each; io_driver.cc dispatches over them all.
// A new scenario goes into the file of its kind and its table there.
#pragma once

#include <fcntl.h>

#include <span>

#include "scenario_main.h"

namespace velmora_test {

extern const std::span<const Scenario> DATA_SCENARIOS;       // io_data_scenarios.cc
extern const std::span<const Scenario> SINK_SCENARIOS;       // io_sink_scenarios.cc
extern const std::span<const Scenario> LIFECYCLE_SCENARIOS;  // io_lifecycle_scenarios.cc
extern const std::span<const Scenario> SIGNAL_SCENARIOS;     // io_signal_scenarios.cc
extern const std::span<const Scenario> HAZARD_SCENARIOS;     // io_hazard_scenarios.cc
extern const std::span<const Scenario> PATH_SCENARIOS;       // io_path_scenarios.cc

inline int open_for_write(const char* path) { return open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644); }

}  // namespace velmora_test
