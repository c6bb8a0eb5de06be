#include "event_format.h"

#include <charconv>

#include "display_text.h"

namespace velmora::trace {
namespace {

void pad_to(std::string& out, std::size_t start, std::size_t width) {
  const std::size_t used = out.size() - start;
  if (used < width) out.append(width - used, ' ');
}

// "  1.234567 100/101 read      fd=3    file:/etc/hosts"
void format_text(const Event& event, double seconds, std::string& out) {
  std::size_t start = out.size();
  append_fixed(out, seconds, 6);
  if (out.size() - start < 10) out.insert(start, 10 - (out.size() - start), ' ');
  out += ' ';
  append_number(out, event.pid);
  out += '/';
  append_number(out, event.tid);
  out += ' ';
  start = out.size();
  out += kind_name(event.kind);
  pad_to(out, start, 9);  // the longest kind name, so that the details line up
  out += " fd=";
  start = out.size();
  append_number(out, event.fd);
  pad_to(out, start, 4);
  out += ' ';
  append_display(out, event.detail);
  out += '\n';
}

void format_jsonl(const Event& event, double seconds, std::string& out) {
  out += "{\"t\":";
  append_fixed(out, seconds, 6);
  out += ",\"pid\":";
  append_number(out, event.pid);
  out += ",\"tid\":";
  append_number(out, event.tid);
  out += ",\"kind\":\"";
  out += kind_name(event.kind);
  out += "\",\"fd\":";
  append_number(out, event.fd);
  out += ",\"detail\":";
  if (!append_json_string(out, event.detail)) {
    // The detail was not valid UTF-8 and lost bytes to U+FFFD; keep them exactly.
    out += ",\"detail_base64\":\"";
    append_base64(out, event.detail);
    out += '"';
  }
  out += "}\n";
}

}  // namespace

void format_process(Format format, std::int32_t pid, const ProcessInfo& info, double seconds,
                    std::string& out) {
  if (format == Format::raw || format == Format::chrome) return;
  const std::size_t start = out.size();
  append_fixed(out, seconds, 6);
  if (format == Format::text) {
    if (out.size() - start < 10) out.insert(start, 10 - (out.size() - start), ' ');
    out += " pid ";
    append_number(out, pid);
    out += " = ";
    append_display(out, program_label(info));
    out += '\n';
    return;
  }
  out.insert(start, "{\"t\":");
  out += ",\"pid\":";
  append_number(out, pid);
  out += ",\"kind\":\"process\"";
  if (info.gone) {
    out += ",\"gone\":true";
    if (!info.exe.empty()) {
      out += ',';
      append_json_text(out, "comm", info.exe);
    }
    out += "}\n";
    return;
  }
  out += ',';
  append_json_text(out, "exe", info.exe);
  out += ",\"argv\":[";
  for (std::size_t i = 0; i < info.argv.size(); ++i) {
    if (i != 0) out += ',';
    // Arguments that are not UTF-8 lose those bytes here; exe keeps them exactly.
    append_json_string(out, info.argv[i]);
  }
  out += "]}\n";
}

void format_event(Format format, const Event& event, std::string_view raw_line, double seconds,
                  std::string& out) {
  switch (format) {
    case Format::text: format_text(event, seconds, out); break;
    case Format::jsonl: format_jsonl(event, seconds, out); break;
    case Format::raw:
      out.append(raw_line);
      out += '\n';
      break;
    case Format::chrome: break;  // needs state across events: ChromeTrace
  }
}

}  // namespace velmora::trace
