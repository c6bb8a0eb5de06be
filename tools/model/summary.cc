#include "summary.h"

#include <algorithm>

namespace velmora::trace {
namespace {

constexpr std::size_t QUERY = static_cast<std::size_t>(Kind::sql_write);
constexpr const char* UNATTRIBUTED = "(connection not seen)";

}  // namespace

std::uint64_t Summary::Tally::column(std::size_t c) const {
  std::uint64_t sum = 0;
  for (std::size_t k = 0; k < kKindCount; ++k) {
    if ((COLUMNS[c].kinds & (1u << k)) != 0) sum += by_kind[k];
  }
  return sum;
}

std::uint64_t Summary::Tally::total() const {
  std::uint64_t sum = 0;
  for (const std::uint64_t v : by_kind) sum += v;
  return sum;
}

void Summary::charge_pending(const FdKey& key, const std::string& resource) {
  const auto it = pending_.find(key);
  if (it == pending_.end()) return;
  Tally& tally = resources_[resource];
  tally.by_kind[QUERY] += it->second.size();
  tally.threads.insert(it->second.begin(), it->second.end());
  pending_.erase(it);
}

void Summary::add_to_footprints(const Event& event, bool counted) {
  const bool from = event.kind == Kind::rename_from || event.kind == Kind::link_from;
  const bool to = event.kind == Kind::rename_to || event.kind == Kind::link_to;
  if (from) {
    pair_from_[event.tid] = {event.detail, counted};
    return;
  }
  if (to) {
    const auto it = pair_from_.find(event.tid);
    if (it == pair_from_.end()) return;
    if (counted || it->second.second) {
      const auto which = event.kind == Kind::rename_to ? Footprint::renamed : Footprint::linked;
      footprint_.add_pair(which, it->second.first, event.detail);
      if (per_process_wanted_) per_process_[event.pid].add_pair(which, it->second.first, event.detail);
    }
    pair_from_.erase(it);
    return;
  }
  // A failed exec takes back its exec, whichever of the two the filter kept.
  if (!counted && event.kind != Kind::exec_failed) return;
  footprint_.add(event);
  if (per_process_wanted_) per_process_[event.pid].add(event);
}

void Summary::add(const Event& event, bool counted, double seconds) {
  const FdKey key{event.pid, event.fd};
  add_to_footprints(event, counted);
  // A read that brought nothing (an EAGAIN before the reply) is no reply.
  if ((event.kind == Kind::read && !event.no_data) || event.kind == Kind::close) {
    if (const auto it = awaiting_.find(key); it != awaiting_.end()) {
      if (event.kind == Kind::read) {
        for (const auto& [text, sent] : it->second) reply_waits_[text].push_back(std::max(0.0, seconds - sent));
      }
      awaiting_.erase(it);
    }
  }
  if (event.kind == Kind::sql_write) {
    if (!counted) return;
    ++events_;
    const auto query = queries_.try_emplace(event.detail, 0).first;
    ++query->second;
    awaiting_[key].emplace_back(&query->first, seconds);
    Tally& process = processes_[event.pid];
    ++process.by_kind[QUERY];
    process.threads.insert(event.tid);
    if (const auto it = open_.find(key); it != open_.end()) {
      Tally& tally = resources_[it->second];
      ++tally.by_kind[QUERY];
      tally.threads.insert(event.tid);
    } else {
      pending_[key].push_back(event.tid);
    }
    return;
  }

  // "accept_local" names the listening socket, not the new descriptor it is reported under.
  if (event.fd >= 0 && !event.detail.empty() && event.kind != Kind::accept_local) {
    charge_pending(key, event.detail);
    if (event.kind == Kind::close) open_.erase(key);
    else open_[key] = event.detail;
  }
  if (!counted) return;
  ++events_;
  const std::size_t k = static_cast<std::size_t>(event.kind);
  // A program started is its own resource, whatever its arguments.
  Tally& tally = event.kind == Kind::exec || event.kind == Kind::exec_failed
                     ? resources_[event.detail.substr(0, event.detail.find('\t'))]
                     : resources_[event.detail];
  ++tally.by_kind[k];
  tally.threads.insert(event.tid);
  Tally& process = processes_[event.pid];
  ++process.by_kind[k];
  process.threads.insert(event.tid);
}

void Summary::settle() const {
  if (!footprint_settled_) {
    footprint_.settle();
    for (auto& [pid, footprint] : per_process_) footprint.settle();
    footprint_settled_ = true;
  }
  for (const auto& [key, tids] : pending_) {
    Tally& tally = resources_[UNATTRIBUTED];
    tally.by_kind[QUERY] += tids.size();
    tally.threads.insert(tids.begin(), tids.end());
  }
  pending_.clear();
}

std::vector<std::pair<const std::string*, const Summary::Tally*>> Summary::ranked_resources() const {
  settle();
  std::vector<std::pair<const std::string*, const Tally*>> rows;
  rows.reserve(resources_.size());
  for (const auto& [name, tally] : resources_) rows.emplace_back(&name, &tally);
  std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
    const std::uint64_t ta = a.second->total(), tb = b.second->total();
    return ta != tb ? ta > tb : *a.first < *b.first;
  });
  return rows;
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

std::optional<Summary::ReplyTimes> Summary::first_reply(const std::string& text) const {
  const auto it = reply_waits_.find(&text);
  if (it == reply_waits_.end() || it->second.empty()) return std::nullopt;
  std::vector<double>& waits = it->second;
  const auto middle = waits.begin() + static_cast<std::ptrdiff_t>(waits.size() / 2);
  std::nth_element(waits.begin(), middle, waits.end());
  return ReplyTimes{waits.size(), *middle, *std::max_element(waits.begin(), waits.end())};
}

Summary::Tally Summary::all() const {
  Tally all;
  for (const auto& [pid, tally] : processes_) {
    for (std::size_t k = 0; k < kKindCount; ++k) all.by_kind[k] += tally.by_kind[k];
    all.threads.insert(tally.threads.begin(), tally.threads.end());
  }
  return all;
}

std::vector<std::size_t> Summary::shown_columns() const {
  const Tally everything = all();
  std::vector<std::size_t> shown;
  for (std::size_t c = 0; c < COLUMNS.size(); ++c) {
    if (c < ALWAYS_SHOWN_COLUMNS || everything.column(c) != 0) shown.push_back(c);
  }
  return shown;
}

}  // namespace velmora::trace
