#include "event_parse.h"

namespace velmora::trace {

// The enum follows the codec's list, name for name ("delete" is a keyword here).
static_assert(static_cast<std::size_t>(Kind::load) + 1 == kKindCount &&
              velmora_io::EVENT_KINDS[static_cast<std::size_t>(Kind::sql_write)] == "sql_write" &&
              velmora_io::EVENT_KINDS[static_cast<std::size_t>(Kind::delete_)] == "delete" &&
              velmora_io::EVENT_KINDS[static_cast<std::size_t>(Kind::exec)] == "exec" &&
              velmora_io::EVENT_KINDS[static_cast<std::size_t>(Kind::connect_failed)] == "connect_failed" &&
              velmora_io::EVENT_KINDS[static_cast<std::size_t>(Kind::resolve)] == "resolve");

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

std::vector<std::string> exec_fields(std::string_view detail) {
  std::vector<std::string> fields(1);
  for (std::size_t i = 0; i < detail.size(); ++i) {
    const char c = detail[i];
    if (c == '\t') {
      fields.emplace_back();
    } else if (c == '\\' && i + 1 < detail.size() && (detail[i + 1] == 't' || detail[i + 1] == 'n' ||
                                                         detail[i + 1] == '\\')) {
      const char e = detail[++i];
      fields.back() += e == 't' ? '\t' : e == 'n' ? '\n' : '\\';
    } else {
      fields.back() += c;  // a stray backslash stays as it came
    }
  }
  return fields;
}

void LineParser::finish() {
  if (discarding_ || !pending_.empty()) ++rejected_;
  discarding_ = false;
  pending_.clear();
}

}  // namespace velmora::trace
