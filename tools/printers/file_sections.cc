#include "file_sections.h"

#include <algorithm>

namespace velmora::trace {

std::vector<FileEntry> section_entries(const Footprint& footprint, const FileSection& section) {
  std::vector<FileEntry> entries;
  if (section.pairs >= 0) {
    for (const auto& [names, n] : footprint.pairs(static_cast<Footprint::Pairs>(section.pairs))) {
      entries.push_back({names.first, names.second, n});
    }
    return entries;
  }
  for (const auto& [name, n] : footprint.list(static_cast<Footprint::List>(section.list))) {
    entries.push_back({name, {}, n});
  }
  if (section.list == Footprint::sql) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const FileEntry& a, const FileEntry& b) { return a.count > b.count; });
  }
  return entries;
}

}  // namespace velmora::trace
