#include "chrome_trace.h"

#include <charconv>

#include "display_text.h"

namespace velmora::trace {
namespace {

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
  append_json_text(out, "name", name);
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
  append_fixed(out, seconds * 1e6, 3);  // microseconds, the unit of "ts"
  out += ",\"pid\":";
  append_number(out, event.pid);
  out += ",\"tid\":";
  append_number(out, event.tid);
  out += ",\"args\":{\"fd\":";
  append_number(out, event.fd);
  out += ',';
  append_json_text(out, "detail", event.detail);
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
