#include "resource_name.h"

namespace velmora::trace {

std::string short_resource_name(Kind kind, std::string_view detail) {
  std::string_view name = detail;
  const bool program = kind == Kind::exec || kind == Kind::exec_failed;
  if (program) name = name.substr(0, name.find('\t'));  // the program, without its arguments
  if (kind != Kind::sql_write) {
    if (name.starts_with("file:") || program) {
      if (!program) name.remove_prefix(5);
      // The last part of the path; a path ending in '/' keeps it.
      const std::size_t slash = name.size() > 1 ? name.rfind('/', name.size() - 2) : std::string_view::npos;
      if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
    } else if (name.starts_with("socket:")) {
      name.remove_prefix(7);
    }
  }
  if (name.size() <= SHORT_NAME_BYTES) return std::string(name);
  std::size_t cut = SHORT_NAME_BYTES;
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;  // a UTF-8 continuation
  return std::string(name.substr(0, cut)) + "\u2026";
}

std::string event_title(Kind kind, std::string_view detail) {
  std::string title(kind_name(kind));
  const std::string name = short_resource_name(kind, detail);
  if (!name.empty()) title += ' ' + name;
  return title;
}

}  // namespace velmora::trace
