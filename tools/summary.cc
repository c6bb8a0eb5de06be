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

void Summary::settle_pending() {
  for (const auto& [key, tids] : pending_) {
    Tally& tally = resources_[kUnattributed];
    tally.by_kind[kQuery] += tids.size();
    tally.threads.insert(tids.begin(), tids.end());
  }
  pending_.clear();
}

std::vector<std::pair<const std::string*, std::uint64_t>> Summary::ranked_queries() const {
  std::vector<std::pair<const std::string*, std::uint64_t>> ranked;
  ranked.reserve(queries_.size());
  for (const auto& [text, count] : queries_) ranked.emplace_back(&text, count);
  std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second > b.second : *a.first < *b.first;
  });
  return ranked;
}

std::string Summary::render(std::size_t width, const ProcessRegistry* processes) {
  settle_pending();

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
  const bool fit = width != 0;
  std::size_t name_col = fit && width > numbers + 12 ? width - numbers : 12;
  if (!fit) {
    // Whole names: the column is as wide as the widest of them.
    name_col = std::string_view("resource").size();
    for (const auto& [name, tally] : resources_) name_col = std::max(name_col, display_width(to_display(name)));
  }

  const auto append_numbers = [&](std::string& out, const Tally& t) {
    for (std::size_t c = 0; c < kKindCount; ++c) {
      append_number(out, t.by_kind[static_cast<std::size_t>(kColumnKinds[c])], col[c]);
    }
    append_number(out, t.threads.size(), thr_col);
    append_number(out, t.total(), total_col);
  };
  const auto append_header = [&](std::string& out, const char* first) {
    out += first;
    pad_right(out, std::string_view(first).size(), name_col);
    for (std::size_t c = 0; c < kKindCount; ++c) append_label(out, kColumnNames[c], col[c]);
    append_label(out, "thr", thr_col);
    append_label(out, "total", total_col);
  };
  const auto fitted = [&](std::string_view bytes, std::size_t columns) {
    std::string shown = to_display(bytes);
    if (fit) shown = shorten_middle(shown, columns, file_name_columns(shown));
    return shown;
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
  out += '\n';
  for (const auto& [name, tally] : rows) {
    const std::string shown = fitted(*name, name_col);
    out += shown;
    pad_right(out, display_width(shown), name_col);
    append_numbers(out, *tally);
    out += '\n';
  }
  if (rows.empty()) out += "(none)\n";

  if (!queries_.empty()) {
    auto ranked = ranked_queries();
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
      out += fit ? shorten_middle(to_display(*text), text_col) : to_display(*text);
      out += '\n';
    }
    if (queries_.size() > shown) {
      out += "... and " + std::to_string(queries_.size() - shown) + " more distinct queries (" +
             std::to_string(rest_events) + " events)\n";
    }
  }

  out += "\n";
  append_header(out, "pid");
  if (processes != nullptr) out += "  program";
  out += '\n';
  const std::size_t program_col = width > name_col + numbers + 2 + 12 ? width - name_col - numbers - 2 : 12;
  for (const auto& [pid, tally] : processes_) {
    const std::string label = std::to_string(pid);
    out += label;
    pad_right(out, label.size(), name_col);
    append_numbers(out, tally);
    if (processes != nullptr) {
      const ProcessInfo* info = processes->find(pid);
      out += "  ";
      out += info != nullptr ? fitted(program_label(*info), program_col) : "?";
    }
    out += '\n';
  }
  if (processes_.empty()) out += "(none)\n";
  if (processes_.size() > 1) {
    out += "all";
    pad_right(out, 3, name_col);
    append_numbers(out, all);
    out += '\n';
  }
  return out;
}

namespace {

void append_counts(std::string& out, const std::array<std::uint64_t, kKindCount>& by_kind,
                   std::size_t threads, std::uint64_t total) {
  for (std::size_t c = 0; c < kKindCount; ++c) {
    out += ",\"";
    out += kColumnNames[c];
    out += "\":";
    out += std::to_string(by_kind[static_cast<std::size_t>(kColumnKinds[c])]);
  }
  out += ",\"threads\":" + std::to_string(threads) + ",\"total\":" + std::to_string(total);
}

}  // namespace

