// The table printed at exit: activity per resource, queries ranked by how
// often they ran, and totals per process.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "event_parse.h"

namespace velmora::trace {

class Summary {
 public:
  // Feed every event, whether or not the filter keeps it: descriptor
  // tracking needs the whole picture so that a query can be charged to the
  // connection it was sent on. Only events with `counted` set show up in the
  // numbers.
  void add(const Event& event, bool counted);

  // Renders the three tables within `width` columns (long names are
  // shortened in the middle).
  std::string render(std::size_t width = 80);

  std::uint64_t events() const { return events_; }

 private:
  struct Tally {
    std::array<std::uint64_t, kKindCount> by_kind{};
    std::set<std::int64_t> threads;
    std::uint64_t total() const;
  };
  using FdKey = std::pair<std::int32_t, std::int32_t>;  // pid, fd

  void charge_pending(const FdKey& key, const std::string& resource);

  std::unordered_map<std::string, Tally> resources_;
  std::map<std::int32_t, Tally> processes_;
  std::unordered_map<std::string, std::uint64_t> queries_;
  // Which resource each live descriptor of each process names.
  std::map<FdKey, std::string> open_;
  // Queries seen on a descriptor before anything named its resource.
  std::map<FdKey, std::vector<std::int64_t>> pending_;
  std::uint64_t events_ = 0;
};

}  // namespace velmora::trace
