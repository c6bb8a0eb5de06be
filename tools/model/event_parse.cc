#include "event_parse.h"

namespace velmora::trace {

static_assert(velmora_io::EVENT_KINDS[static_cast<std::size_t>(Kind::read)] == "read" &&
              velmora_io::EVENT_KINDS[static_cast<std::size_t>(Kind::write)] == "write" &&
              velmora_io::EVENT_KINDS[static_cast<std::size_t>(Kind::close)] == "close" &&
              velmora_io::EVENT_KINDS[static_cast<std::size_t>(Kind::connect)] == "connect" &&
              velmora_io::EVENT_KINDS[static_cast<std::size_t>(Kind::sql_write)] == "sql_write");

std::string_view kind_name(Kind kind) { return velmora_io::EVENT_KINDS[static_cast<std::size_t>(kind)]; }

std::optional<Kind> kind_from_name(std::string_view name) {
  const auto index = velmora_io::event_kind_index(name);
  if (!index) return std::nullopt;
  return static_cast<Kind>(*index);
}

ParseError parse_event_line(std::string_view line, Event& out) {
  velmora_io::ParsedLine parsed;
  const ParseError error = velmora_io::parse_event_line(line, parsed);
  if (error != ParseError::none) return error;
  out.kind = static_cast<Kind>(parsed.kind);
  out.detail.resize(parsed.detail_size);
  velmora_io::unescape_detail(parsed.escaped_detail, out.detail.data());
  out.fd = parsed.fd;
  out.pid = parsed.pid;
  out.tid = parsed.tid;
  return ParseError::none;
}

void LineParser::finish() {
  if (discarding_ || !pending_.empty()) ++rejected_;
  discarding_ = false;
  pending_.clear();
}

}  // namespace velmora::trace
