#include "chrome_trace.h"

#include <charconv>

#include "display_text.h"

namespace velmora::trace {
namespace {

template <class T>
void append_number(std::string& out, T value) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

// Microseconds with a nanosecond fraction, the unit of "ts".
void append_micros(std::string& out, double seconds) {
  char buf[48];
  const auto r = std::to_chars(buf, buf + sizeof buf, seconds * 1e6, std::chars_format::fixed, 3);
  out.append(buf, r.ptr);
}

// "key":"..." with the exact bytes in key_base64 when they are not UTF-8.
void append_text_arg(std::string& out, std::string_view key, std::string_view bytes) {
  out += '"';
  out += key;
  out += "\":";
  if (!append_json_string(out, bytes)) {
    out += ",\"";
    out += key;
    out += "_base64\":\"";
    append_base64(out, bytes);
    out += '"';
  }
}

void append_name_meta(std::string& out, const char* what, std::int32_t pid, const std::int64_t* tid,
                      std::string_view name) {
  out += "{\"name\":\"";
  out += what;
  out += "\",\"ph\":\"M\",\"pid\":";
  append_number(out, pid);
  if (tid != nullptr) {
    out += ",\"tid\":";
    append_number(out, *tid);
  }
  out += ",\"args\":{";
  append_text_arg(out, "name", name);
  out += "}}";
}

}  // namespace

void ChromeTrace::separator(std::string& out) {
  out += first_ ? "\n" : ",\n";
  first_ = false;
}

void ChromeTrace::begin(std::string& out) { out += "{\"displayTimeUnit\":\"ms\",\"traceEvents\":["; }

void ChromeTrace::event(const Event& event, double seconds, std::string& out) {
  separator(out);
  out += "{\"name\":\"";
  out += kind_name(event.kind);
  out += "\",\"cat\":\"";
  out += event.kind == Kind::sql_write ? "sql" : event.detail.starts_with("socket:") ? "socket" : "file";
  out += "\",\"ph\":\"i\",\"s\":\"t\",\"ts\":";
  append_micros(out, seconds);
  out += ",\"pid\":";
  append_number(out, event.pid);
  out += ",\"tid\":";
  append_number(out, event.tid);
  out += ",\"args\":{\"fd\":";
  append_number(out, event.fd);
  out += ',';
  append_text_arg(out, "detail", event.detail);
  out += "}}";
}

void ChromeTrace::end(const ProcessRegistry& processes, std::string_view extra, std::string& out) {
  for (const auto& [pid, info] : processes.all()) {
    separator(out);
    append_name_meta(out, "process_name", pid, nullptr, program_label(info));
    for (const auto& [tid, name] : info.threads) {
      separator(out);
      append_name_meta(out, "thread_name", pid, &tid, name);
    }
  }
  out += "\n]";
  if (!extra.empty()) {
    out += ',';
    out += extra;
  }
  out += "}\n";
}

}  // namespace velmora::trace
