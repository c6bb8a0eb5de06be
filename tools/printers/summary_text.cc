#include "summary_text.h"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "display_text.h"
#include "file_sections.h"

namespace velmora::trace {
namespace {

constexpr std::size_t MAX_QUERIES_SHOWN = 25;

std::size_t digits(std::uint64_t v) {
  std::size_t n = 1;
  while (v >= 10) v /= 10, ++n;
  return n;
}

void pad_right(std::string& out, std::size_t used, std::size_t width) {
  if (used < width) out.append(width - used, ' ');
}

void append_count(std::string& out, std::uint64_t v, std::size_t width) {
  const std::string s = std::to_string(v);
  out += ' ';
  pad_right(out, s.size(), width);
  out += s;
}

// Columns the file name of a shown path takes, so that shortening keeps it.
std::size_t file_name_columns(std::string_view display) {
  const std::size_t slash = display.rfind('/');
  return slash == std::string_view::npos ? 0 : display_width(display.substr(slash));
}

void append_label(std::string& out, const char* label, std::size_t width) {
  const std::string_view s = label;
  out += ' ';
  pad_right(out, s.size(), width);
  out += s;
}

// The three tables share their numeric columns, sized once for all of them.
class Tables {
 public:
  Tables(const Summary& summary, std::size_t width, const ProcessRegistry* processes);
  void resources(std::string& out) const;
  void queries(std::string& out) const;
  void processes(std::string& out) const;

 private:
  void numbers(std::string& out, const Summary::Tally& t) const;
  void header(std::string& out, const char* first) const;
  std::string fitted(std::string_view bytes, std::size_t columns) const;

