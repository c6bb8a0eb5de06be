// --html FILE: one self-contained page (no network, nothing external) with a
// timeline, a row per process and thread and a mark per event coloured by
// kind, and below it the summary tables and the files read and written.
// Beyond kExactMarks events the marks are aggregated into time bins per row,
// so that the page stays a few megabytes for a million events.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "event_parse.h"
#include "process_names.h"
#include "summary.h"

namespace velmora::trace {

class HtmlReport {
 public:
  static constexpr std::size_t kExactMarks = 20000;
  static constexpr std::size_t kBins = 1000;
  // Rows of the resource, query and file tables; the rest are counted.
  static constexpr std::size_t kTableRows = 500;

  // Every event the filter kept, `seconds` after the start.
  void add(const Event& event, double seconds);

  // The whole page.
  std::string render(const std::vector<std::string>& command, const ProcessRegistry& processes,
                     Summary& summary) const;

 private:
  struct Mark {
    double seconds;
    std::uint32_t row;
    std::uint32_t detail;
    std::int32_t fd;
    Kind kind;
  };
  std::vector<Mark> marks_;
  std::map<std::pair<std::int32_t, std::int64_t>, std::uint32_t> rows_;  // (pid, tid) -> row
  std::unordered_map<std::string, std::uint32_t> detail_ids_;
  std::vector<const std::string*> details_;
};

// The page around the data: `data_json` must not contain '<' (see render).
std::string html_page(const std::string& title, const std::string& data_json);

}  // namespace velmora::trace
