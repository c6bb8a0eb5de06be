// --html FILE: one self-contained page (no network, nothing external) with a
// timeline, a row per process and thread and a mark per event coloured by
// kind, and below it the summary tables and the files read and written.
// Beyond EXACT_MARKS events the marks are aggregated into time bins per row,
// so that the page stays a few megabytes for a million events.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "json_writer.h"
#include "printer.h"

namespace velmora::trace {

class HtmlPrinter : public Printer {
 public:
  static constexpr std::size_t EXACT_MARKS = 20000;
  static constexpr std::size_t BINS = 1000;
  // Rows of the resource, query and file tables; the rest are counted.
  static constexpr std::size_t TABLE_ROWS = 500;

  // `fd`: the report's file, opened (not emptied) before the run, written at the end.
  HtmlPrinter(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  void event(const Event& event, double seconds, const ProcessInfo& who) override;
  std::string finish(const Model& model) override;
  bool needs_summary() const override { return true; }
  bool needs_threads() const override { return true; }

  // The whole page.
  std::string render(const Model& model) const;

 private:
  struct Mark {
    double seconds;
    std::uint32_t row;
    std::uint32_t detail;
    std::int32_t fd;
    Kind kind;
  };
  using RowKey = std::pair<std::int32_t, std::int64_t>;  // pid, tid

  class DetailRefs;
  void write_rows(JsonWriter& json, const Model& model, std::vector<std::uint32_t>& position) const;
  void write_lives(JsonWriter& json, const Model& model) const;
  void write_marks(JsonWriter& json, const std::vector<std::uint32_t>& position, DetailRefs& detail_ref) const;
  void write_bins(JsonWriter& json, const std::vector<std::uint32_t>& position, DetailRefs& detail_ref,
                  double start, double duration) const;

  UniqueFd fd_;
  std::string path_;
  std::vector<Mark> marks_;
  std::map<RowKey, std::uint32_t> rows_;
  std::unordered_map<std::string, std::uint32_t> detail_ids_;
  std::vector<const std::string*> details_;
};

// The page around the data: `data_json` must not contain '<' (the writer's script_safe).
std::string html_page(const std::string& title, const std::string& data_json);

}  // namespace velmora::trace
