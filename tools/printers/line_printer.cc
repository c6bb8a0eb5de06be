#include "line_printer.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "process_json.h"

#include <string_view>

#include "display_text.h"
#include "json_writer.h"

namespace velmora::trace {
namespace {

void pad_to(std::string& out, std::size_t start, std::size_t width) {
  const std::size_t used = out.size() - start;
  if (used < width) out.append(width - used, ' ');
}

// The time right-aligned in ten columns, to the microsecond: with integers, since this
// runs for every line and a double's general formatting costs several times more.
void append_time(std::string& out, double seconds) {
  const std::size_t start = out.size();
  const double micros = std::round(seconds * 1e6);
  if (micros >= 0 && micros < 1e15) {
    const auto whole = static_cast<long long>(micros);
    append_number(out, whole / 1000000);
    char fraction[8] = {'.'};
    for (long long rest = whole % 1000000, at = 6; at > 0; --at, rest /= 10) {
      fraction[at] = static_cast<char>('0' + rest % 10);
    }
    out.append(fraction, 7);
  } else {
    append_fixed(out, seconds, 6);
  }
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
  pad_to(out, start, 9);  // the common kinds' longest name, so that most details line up
  out += " fd=";
  start = out.size();
  append_number(out, event.fd);
  pad_to(out, start, 4);
  out += ' ';
  if (event.kind == Kind::exec) {
    // As the process's own line shows a program: path, then its arguments after argv[0].
    const std::vector<std::string> fields = exec_fields(event.detail);
    ProcessInfo became;
    became.exe = fields.front();
    became.argv.assign(fields.begin() + 1, fields.end());
    append_display(out, program_label(became));
  } else {
    append_display(out, event.detail);
  }
  out += '\n';
}

void format_jsonl(const Event& event, double seconds, std::string& out) {
  JsonWriter json(out);
  json.begin_object().key("t").fixed(seconds, 6).key("pid").number(event.pid).key("tid").number(event.tid);
  json.key("kind").str(kind_name(event.kind)).key("fd").number(event.fd);
  // Bytes that are not UTF-8 lose themselves to U+FFFD in "detail"; "detail_base64" keeps them exactly.
  json.text("detail", event.detail);
  if (event.kind == Kind::exec) {
    // The detail's fields, split and unescaped: the program, then argv from argv[0].
    const std::vector<std::string> fields = exec_fields(event.detail);
    json.text("program", fields.front()).key("argv").begin_array();
    for (std::size_t i = 1; i < fields.size(); ++i) json.str(fields[i]);
    json.end_array();
  }
  json.end_object();
  out += '\n';
}

// The line as the library writes it, through the one codec: the parser accepts only
// that spelling, so a line read back from the pipe comes out as it went in. Formatted
// in place at the end of `out`, whose room stays from event to event.
void format_raw(const Event& event, std::string& out) {
  const std::string_view kind = kind_name(event.kind);
  const std::size_t escaped = velmora_io::escaped_size(event.detail);
  const std::size_t start = out.size();
  out.resize(start + velmora_io::event_line_capacity(kind.size(), escaped));
  out.resize(start + velmora_io::format_event_line(out.data() + start, kind, event.detail, escaped, event.fd,
                                                   event.pid, event.tid));
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
  json.begin_object().key("t").fixed(seconds, 6).key("kind").str("process");
  write_process_fields(json, pid, info, false);
  json.end_object();
  out += '\n';
}

void format_event(Format format, const Event& event, double seconds, std::string& out) {
  switch (format) {
    case Format::text: format_text(event, seconds, out); break;
    case Format::jsonl: format_jsonl(event, seconds, out); break;
    case Format::raw: format_raw(event, out); break;
    case Format::chrome: break;  // a document, not lines: ChromePrinter
  }
}

void LinePrinter::event(const Event& event, double seconds, const ProcessInfo& who) {
  if (!out_.ok()) return;  // the output is gone; the program runs on undisturbed
  if (event.kind == Kind::query && format_ == Format::text && !queries_) return;
  if (held_ != nullptr && (event.pid != held_pid_ || !who.gone)) release_held();
  if (event.pid != last_pid_ || announced_.empty()) {
    last_pid_ = event.pid;
    if (announced_.insert(event.pid).second) {
      if (who.gone) {
        // Exited before it was looked up: its exec line, most often right behind (the
        // lines a forked shell writes before it runs the program), will name it.
        held_ = &who;
        held_pid_ = event.pid;
        held_seconds_ = seconds;
      } else {
        format_process(format_, event.pid, who, seconds, out_.buffer());
      }
    }
  }
  format_event(format_, event, seconds, held_ != nullptr ? held_lines_ : out_.buffer());
  // A process that never execs is not held in memory for long.
  if (held_ != nullptr && held_lines_.size() > MAX_HELD_BYTES) release_held();
  out_.maybe_flush();
}

void LinePrinter::release_held() {
  if (!out_.ok()) return;
  format_process(format_, held_pid_, *held_, held_seconds_, out_.buffer());
  out_.buffer() += held_lines_;
  held_lines_.clear();
  held_ = nullptr;
}

std::string LinePrinter::finish(const Model& model) {
  if (held_ != nullptr) release_held();
  if (format_ != Format::jsonl || !out_.ok()) return {};
  // Every process, with how it ended now that that is known, in the order they started
  // (the program the tool started among them, even when it reported nothing).
  std::vector<std::pair<double, std::int32_t>> order;
  for (const auto& [pid, info] : model.processes.all()) order.emplace_back(info.first_seconds, pid);
  std::sort(order.begin(), order.end());
  for (const auto& [start, pid] : order) {
    JsonWriter json(out_.buffer());
    json.begin_object().key("kind").str("process_end");
    write_process_fields(json, pid, *model.processes.find(pid), true);
    json.end_object();
    out_.buffer() += '\n';
  }
  out_.maybe_flush();
  return {};
}

}  // namespace velmora::trace
