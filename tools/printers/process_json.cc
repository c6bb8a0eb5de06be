#include "process_json.h"

namespace velmora::trace {

void write_process_fields(JsonWriter& json, std::int32_t pid, const ProcessInfo& info, bool with_end) {
  json.key("pid").number(pid);
  if (info.ppid != 0) json.key("ppid").number(info.ppid);
  if (!info.cwd.empty()) json.text("cwd", info.cwd);
  if (info.gone) {
    json.key("gone").boolean(true);
    if (!info.exe.empty()) json.text("comm", info.exe);
  } else {
    json.text("exe", info.exe).key("argv").begin_array();
    // Arguments that are not UTF-8 lose those bytes here; exe keeps them exactly.
    for (const std::string& arg : info.argv) json.str(arg);
    json.end_array();
  }
  json.key("start").fixed(info.first_seconds, 6);
  if (!with_end) return;
  json.key("end").fixed(info.exit_seconds >= 0 ? info.exit_seconds : info.last_seconds, 6);
  if (info.exited && info.exit_signal != 0) json.key("signal").number(info.exit_signal);
  else if (info.exited) json.key("exit_status").number(info.exit_status);
}

}  // namespace velmora::trace
