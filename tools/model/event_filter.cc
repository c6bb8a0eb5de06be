#include "event_filter.h"

#include <fnmatch.h>

#include <algorithm>
#include <filesystem>
#include <functional>

namespace velmora::trace {
namespace {

// Calls `item` for every comma-separated entry; stops and fails on an empty
// entry or when `item` fails.
bool for_each_item(std::string_view list, std::string& error,
                   const std::function<bool(std::string_view)>& item) {
  for (;;) {
    const std::size_t comma = list.find(',');
    const std::string_view name = list.substr(0, comma);
    if (name.empty()) {
      error = "empty entry in list";
      return false;
    }
    if (!item(name)) {
      error = "unknown entry '" + std::string(name) + "'";
      return false;
    }
    if (comma == std::string_view::npos) return true;
    list.remove_prefix(comma + 1);
  }
}

}  // namespace

bool pattern_matches(const std::string& pattern, const std::string& detail) {
  if (pattern.find_first_of("*?[") == std::string::npos) return detail.find(pattern) != std::string::npos;
  if (::fnmatch(pattern.c_str(), detail.c_str(), 0) == 0) return true;
  for (const std::string_view prefix : {"file:", "socket:"}) {
    if (detail.starts_with(prefix)) return ::fnmatch(pattern.c_str(), detail.c_str() + prefix.size(), 0) == 0;
  }
  return false;
}

namespace {

// The path an event names: a file's, or the program an "exec" starts; empty for others.
std::string_view event_path(const Event& event) {
  const std::string_view d = event.detail;
  if (event.kind == Kind::exec || event.kind == Kind::exec_failed) return d.substr(0, d.find('\t'));
  if (event.kind != Kind::sql_write && d.starts_with("file:")) return d.substr(5);
  return {};
}

bool is_under(std::string_view path, std::string_view dir) {
  return path.starts_with(dir) && (path.size() == dir.size() || path[dir.size()] == '/' || dir == "/");
}

bool program_matches(const std::string& glob, const ProcessInfo& who) {
  if (::fnmatch(glob.c_str(), who.exe.c_str(), 0) == 0) return true;
  const std::size_t slash = who.exe.rfind('/');
  return slash != std::string::npos && ::fnmatch(glob.c_str(), who.exe.c_str() + slash + 1, 0) == 0;
}

}  // namespace

bool EventFilter::normalise_under(std::string& dir) {
  if (dir.empty()) return false;
  std::error_code error;
  // Folded as the library folds the paths it reports: lexically, no link followed.
  std::filesystem::path path = std::filesystem::absolute(dir, error).lexically_normal();
  if (error) return false;
  dir = path.string();
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return true;
}

bool EventFilter::accepts(const Event& event, const ProcessInfo& who) const {
  if (!kinds[static_cast<std::size_t>(event.kind)]) return false;
  if (!pids.empty() && std::find(pids.begin(), pids.end(), event.pid) == pids.end()) return false;
  if (!programs.empty() &&
      std::none_of(programs.begin(), programs.end(), [&](const std::string& g) { return program_matches(g, who); })) {
    return false;
  }
  if (!under.empty()) {
    const std::string_view path = event_path(event);
    if (std::none_of(under.begin(), under.end(), [&](const std::string& dir) { return is_under(path, dir); })) {
      return false;
    }
  }
  if (event.kind == Kind::sql_write) {
    if (!sql) return false;
  } else {
    const std::string_view d = event.detail;
    const bool is_file = d.starts_with("file:");
    const bool is_socket = d.starts_with("socket:");
    // Resources of neither class are shown only when no class was singled out.
    if (is_file ? !files : is_socket ? !sockets : !(files && sockets && sql)) return false;
  }
  for (const std::string& pattern : exclude) {
    if (pattern_matches(pattern, event.detail)) return false;
  }
  if (match.empty()) return true;
  for (const std::string& pattern : match) {
    if (pattern_matches(pattern, event.detail)) return true;
  }
  return false;
}

bool EventFilter::set_kinds(std::string_view list, std::string& error) {
  std::array<bool, kKindCount> chosen{};
  const bool ok = for_each_item(list, error, [&](std::string_view name) {
    // "sql" is a friendlier spelling of sql_write ("query" is the wide library's lookup).
    const auto kind = name == "sql" ? std::optional<Kind>(Kind::sql_write) : kind_from_name(name);
    if (!kind) return false;
    chosen[static_cast<std::size_t>(*kind)] = true;
    return true;
  });
  if (ok) kinds = chosen;
  return ok;
}

bool EventFilter::set_only(std::string_view list, std::string& error) {
  bool f = false, s = false, q = false;
  const bool ok = for_each_item(list, error, [&](std::string_view name) {
    if (name == "file" || name == "files") f = true;
    else if (name == "socket" || name == "sockets") s = true;
    else if (name == "sql") q = true;
    else return false;
    return true;
  });
  if (ok) files = f, sockets = s, sql = q;
  return ok;
}

}  // namespace velmora::trace
