// What a set of processes touched, the way a build tool records one rule: each path
// (address, program, SQL text) once per list, with how many events named it.
//
// Inputs apart from outputs: a file the set created, or wrote before it read anything
// of it (an assembler's object file, opened read-write), is an output; what it reads
// back of it is no input. A directory opened and never read is a directory listed.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "event_parse.h"

namespace velmora::trace {

class Footprint {
 public:
  enum List : std::uint8_t {
    read,            // read, or opened for reading (0 events when never read); inputs
    dirs_listed,     // directories opened (settle() tells them from files)
    written,         // written, opened for writing, or created
    created,         // the call proved the file new
    deleted,
    missing,         // probed and absent
    queried,         // metadata or existence asked, and found
    dirs_made,
    symlinks,        // symbolic links made (their own names)
    programs,        // programs started
    loaded,          // shared objects loaded
    resolved,        // names looked up, as "socket:HOST:SERVICE"
    sockets,         // sockets connected or used, by their peer (all their events)
    listening,       // local addresses bound or listened on
    accepted,        // connections accepted, by the listening address
    connect_failed,  // connections whose outcome was a failure
    sql,             // SQL texts sent
    LIST_COUNT
  };
  // Both names of a rename or a hard link, paired from two back-to-back lines.
  enum Pairs : std::uint8_t { renamed, linked, PAIRS_COUNT };
  using Names = std::map<std::string, std::uint64_t, std::less<>>;
  using PairNames = std::map<std::pair<std::string, std::string>, std::uint64_t>;

  // Every kind but the halves of a pair, which add_pair takes once paired; an
  // "exec_failed" takes back its program's "exec".
  void add(const Event& event);
  void add_pair(Pairs which, const std::string& from, const std::string& to);
  // Once every event is in: files "read" without a read that are directories now are
  // moved to dirs_listed (the only step that asks the file system).
  void settle();

  const Names& list(List l) const { return lists_[l]; }
  const PairNames& pairs(Pairs p) const { return pairs_[p]; }
  bool empty() const;

 private:
  void count(List l, std::string_view name, std::uint64_t n = 1);
  // Whether the set's first touch of the file made it an input or an output.
  enum class Origin : std::uint8_t { input, output };
  Origin first_touch(std::string_view path, Origin origin);
  std::map<std::string, Origin, std::less<>> origins_;
  std::array<Names, LIST_COUNT> lists_;
  std::array<PairNames, PAIRS_COUNT> pairs_;
};

// The path of a file's resource name ("file:/a" -> "/a"); other names whole.
std::string_view path_of(std::string_view name);

}  // namespace velmora::trace
