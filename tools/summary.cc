#include "summary.h"

#include <algorithm>
#include <cstdio>

#include "display_text.h"

namespace velmora::trace {
namespace {

constexpr std::size_t kQuery = static_cast<std::size_t>(Kind::sql_write);
constexpr const char* kUnattributed = "(connection not seen)";
constexpr std::size_t kMaxQueriesShown = 25;

// Column order of the numeric part, as kinds.
constexpr std::array<Kind, kKindCount> kColumnKinds = {Kind::read, Kind::write, Kind::connect,
                                                       Kind::close, Kind::sql_write};
constexpr std::array<const char*, kKindCount> kColumnNames = {"read", "write", "conn", "close",
                                                              "query"};

std::size_t digits(std::uint64_t v) {
  std::size_t n = 1;
  while (v >= 10) v /= 10, ++n;
  return n;
}

void pad_right(std::string& out, std::size_t used, std::size_t width) {
  if (used < width) out.append(width - used, ' ');
}

void append_number(std::string& out, std::uint64_t v, std::size_t width) {
  const std::string s = std::to_string(v);
  out += ' ';
  pad_right(out, s.size(), width);
  out += s;
}

void append_label(std::string& out, const char* label, std::size_t width) {
  const std::string_view s = label;
  out += ' ';
  pad_right(out, s.size(), width);
  out += s;
}

}  // namespace

std::uint64_t Summary::Tally::total() const {
  std::uint64_t sum = 0;
  for (const std::uint64_t v : by_kind) sum += v;
  return sum;
}

void Summary::charge_pending(const FdKey& key, const std::string& resource) {
  const auto it = pending_.find(key);
  if (it == pending_.end()) return;
  Tally& tally = resources_[resource];
  tally.by_kind[kQuery] += it->second.size();
  tally.threads.insert(it->second.begin(), it->second.end());
  pending_.erase(it);
}

void Summary::add(const Event& event, bool counted) {
  const FdKey key{event.pid, event.fd};
  if (event.kind == Kind::sql_write) {
    if (!counted) return;
    ++events_;
    ++queries_[event.detail];
    Tally& process = processes_[event.pid];
    ++process.by_kind[kQuery];
    process.threads.insert(event.tid);
    if (const auto it = open_.find(key); it != open_.end()) {
      Tally& tally = resources_[it->second];
      ++tally.by_kind[kQuery];
      tally.threads.insert(event.tid);
    } else {
      pending_[key].push_back(event.tid);
    }
    return;
  }

  if (event.fd >= 0 && !event.detail.empty()) {
    charge_pending(key, event.detail);
    if (event.kind == Kind::close) open_.erase(key);
    else open_[key] = event.detail;
  }
  if (!counted) return;
  ++events_;
  const std::size_t k = static_cast<std::size_t>(event.kind);
  Tally& tally = resources_[event.detail];
  ++tally.by_kind[k];
  tally.threads.insert(event.tid);
  Tally& process = processes_[event.pid];
  ++process.by_kind[k];
  process.threads.insert(event.tid);
}

std::string Summary::render(std::size_t width) {
  // Queries whose connection never showed up still need a row.
  for (const auto& [key, tids] : pending_) {
    Tally& tally = resources_[kUnattributed];
    tally.by_kind[kQuery] += tids.size();
    tally.threads.insert(tids.begin(), tids.end());
  }
  pending_.clear();

  // Everything is counted per process too, so that table bounds every column.
  Tally all;
  for (const auto& [pid, tally] : processes_) {
    for (std::size_t k = 0; k < kKindCount; ++k) all.by_kind[k] += tally.by_kind[k];
    all.threads.insert(tally.threads.begin(), tally.threads.end());
  }
  std::array<std::size_t, kKindCount> col{};
  for (std::size_t c = 0; c < kKindCount; ++c) {
    const auto k = static_cast<std::size_t>(kColumnKinds[c]);
    std::uint64_t widest = all.by_kind[k];
    for (const auto& [name, tally] : resources_) widest = std::max(widest, tally.by_kind[k]);
    col[c] = std::max(std::string_view(kColumnNames[c]).size(), digits(widest));
  }
  const std::size_t thr_col = std::max<std::size_t>(3, digits(all.threads.size()));
  const std::size_t total_col = std::max<std::size_t>(5, digits(all.total()));
  std::size_t numbers = thr_col + total_col + 2;
  for (const std::size_t c : col) numbers += c + 1;
  const std::size_t name_col = width > numbers + 12 ? width - numbers : 12;

  const auto append_numbers = [&](std::string& out, const Tally& t) {
    for (std::size_t c = 0; c < kKindCount; ++c) {
      append_number(out, t.by_kind[static_cast<std::size_t>(kColumnKinds[c])], col[c]);
    }
    append_number(out, t.threads.size(), thr_col);
    append_number(out, t.total(), total_col);
    out += '\n';
  };
  const auto append_header = [&](std::string& out, const char* first) {
    out += first;
    pad_right(out, std::string_view(first).size(), name_col);
    for (std::size_t c = 0; c < kKindCount; ++c) append_label(out, kColumnNames[c], col[c]);
    append_label(out, "thr", thr_col);
    append_label(out, "total", total_col);
    out += '\n';
  };
  const auto append_name = [&](std::string& out, std::string_view bytes) {
    const std::string shown = shorten_middle(to_display(bytes), name_col);
    out += shown;
    pad_right(out, display_width(shown), name_col);
  };

  std::string out;
  out += "\nSummary: " + std::to_string(events_) + " events (thr: distinct threads)\n\n";

  std::vector<std::pair<const std::string*, const Tally*>> rows;
  rows.reserve(resources_.size());
  for (const auto& [name, tally] : resources_) rows.emplace_back(&name, &tally);
  std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
    const std::uint64_t ta = a.second->total(), tb = b.second->total();
    return ta != tb ? ta > tb : *a.first < *b.first;
  });
  append_header(out, "resource");
  for (const auto& [name, tally] : rows) {
    append_name(out, *name);
    append_numbers(out, *tally);
  }
  if (rows.empty()) out += "(none)\n";

  if (!queries_.empty()) {
    std::vector<std::pair<const std::string*, std::uint64_t>> ranked;
    ranked.reserve(queries_.size());
    for (const auto& [text, count] : queries_) ranked.emplace_back(&text, count);
    std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
      return a.second != b.second ? a.second > b.second : *a.first < *b.first;
    });
    const std::size_t count_col = std::max<std::size_t>(5, digits(ranked.front().second));
    const std::size_t text_col = width > count_col + 2 + 12 ? width - count_col - 2 : 12;
    out += "\n";
    pad_right(out, 5, count_col);
    out += "count  query\n";
    // Queries with literal values inlined are mostly distinct: show the most frequent
    // and account for the rest in one line, so the table stays readable.
    const std::size_t shown = std::min(ranked.size(), kMaxQueriesShown);
    std::uint64_t rest_events = 0;
    for (std::size_t i = shown; i < ranked.size(); ++i) rest_events += ranked[i].second;
    ranked.resize(shown);
    for (const auto& [text, count] : ranked) {
      const std::string n = std::to_string(count);
      pad_right(out, n.size(), count_col);
      out += n;
      out += "  ";
      out += shorten_middle(to_display(*text), text_col);
      out += '\n';
    }
    if (queries_.size() > shown) {
      out += "... and " + std::to_string(queries_.size() - shown) + " more distinct queries (" +
             std::to_string(rest_events) + " events)\n";
    }
  }

  out += "\n";
  append_header(out, "pid");
  for (const auto& [pid, tally] : processes_) {
    const std::string label = std::to_string(pid);
    out += label;
    pad_right(out, label.size(), name_col);
    append_numbers(out, tally);
  }
  if (processes_.empty()) out += "(none)\n";
  if (processes_.size() > 1) {
    out += "all";
    pad_right(out, 3, name_col);
    append_numbers(out, all);
  }
  return out;
}

}  // namespace velmora::trace
