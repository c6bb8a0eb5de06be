#include "line_printer.h"

#include "display_text.h"
#include "json_writer.h"

namespace velmora::trace {
namespace {

void pad_to(std::string& out, std::size_t start, std::size_t width) {
  const std::size_t used = out.size() - start;
  if (used < width) out.append(width - used, ' ');
}

// The time right-aligned in ten columns.
void append_time(std::string& out, double seconds) {
  const std::size_t start = out.size();
  append_fixed(out, seconds, 6);
  if (out.size() - start < 10) out.insert(start, 10 - (out.size() - start), ' ');
}

// "  1.234567 100/101 read      fd=3    file:/etc/hosts"
void format_text(const Event& event, double seconds, std::string& out) {
  append_time(out, seconds);
  out += ' ';
  append_number(out, event.pid);
  out += '/';
  append_number(out, event.tid);
  out += ' ';
  std::size_t start = out.size();
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
  JsonWriter json(out);
  json.begin_object().key("t").fixed(seconds, 6).key("pid").number(event.pid).key("tid").number(event.tid);
  json.key("kind").str(kind_name(event.kind)).key("fd").number(event.fd);
  // Bytes that are not UTF-8 lose themselves to U+FFFD in "detail"; "detail_base64" keeps them exactly.
  json.text("detail", event.detail).end_object();
  out += '\n';
}

}  // namespace

void format_process(Format format, std::int32_t pid, const ProcessInfo& info, double seconds,
                    std::string& out) {
  if (format == Format::text) {
    append_time(out, seconds);
    out += " pid ";
    append_number(out, pid);
    out += " = ";
    append_display(out, program_label(info));
    out += '\n';
    return;
  }
  if (format != Format::jsonl) return;
  JsonWriter json(out);
  json.begin_object().key("t").fixed(seconds, 6).key("pid").number(pid).key("kind").str("process");
  if (info.gone) {
    json.key("gone").boolean(true);
    if (!info.exe.empty()) json.text("comm", info.exe);
  } else {
    json.text("exe", info.exe).key("argv").begin_array();
    // Arguments that are not UTF-8 lose those bytes here; exe keeps them exactly.
    for (const std::string& arg : info.argv) json.str(arg);
    json.end_array();
  }
  json.end_object();
  out += '\n';
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
    case Format::chrome: break;  // a document, not lines: ChromePrinter
  }
}

void LinePrinter::event(const Event& event, std::string_view raw, double seconds, const ProcessInfo& who) {
  if (!out_.ok()) return;  // the output is gone; the program runs on undisturbed
  if (event.pid != last_pid_ || announced_.empty()) {
    last_pid_ = event.pid;
    if (announced_.insert(event.pid).second) format_process(format_, event.pid, who, seconds, out_.buffer());
  }
  format_event(format_, event, raw, seconds, out_.buffer());
  out_.maybe_flush();
}

}  // namespace velmora::trace
