// Helpers shared by the stress tests: the stress driver and reading its results.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "preload_run.h"

namespace velmora_stress {

inline std::string driver_path() { return VELMORA_STRESS_DRIVER; }

// Runs the stress driver with `args` and the given options (argv is replaced).
inline velmora_test::RunResult drive(std::vector<std::string> args, velmora_test::RunOptions o = {}) {
  o.argv = {driver_path()};
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  return velmora_test::run(o);
}

// The fact `key` as a number; a missing fact fails the test that asked for it.
inline long long fact_number(const velmora_test::RunResult& r, const std::string& key) {
  const auto facts = r.facts();
  const auto it = facts.find(key);
  EXPECT_NE(it, facts.end()) << "no fact " << key << "\n" << velmora_test::describe(r);
  return it == facts.end() ? -1 : std::stoll(it->second);
}

// Empty when equal; else where two texts of lines first differ, short enough to read.
inline std::string first_difference(std::string_view got, std::string_view want) {
  if (got == want) return {};
  std::size_t at = 0, line_no = 1;
  while (at < got.size() && at < want.size() && got[at] == want[at]) {
    if (got[at] == '\n') ++line_no;
    ++at;
  }
  auto line_around = [&](std::string_view s) {
    const std::size_t start = s.rfind('\n', at == 0 ? 0 : at - 1);
    const std::size_t from = start == std::string_view::npos || at == 0 ? 0 : start + 1;
    return std::string(s.substr(from, std::min<std::size_t>(s.find('\n', from) - from, 300)));
  };
  return "differ at line " + std::to_string(line_no) + " (got " + std::to_string(velmora_test::count_lines(got)) +
         " lines, want " + std::to_string(velmora_test::count_lines(want)) + ")\n  got:  " + line_around(got) +
         "\n  want: " + line_around(want);
}

// The harness's names the stress tests use, declared once for the area.
using velmora_test::count_events;
using velmora_test::count_lines;
using velmora_test::describe;
using velmora_test::Event;
using velmora_test::event_line;
using velmora_test::library_path;
using velmora_test::read_file;
using velmora_test::RunOptions;
using velmora_test::RunResult;
using velmora_test::select;
using velmora_test::Sink;
using velmora_test::TempDir;
using velmora_test::under;
using velmora_test::write_file;

}  // namespace velmora_stress
