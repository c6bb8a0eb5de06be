#include "footprint.h"

#include <filesystem>
#include <system_error>

namespace velmora::trace {

std::string_view path_of(std::string_view name) {
  if (name.starts_with("file:")) name.remove_prefix(5);
  return name;
}

void Footprint::count(List l, std::string_view name, std::uint64_t n) {
  auto it = lists_[l].find(name);
  if (it == lists_[l].end()) it = lists_[l].emplace(std::string(name), 0).first;
  it->second += n;
}

Footprint::Origin Footprint::first_touch(std::string_view path, Origin origin) {
  auto it = origins_.find(path);
  if (it == origins_.end()) it = origins_.emplace(std::string(path), origin).first;
  return it->second;
}

void Footprint::add(const Event& event) {
  const std::string_view d = event.detail;
  const bool file = d.starts_with("file:");
  const std::string_view p = path_of(d);
  switch (event.kind) {
    case Kind::read:
      if (!file) {
        if (d.starts_with("socket:")) count(sockets, d);
      } else if (first_touch(p, Origin::input) == Origin::input) {
        count(read, p);
      }
      break;
    case Kind::write:
      if (file) first_touch(p, Origin::output), count(written, p);
      else if (d.starts_with("socket:")) count(sockets, d);
      break;
    case Kind::close: case Kind::connect: case Kind::accept:
      if (d.starts_with("socket:")) count(sockets, d);
      break;
    case Kind::open_read:
      if (!origins_.contains(p) || origins_.find(p)->second == Origin::input) count(read, p, 0);
      break;
    case Kind::open_write: first_touch(p, Origin::output), count(written, p, 0); break;
    case Kind::open_read_write: count(written, p, 0); break;  // which it is, its first read or write says
    case Kind::create: origins_.insert_or_assign(std::string(p), Origin::output), count(created, p), count(written, p, 0); break;
    case Kind::missing: count(missing, p); break;
    case Kind::query: count(queried, p); break;
    case Kind::delete_: count(deleted, p); break;
    case Kind::make_dir: count(dirs_made, p); break;
    case Kind::symlink: count(symlinks, p); break;
    case Kind::exec: count(programs, d.substr(0, d.find('\t'))); break;
    case Kind::bind: case Kind::listen: count(listening, d); break;
    case Kind::accept_local: count(accepted, d); break;
    case Kind::connect_failed: count(connect_failed, d); break;
    case Kind::sql_write: count(sql, d); break;
    case Kind::load: count(loaded, p); break;
    case Kind::resolve: count(resolved, d); break;
    case Kind::exec_failed: {
      // A program that did not start (a shell trying each PATH entry execs each one).
      const auto it = lists_[programs].find(p);
      if (it != lists_[programs].end() && --it->second == 0) lists_[programs].erase(it);
      break;
    }
    case Kind::rename_from: case Kind::rename_to: case Kind::link_from:
    case Kind::link_to: break;
  }
}

void Footprint::settle() {
  Names& files = lists_[read];
  for (auto it = files.begin(); it != files.end();) {
    std::error_code error;
    if (it->second == 0 && std::filesystem::is_directory(it->first, error)) {
      lists_[dirs_listed].insert(files.extract(it++));
    } else {
      ++it;
    }
  }
}

void Footprint::add_pair(Pairs which, const std::string& from, const std::string& to) {
  ++pairs_[which][{std::string(path_of(from)), std::string(path_of(to))}];
}

bool Footprint::empty() const {
  for (const Names& l : lists_) {
    if (!l.empty()) return false;
  }
  for (const PairNames& p : pairs_) {
    if (!p.empty()) return false;
  }
  return true;
}

}  // namespace velmora::trace