std::string Summary::render_json(const ProcessRegistry* processes, std::size_t limit) {
  settle_pending();
  std::string out = "{\"summary\":{\"events\":" + std::to_string(events_) + ",\"resources\":[";
  std::vector<std::pair<const std::string*, const Tally*>> rows;
  for (const auto& [name, tally] : resources_) rows.emplace_back(&name, &tally);
  std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
    const std::uint64_t ta = a.second->total(), tb = b.second->total();
    return ta != tb ? ta > tb : *a.first < *b.first;
  });
  bool first = true;
  const std::size_t resources_more = rows.size() > limit ? rows.size() - limit : 0;
  rows.resize(rows.size() - resources_more);
  for (const auto& [name, tally] : rows) {
    out += first ? "{" : ",{";
    first = false;
    append_json_text(out, "name", *name);
    append_counts(out, tally->by_kind, tally->threads.size(), tally->total());
    out += '}';
  }
  out += "],\"queries\":[";
  first = true;
  auto ranked = ranked_queries();
  const std::size_t queries_more = ranked.size() > limit ? ranked.size() - limit : 0;
  ranked.resize(ranked.size() - queries_more);
  for (const auto& [text, count] : ranked) {
    out += first ? "{" : ",{";
    first = false;
    append_json_text(out, "text", *text);
    out += ",\"count\":" + std::to_string(count) + "}";
  }
  if (resources_more != 0 || queries_more != 0) {
    out += "],\"resources_more\":" + std::to_string(resources_more) +
           ",\"queries_more\":" + std::to_string(queries_more);
  } else {
    out += "]";
  }
  out += ",\"processes\":[";
  first = true;
  for (const auto& [pid, tally] : processes_) {
    out += first ? "{" : ",{";
    first = false;
    out += "\"pid\":" + std::to_string(pid);
    if (const ProcessInfo* info = processes != nullptr ? processes->find(pid) : nullptr) {
      out += ',';
      append_json_text(out, "program", program_label(*info));
    }
    append_counts(out, tally.by_kind, tally.threads.size(), tally.total());
    out += '}';
  }
  out += "]}}\n";
  return out;
}

std::string Summary::render_files(bool json, std::size_t limit) {
  settle_pending();
  struct Entry {
    std::string_view name;
    std::uint64_t count;
  };
  std::vector<Entry> read, written, sockets, sql;
  for (const auto& [name, tally] : resources_) {
    const std::string_view n = name;
    if (n.starts_with("file:")) {
      const std::string_view path = n.substr(5);
      if (const auto r = tally.by_kind[static_cast<std::size_t>(Kind::read)]) read.push_back({path, r});
      if (const auto w = tally.by_kind[static_cast<std::size_t>(Kind::write)]) written.push_back({path, w});
    } else if (n.starts_with("socket:")) {
      sockets.push_back({n, tally.total()});
    }
  }
  for (auto* list : {&read, &written, &sockets}) {
    std::sort(list->begin(), list->end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
  }
  for (const auto& [text, count] : ranked_queries()) sql.push_back({*text, count});

  const std::array<std::pair<const char*, const std::vector<Entry>*>, 4> sections = {
      {{"read", &read}, {"written", &written}, {"sockets", &sockets}, {"sql", &sql}}};
  std::string out;
  if (json) {
    out = "{\"files\":{";
    for (std::size_t s = 0; s < sections.size(); ++s) {
      const bool is_sql = s == 3;
      out += s == 0 ? "\"" : ",\"";
      out += sections[s].first;
      out += "\":[";
      bool first = true;
      const std::vector<Entry>& list = *sections[s].second;
      for (std::size_t i = 0; i < list.size() && i < limit; ++i) {
        out += first ? "{" : ",{";
        first = false;
        append_json_text(out, s < 2 ? "path" : is_sql ? "text" : "name", list[i].name);
        out += ",\"events\":" + std::to_string(list[i].count) + "}";
      }
      out += ']';
      if (list.size() > limit) {
        out += ",\"";
        out += sections[s].first;
        out += "_more\":" + std::to_string(list.size() - limit);
      }
    }
    out += "}}\n";
    return out;
  }
  constexpr std::array<const char*, 4> kTitles = {"Files read", "Files written", "Sockets", "SQL texts"};
  std::uint64_t widest = 1;
  for (const auto& [title, list] : sections) {
    for (const Entry& e : *list) widest = std::max(widest, e.count);
  }
  const std::size_t count_col = std::max<std::size_t>(6, digits(widest));
  for (std::size_t s = 0; s < sections.size(); ++s) {
    out += s == 0 ? "\n" : "";
    out += std::string(kTitles[s]) + " (" + std::to_string(sections[s].second->size()) + "):\n";
    for (const Entry& e : *sections[s].second) {
      const std::string n = std::to_string(e.count);
      pad_right(out, n.size(), count_col);
      out += n;
      out += "  ";
      append_display(out, e.name);
      out += '\n';
    }
  }
  return out;
}

}  // namespace velmora::trace
