// What the summary tables show, counted as the events arrive: activity per
// resource, queries by how often they ran, totals per process. The printers
// render it (summary_text.h, summary_json.h).
#pragma once

#include <array>
#include <cstdint>
#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "event_parse.h"

namespace velmora::trace {

// The numeric columns, in the order every rendering shows them, with their names.
inline constexpr std::array<Kind, kKindCount> COLUMN_KINDS = {Kind::read, Kind::write, Kind::connect, Kind::close,
                                                              Kind::sql_write};
inline constexpr std::array<const char*, kKindCount> COLUMN_NAMES = {"read", "write", "conn", "close", "query"};

class Summary {
 public:
  struct Tally {
    std::array<std::uint64_t, kKindCount> by_kind{};
    std::set<std::int64_t> threads;
    std::uint64_t total() const;
    std::uint64_t column(std::size_t c) const { return by_kind[static_cast<std::size_t>(COLUMN_KINDS[c])]; }
  };
  struct Entry {
    std::string_view name;
    std::uint64_t count;
  };
  // What a build tool wants to know: files read, files written (each path once, with its
  // event count; sorted by path), sockets by name, SQL texts ranked.
  struct FileLists {
    std::vector<Entry> read, written, sockets, sql;
  };

  // Feed every event, whether or not the filter keeps it: descriptor
  // tracking needs the whole picture so that a query can be charged to the
  // connection it was sent on. Only events with `counted` set show up in the
  // numbers.
  void add(const Event& event, bool counted);

  // Queries whose connection never showed up get a row of their own. Every reader
  // below sees the settled counts.
  void settle() const;

  std::uint64_t events() const { return events_; }
  // Largest total first, then by name.
  std::vector<std::pair<const std::string*, const Tally*>> ranked_resources() const;
  // Most frequent first, then by text.
  std::vector<std::pair<const std::string*, std::uint64_t>> ranked_queries() const;
  std::size_t distinct_queries() const { return queries_.size(); }
  const std::map<std::int32_t, Tally>& processes() const { return processes_; }
  // Everything, counted over the processes.
  Tally all() const;
  FileLists files() const;

 private:
  using FdKey = std::pair<std::int32_t, std::int32_t>;  // pid, fd

  void charge_pending(const FdKey& key, const std::string& resource);

  // Mutable: settling moves queries that waited for their connection to the
  // "(connection not seen)" row, which reading the counts implies.
  mutable std::unordered_map<std::string, Tally> resources_;
  std::map<std::int32_t, Tally> processes_;
  std::unordered_map<std::string, std::uint64_t> queries_;
  // Which resource each live descriptor of each process names.
  std::map<FdKey, std::string> open_;
  // Queries seen on a descriptor before anything named its resource.
  mutable std::map<FdKey, std::vector<std::int64_t>> pending_;
  std::uint64_t events_ = 0;
};

}  // namespace velmora::trace
