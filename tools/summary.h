// The table printed at exit: activity per resource, queries ranked by how
// often they ran, and totals per process.
#pragma once

#include <array>
#include <cstdint>
#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "event_parse.h"
#include "process_names.h"

namespace velmora::trace {

class Summary {
 public:
  // Feed every event, whether or not the filter keeps it: descriptor
  // tracking needs the whole picture so that a query can be charged to the
  // connection it was sent on. Only events with `counted` set show up in the
  // numbers.
  void add(const Event& event, bool counted);

  // Renders the three tables. With a `width`, they fit it: long names are
  // shortened in the middle, keeping a path's file name. With 0 (output that
  // is not a terminal) names are shown whole. With `processes`, the process
  // table names each program.
  std::string render(std::size_t width = 80, const ProcessRegistry* processes = nullptr);

  // The same as one JSON object on one line: {"summary":{...}}; every query
  // is listed, unless `limit` caps the resources and queries listed (the
  // rest are counted in "resources_more" and "queries_more").
  std::string render_json(const ProcessRegistry* processes = nullptr, std::size_t limit = SIZE_MAX);

  // What a build tool wants to know: files read, files written (each path
  // once, with its event count), sockets and SQL texts; as text, or as one
  // JSON object on one line ({"files":{...}}, each list capped at `limit`
  // with the rest counted in "<list>_more").
  std::string render_files(bool json, std::size_t limit = SIZE_MAX);

  std::uint64_t events() const { return events_; }

 private:
  struct Tally {
    std::array<std::uint64_t, kKindCount> by_kind{};
    std::set<std::int64_t> threads;
    std::uint64_t total() const;
  };
  using FdKey = std::pair<std::int32_t, std::int32_t>;  // pid, fd

  void charge_pending(const FdKey& key, const std::string& resource);
  // Queries whose connection never showed up get a row of their own.
  void settle_pending();
  std::vector<std::pair<const std::string*, std::uint64_t>> ranked_queries() const;

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