  const Summary& summary_;
  const ProcessRegistry* processes_;
  const std::size_t width_;
  const bool fit_;  // shorten names to the width; else names whole
  const Summary::Tally all_ = summary_.all();
  const std::vector<std::pair<const std::string*, const Summary::Tally*>> rows_ = summary_.ranked_resources();
  const std::vector<std::size_t> shown_ = summary_.shown_columns();
  std::array<std::size_t, COLUMNS.size()> col_{};
  std::size_t thr_col_ = 0;
  std::size_t total_col_ = 0;
  std::size_t numbers_ = 0;  // columns of the numeric part
  std::size_t name_col_ = 0;
};

Tables::Tables(const Summary& summary, std::size_t width, const ProcessRegistry* processes)
    : summary_(summary), processes_(processes), width_(width), fit_(width != 0) {
  // Everything is counted per process too, so that table bounds every column.
  for (const std::size_t c : shown_) {
    std::uint64_t widest = all_.column(c);
    for (const auto& [name, tally] : rows_) widest = std::max(widest, tally->column(c));
    col_[c] = std::max(std::string_view(COLUMNS[c].name).size(), digits(widest));
  }
  thr_col_ = std::max<std::size_t>(3, digits(all_.threads.size()));
  total_col_ = std::max<std::size_t>(5, digits(all_.total()));
  numbers_ = thr_col_ + total_col_ + 2;
  for (const std::size_t c : shown_) numbers_ += col_[c] + 1;
  name_col_ = fit_ && width > numbers_ + 12 ? width - numbers_ : 12;
  if (!fit_) {
    // Whole names: the column is as wide as the widest of them.
    name_col_ = std::string_view("resource").size();
    for (const auto& [name, tally] : rows_) name_col_ = std::max(name_col_, display_width(to_display(*name)));
  }
}

void Tables::numbers(std::string& out, const Summary::Tally& t) const {
  for (const std::size_t c : shown_) append_count(out, t.column(c), col_[c]);
  append_count(out, t.threads.size(), thr_col_);
  append_count(out, t.total(), total_col_);
}

void Tables::header(std::string& out, const char* first) const {
  out += first;
  pad_right(out, std::string_view(first).size(), name_col_);
  for (const std::size_t c : shown_) append_label(out, COLUMNS[c].name, col_[c]);
  append_label(out, "thr", thr_col_);
  append_label(out, "total", total_col_);
}

std::string Tables::fitted(std::string_view bytes, std::size_t columns) const {
  std::string shown = to_display(bytes);
  if (fit_) shown = shorten_middle(shown, columns, file_name_columns(shown));
  return shown;
}

void Tables::resources(std::string& out) const {
  header(out, "resource");
  out += '\n';
  for (const auto& [name, tally] : rows_) {
    const std::string shown = fitted(*name, name_col_);
    out += shown;
    pad_right(out, display_width(shown), name_col_);
    numbers(out, *tally);
    out += '\n';
  }
  if (rows_.empty()) out += "(none)\n";
}

void Tables::queries(std::string& out) const {
  if (summary_.distinct_queries() == 0) return;
  auto ranked = summary_.ranked_queries();
  const std::size_t count_col = std::max<std::size_t>(5, digits(ranked.front().second));
  // The time to the first reply, in ms: median and max over the texts' sendings.
  constexpr std::size_t REPLY_COL = 10;
  bool replies = false;
  for (const auto& [text, count] : ranked) replies = replies || summary_.first_reply(*text).has_value();
  const std::size_t reply_cols = replies ? 2 * (REPLY_COL + 2) : 0;
  const std::size_t text_col = width_ > count_col + 2 + reply_cols + 12 ? width_ - count_col - 2 - reply_cols : 12;
  out += "\n";
  pad_right(out, 5, count_col);
  out += replies ? "count  reply ms p50  reply ms max  query\n" : "count  query\n";
  // Queries with literal values inlined are mostly distinct: show the most frequent
  // and account for the rest in one line, so the table stays readable.
  const std::size_t shown = std::min(ranked.size(), MAX_QUERIES_SHOWN);
  std::uint64_t rest_events = 0;
  for (std::size_t i = shown; i < ranked.size(); ++i) rest_events += ranked[i].second;
  ranked.resize(shown);
  for (const auto& [text, count] : ranked) {
    const std::string n = std::to_string(count);
    pad_right(out, n.size(), count_col);
    out += n;
    out += "  ";
    if (replies) {
      const auto reply = summary_.first_reply(*text);
      for (const double seconds : {reply ? reply->median : -1, reply ? reply->max : -1}) {
        std::string ms = "-";
        if (seconds >= 0) append_fixed(ms = {}, seconds * 1e3, 3);
        pad_right(out, ms.size(), REPLY_COL + 2);
        out += ms;
        out += "  ";
      }
    }
    out += fit_ ? shorten_middle(to_display(*text), text_col) : to_display(*text);
    out += '\n';
  }
  if (summary_.distinct_queries() > shown) {
    out += "... and " + std::to_string(summary_.distinct_queries() - shown) + " more distinct queries (" +
           std::to_string(rest_events) + " events)\n";
  }
}

void Tables::processes(std::string& out) const {
  out += "\n";
  header(out, "pid");
  if (processes_ != nullptr) out += "  program";
  out += '\n';
  const std::size_t program_col = width_ > name_col_ + numbers_ + 2 + 12 ? width_ - name_col_ - numbers_ - 2 : 12;
  for (const auto& [pid, tally] : summary_.processes()) {
    const std::string label = std::to_string(pid);
    out += label;
    pad_right(out, label.size(), name_col_);
    numbers(out, tally);
    if (processes_ != nullptr) {
      const ProcessInfo* info = processes_->find(pid);
      out += "  ";
      out += info != nullptr ? fitted(program_label(*info), program_col) : "?";
    }
    out += '\n';
  }
  if (summary_.processes().empty()) out += "(none)\n";
  if (summary_.processes().size() > 1) {
    out += "all";
    pad_right(out, 3, name_col_);
    numbers(out, all_);
    out += '\n';
  }
}

}  // namespace

std::string summary_text(const Summary& summary, std::size_t width, const ProcessRegistry* processes) {
  const Tables tables(summary, width, processes);
  std::string out = "\nSummary: " + std::to_string(summary.events()) + " events (thr: distinct threads)\n\n";
  tables.resources(out);
  tables.queries(out);
  tables.processes(out);
  return out;
}

namespace {

// The sections of one footprint; empty ones only when `all_sections` and the section is
// one of the four always shown.
void footprint_text(std::string& out, const Footprint& footprint, bool all_sections, std::string_view indent) {
  std::vector<std::vector<FileEntry>> sections;
  std::uint64_t widest = 1;
  for (const FileSection& section : FILE_SECTIONS) {
    sections.push_back(section_entries(footprint, section));
    for (const FileEntry& e : sections.back()) widest = std::max(widest, e.count);
  }
  const std::size_t count_col = std::max<std::size_t>(6, digits(widest));
  for (std::size_t s = 0; s < FILE_SECTIONS.size(); ++s) {
    if (sections[s].empty() && !(all_sections && FILE_SECTIONS[s].always)) continue;
    out += indent;
    out += std::string(FILE_SECTIONS[s].title) + " (" + std::to_string(sections[s].size()) + "):\n";
    for (const FileEntry& e : sections[s]) {
      const std::string n = std::to_string(e.count);
      out += indent;
      pad_right(out, n.size(), count_col);
      out += n;
      out += "  ";
      append_display(out, e.name);
      if (FILE_SECTIONS[s].pairs >= 0) {
        out += " \u2192 ";
        append_display(out, e.to);
      }
      out += '\n';
    }
  }
}

}  // namespace

std::string files_text(const Summary& summary, const ProcessRegistry* processes) {
  std::string out = "\n";
  footprint_text(out, summary.footprint(), true, "");
  for (const auto& [pid, footprint] : summary.per_process()) {
    if (footprint.empty()) continue;
    const ProcessInfo* info = processes != nullptr ? processes->find(pid) : nullptr;
    out += "\nProcess " + std::to_string(pid) + ": ";
    append_display(out, info != nullptr ? program_label(*info) : std::string("?"));
    out += '\n';
    footprint_text(out, footprint, false, "  ");
  }
  return out;
}

}  // namespace velmora::trace
