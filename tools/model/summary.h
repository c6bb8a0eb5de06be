// What the summary tables show, counted as the events arrive: activity per
// resource, queries by how often they ran, totals per process; and what was
// touched, for --files. The printers
// render it (summary_text.h, summary_json.h).
#pragma once

#include <array>
#include <cstdint>
#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "event_parse.h"
#include "footprint.h"

namespace velmora::trace {

constexpr std::uint32_t bit(Kind k) { return 1u << static_cast<unsigned>(k); }

// The numeric columns, in the order every rendering shows them: a name and the kinds
// it counts. The first five are always shown; the others, which only the wide library
// fills, when some event counts in them.
struct Column {
  const char* name;
  std::uint32_t kinds;
};
inline constexpr std::size_t ALWAYS_SHOWN_COLUMNS = 5;
inline constexpr std::array<Column, 12> COLUMNS = {{
    {"read", bit(Kind::read)},
    {"write", bit(Kind::write)},
    {"conn", bit(Kind::connect) | bit(Kind::connect_failed)},
    {"close", bit(Kind::close)},
    {"query", bit(Kind::sql_write)},
    {"open", bit(Kind::open_read) | bit(Kind::open_write) | bit(Kind::open_read_write) | bit(Kind::create)},
    {"probe", bit(Kind::missing) | bit(Kind::query)},
    {"change", bit(Kind::delete_) | bit(Kind::rename_from) | bit(Kind::rename_to) | bit(Kind::make_dir) |
                   bit(Kind::link_from) | bit(Kind::link_to) | bit(Kind::symlink)},
    {"exec", bit(Kind::exec) | bit(Kind::exec_failed)},
    {"serve", bit(Kind::bind) | bit(Kind::listen) | bit(Kind::accept) | bit(Kind::accept_local)},
    {"lookup", bit(Kind::resolve)},
    {"load", bit(Kind::load)},
}};

class Summary {
 public:
  struct Tally {
    std::array<std::uint64_t, kKindCount> by_kind{};
    std::set<std::int64_t> threads;
    std::uint64_t total() const;
    std::uint64_t column(std::size_t c) const;
  };

  // Feed every event, whether or not the filter keeps it: descriptor
  // tracking needs the whole picture so that a query can be charged to the
  // connection it was sent on. Only events with `counted` set show up in the
  // numbers. `seconds`: when the call was made (or its line read), for the time a
  // query waited for its first reply.
  void add(const Event& event, bool counted, double seconds = 0);

  // Queries whose connection never showed up get a row of their own. Every reader
  // below sees the settled counts.
  void settle() const;

  std::uint64_t events() const { return events_; }
  // Largest total first, then by name.
  std::vector<std::pair<const std::string*, const Tally*>> ranked_resources() const;
  // Most frequent first, then by text.
  std::vector<std::pair<const std::string*, std::uint64_t>> ranked_queries() const;
  std::size_t distinct_queries() const { return queries_.size(); }
  // How long a query's text waited for its first reply: from each "sql_write" to the
  // next read of that descriptor in that process that returned data (a ring's record
  // tells; a line does not, and then any read counts). Nothing when no reply was seen.
  struct ReplyTimes {
    std::size_t replies = 0;
    double median = 0;  // seconds
    double max = 0;
  };
  std::optional<ReplyTimes> first_reply(const std::string& text) const;
  const std::map<std::int32_t, Tally>& processes() const { return processes_; }
  // Everything, counted over the processes.
  Tally all() const;
  // The columns shown: the first five, and the others that count something.
  std::vector<std::size_t> shown_columns() const;
  // What was touched: by all processes, and (after keep_per_process) by each.
  const Footprint& footprint() const { return footprint_; }
  const std::map<std::int32_t, Footprint>& per_process() const { return per_process_; }
  void keep_per_process() { per_process_wanted_ = true; }

 private:
  using FdKey = std::pair<std::int32_t, std::int32_t>;  // pid, fd

  void charge_pending(const FdKey& key, const std::string& resource);
  void add_to_footprints(const Event& event, bool counted);

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
  // Queries sent on a descriptor and not answered yet: their text and time.
  std::map<FdKey, std::vector<std::pair<const std::string*, double>>> awaiting_;
  mutable std::unordered_map<const std::string*, std::vector<double>> reply_waits_;
  mutable Footprint footprint_;
  mutable bool footprint_settled_ = false;
  mutable std::map<std::int32_t, Footprint> per_process_;
  bool per_process_wanted_ = false;
  // The first name of a rename or link, by thread, until its second arrives; and
  // whether the filter kept it (a pair counts when either half is kept).
  std::unordered_map<std::int64_t, std::pair<std::string, bool>> pair_from_;
};

}  // namespace velmora::trace
