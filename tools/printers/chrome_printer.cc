#include "chrome_printer.h"

#include "process_json.h"

#include <algorithm>

#include "resource_name.h"
#include "summary_json.h"

namespace velmora::trace {
namespace {

void name_meta(JsonWriter& json, const char* what, std::int32_t pid, const std::int64_t* tid,
               std::string_view name) {
  json.begin_object().key("name").str(what).key("ph").str("M").key("pid").number(pid);
  if (tid != nullptr) json.key("tid").number(*tid);
  json.key("args").begin_object().text("name", name).end_object().end_object();
}

// The process's life as a bar on its main thread's track: a complete event from
// its first line to its exit when that was seen, else to its last line.
void lifetime(JsonWriter& json, std::int32_t pid, const ProcessInfo& info) {
  const double end = info.exit_seconds >= 0 ? info.exit_seconds : info.last_seconds;
  json.begin_object().key("name").str(program_short_label(info)).key("cat").str("process").key("ph").str("X");
  json.key("ts").fixed(info.first_seconds * 1e6, 3).key("dur").fixed(std::max(1.0, (end - info.first_seconds) * 1e6), 3);
  json.key("pid").number(pid).key("tid").number(pid);
  json.key("args").begin_object().text("program", program_label(info)).key("exit_seen").boolean(info.exit_seconds >= 0);
  write_process_fields(json, pid, info, true);
  json.end_object().end_object();
}

}  // namespace

ChromePrinter::ChromePrinter(OutputSink& out, bool stream, bool summary, bool files)
    : out_(out), json_(out.buffer()), stream_(stream), summary_(summary), files_(files) {
  json_.break_items_at(2);  // one trace event per line
  json_.begin_object().key("displayTimeUnit").str("ms").key("traceEvents").begin_array();
}

void ChromePrinter::event(const Event& event, double seconds, const ProcessInfo&) {
  if (!stream_ || !out_.ok()) return;
  const char* category = event.kind == Kind::sql_write           ? "sql"
                         : event.detail.starts_with("socket:") ? "socket"
                                                                : "file";
  // Named by what it touched, so that a viewer's rows tell the files apart; the
  // detail stays whole in the arguments.
  json_.begin_object().key("name").str(event_title(event.kind, event.detail)).key("cat").str(category);
  json_.key("ph").str("i").key("s").str("t").key("ts").fixed(seconds * 1e6, 3);  // microseconds
  json_.key("pid").number(event.pid).key("tid").number(thread_of(event));
  json_.key("args").begin_object().key("fd").number(event.fd).text("detail", event.detail).end_object();
  json_.end_object();
  out_.maybe_flush();
}

std::string ChromePrinter::finish(const Model& model) {
  for (const auto& [pid, info] : model.processes.all()) {
    name_meta(json_, "process_name", pid, nullptr, program_short_label(info));
    lifetime(json_, pid, info);
    for (const auto& [tid, name] : info.threads) name_meta(json_, "thread_name", pid, &tid, name);
  }
  json_.end_array();
  json_.break_items_at(-1);  // the rest on one line each
  if (summary_) write_summary_json(json_.key("summary"), model.summary, &model.processes);
  if (files_) write_files_json(json_.key("files"), model.summary, &model.processes);
  json_.end_object();
  out_.buffer() += '\n';
  return {};
}

}  // namespace velmora::trace
