#include "footprint.h"

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

void Footprint::add(const Event& event) {
  const std::string_view d = event.detail;
  const bool file = d.starts_with("file:");
  const std::string_view p = path_of(d);
  switch (event.kind) {
    case Kind::read: if (file) count(read, p); else if (d.starts_with("socket:")) count(sockets, d); break;
    case Kind::write: if (file) count(written, p); else if (d.starts_with("socket:")) count(sockets, d); break;
    case Kind::close: case Kind::connect: case Kind::accept:
      if (d.starts_with("socket:")) count(sockets, d);
      break;
    case Kind::open_read: count(read, p, 0); break;
    case Kind::open_write: count(written, p, 0); break;
    case Kind::open_read_write: count(read, p, 0), count(written, p, 0); break;
    case Kind::create: count(created, p), count(written, p, 0); break;
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
