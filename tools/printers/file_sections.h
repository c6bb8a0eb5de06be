// The sections of the --files view, in the order text and JSON both give them.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "footprint.h"

namespace velmora::trace {

struct FileSection {
  const char* title;     // text: "Files read (N):"
  const char* key;       // JSON member
  const char* name_key;  // JSON: what names an entry ("path", "name", "text"); pairs: "from" and "to"
  int list;              // a Footprint::List, or -1 for a pair section
  int pairs;             // a Footprint::Pairs, or -1
  bool always;           // text shows it even when empty: the four both libraries fill
};

inline constexpr std::array<FileSection, 19> FILE_SECTIONS = {{
    {"Files read", "read", "path", Footprint::read, -1, true},
    {"Files written", "written", "path", Footprint::written, -1, true},
    {"Directories listed", "dirs_listed", "path", Footprint::dirs_listed, -1, false},
    {"Files created", "created", "path", Footprint::created, -1, false},
    {"Files deleted", "deleted", "path", Footprint::deleted, -1, false},
    {"Renamed", "renamed", "", -1, Footprint::renamed, false},
    {"Missing (looked for, absent)", "missing", "path", Footprint::missing, -1, false},
    {"Looked up (metadata, existence)", "queried", "path", Footprint::queried, -1, false},
    {"Directories made", "dirs_made", "path", Footprint::dirs_made, -1, false},
    {"Hard links made", "linked", "", -1, Footprint::linked, false},
    {"Symbolic links made", "symlinks", "path", Footprint::symlinks, -1, false},
    {"Programs started", "programs", "path", Footprint::programs, -1, false},
    {"Shared objects loaded", "loaded", "path", Footprint::loaded, -1, false},
    {"Names looked up", "resolved", "name", Footprint::resolved, -1, false},
    {"Sockets", "sockets", "name", Footprint::sockets, -1, true},
    {"Sockets listening", "listening", "name", Footprint::listening, -1, false},
    {"Connections accepted, by listening address", "accepted", "name", Footprint::accepted, -1, false},
    {"Connections failed", "connect_failed", "name", Footprint::connect_failed, -1, false},
    {"SQL texts", "sql", "text", Footprint::sql, -1, true},
}};

struct FileEntry {
  std::string_view name;  // a pair's first name
  std::string_view to;    // a pair's second name; empty otherwise
  std::uint64_t count;
};

// A section's entries: sorted by name, SQL texts the most frequent first.
std::vector<FileEntry> section_entries(const Footprint& footprint, const FileSection& section);

}  // namespace velmora::trace
