#include "html_report.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "display_text.h"

namespace velmora::trace {
namespace {

// The JSON documents the summary renders, without their outer braces and
// final LF: '"summary":{...}'.
std::string members_of(const std::string& document) {
  if (document.size() < 3) return {};
  return document.substr(1, document.size() - 3);
}

}  // namespace

void HtmlReport::add(const Event& event, double seconds) {
  const auto [row_it, new_row] =
      rows_.emplace(std::make_pair(event.pid, event.tid), static_cast<std::uint32_t>(rows_.size()));
  (void)new_row;
  auto [detail_it, new_detail] = detail_ids_.emplace(event.detail, static_cast<std::uint32_t>(details_.size()));
  if (new_detail) details_.push_back(&detail_it->first);
  marks_.push_back({seconds, row_it->second, detail_it->second, event.fd, event.kind});
}

std::string HtmlReport::render(const std::vector<std::string>& command, const ProcessRegistry& processes,
                               Summary& summary) const {
  std::string title = "velmora-trace";
  for (const std::string& word : command) title += " " + word;

  // The timeline spans the first to the last event, not the program's start-up.
  double start = marks_.empty() ? 0 : marks_.front().seconds;
  double end = start;
  for (const Mark& m : marks_) start = std::min(start, m.seconds), end = std::max(end, m.seconds);
  const double duration = end - start;
  const bool binned = marks_.size() > kExactMarks;

  std::string data = "{";
  data += "\"title\":";
  append_json_string(data, title);
  data += ",\"events\":";
  append_number(data, marks_.size());
  data += ",\"start\":";
  append_fixed(data, start, 6);
  data += ",\"duration\":";
  append_fixed(data, duration, 6);

  // Rows sorted by process, then thread, so that a process's threads sit together.
  std::vector<std::pair<std::pair<std::int32_t, std::int64_t>, std::uint32_t>> rows(rows_.begin(), rows_.end());
  data += ",\"rows\":[";
  std::vector<std::uint32_t> position(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto& [key, row] = rows[i];
    position[row] = static_cast<std::uint32_t>(i);
    const ProcessInfo* info = processes.find(key.first);
    std::string thread = "thread " + std::to_string(key.second);
    if (info != nullptr) {
      if (const auto t = info->threads.find(key.second); t != info->threads.end()) thread = t->second;
    }
    data += i == 0 ? "{" : ",{";
    data += "\"pid\":";
    append_number(data, key.first);
    data += ",\"tid\":";
    append_number(data, key.second);
    data += ",\"program\":";
    append_json_string(data, info != nullptr ? program_label(*info) : std::string("?"));
    data += ",\"thread\":";
    append_json_string(data, thread);
    data += '}';
  }
  data += "]";

  // Details referenced by the marks, renumbered so that only those are written.
  std::vector<std::int64_t> renumbered(details_.size(), -1);
  std::vector<std::uint32_t> used;
  const auto detail_ref = [&](std::uint32_t id) {
    if (renumbered[id] < 0) {
      renumbered[id] = static_cast<std::int64_t>(used.size());
      used.push_back(id);
    }
    return renumbered[id];
  };

  std::string marks = ",\"marks\":[";
  bool first = true;
  if (!binned) {
    // [row, seconds, kind, fd, detail]
    for (const Mark& m : marks_) {
      marks += first ? "[" : ",[";
      first = false;
      append_number(marks, position[m.row]);
      marks += ',';
      append_fixed(marks, m.seconds, 6);
      marks += ',';
      append_number(marks, static_cast<int>(m.kind));
      marks += ',';
      append_number(marks, m.fd);
      marks += ',';
      append_number(marks, detail_ref(m.detail));
      marks += ']';
    }
  } else {
    // [row, bin, count per kind..., detail of the bin's first event]
    struct Bin {
      std::array<std::uint32_t, kKindCount> counts{};
      std::uint32_t first_detail = 0;
      bool used = false;
    };
    std::map<std::pair<std::uint32_t, std::uint32_t>, Bin> bins;
    const double width = duration > 0 ? duration / kBins : 1;
    for (const Mark& m : marks_) {
      const auto bin = std::min<std::uint32_t>(static_cast<std::uint32_t>((m.seconds - start) / width), kBins - 1);
      Bin& b = bins[{position[m.row], bin}];
      if (!b.used) b.first_detail = m.detail, b.used = true;
      ++b.counts[static_cast<std::size_t>(m.kind)];
    }
    std::uint32_t fullest = 0;
    for (const auto& [key, b] : bins) {
      std::uint32_t total = 0;
      for (const auto c : b.counts) total += c;
      fullest = std::max(fullest, total);
      marks += first ? "[" : ",[";
      first = false;
      append_number(marks, key.first);
      marks += ',';
      append_number(marks, key.second);
      for (const auto c : b.counts) {
        marks += ',';
        append_number(marks, c);
      }
      marks += ',';
      append_number(marks, detail_ref(b.first_detail));
      marks += ']';
    }
    data += ",\"bins\":";
    append_number(data, kBins);
    data += ",\"bin_seconds\":";
    append_fixed(data, width, 9);
    data += ",\"fullest_bin\":";
    append_number(data, fullest);
  }
  marks += "]";
  data += marks;

  data += ",\"details\":[";
  for (std::size_t i = 0; i < used.size(); ++i) {
    if (i != 0) data += ',';
    append_json_string(data, *details_[used[i]]);
  }
  data += "],";
  data += members_of(summary.render_json(&processes, kTableRows));
  data += ',';
  data += members_of(summary.render_files(true, kTableRows));
  data += "}";

  // The data sits inside a <script> element: no '<' may appear in it, or a
  // detail holding "</script>" would end the element. JSON never has '<'
  // outside strings, and inside them \u003c means the same.
  std::string safe;
  safe.reserve(data.size());
  for (const char c : data) {
    if (c == '<') safe += "\\u003c";
    else safe += c;
  }
  return html_page(title, safe);
}

}  // namespace velmora::trace
