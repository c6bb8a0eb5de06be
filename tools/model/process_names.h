// Who each process is: its program and command line, looked up in /proc the
// first time one of its events arrives (later it may have exited, or its pid
// been reused), then following each "exec" line of the wide library, which names
// what the process becomes even when it is gone before the tool reads the line.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "event_parse.h"

namespace velmora::trace {

struct ProcessInfo {
  bool gone = false;              // exited before it could be looked up, and no exec named it
  std::string exe;                // /proc/PID/exe or the last exec's program; if gone, its short name, if known
  std::vector<std::string> argv;  // /proc/PID/cmdline or the last exec's arguments
  std::uint32_t execs = 0;        // exec lines followed
  std::uint64_t log_events = 0;   // lines that came through the log file
  std::int32_t ppid = 0;          // its parent's pid; 0 when not known
  std::string cwd;                // its working directory at its first event; empty when not known
  // How it ended, when the tool saw it (the program it started: its own child); else
  // exited is false.
  bool exited = false;
  int exit_status = 0;  // when it returned
  int exit_signal = 0;  // when a signal ended it
  // Seconds after the start: its first and last line received, and when it was seen to
  // exit (the program itself only; -1 when not seen).
  double first_seconds = 0;
  double last_seconds = 0;
  double exit_seconds = -1;
  // Thread names (comm) by tid, filled only by see_thread; "(gone)" for one
  // that ended before it was looked up.
  std::map<std::int64_t, std::string> threads;
};

// "/usr/bin/grep -c y": the program followed by its arguments (argv[0]
// left out, the program names it better), or "gone" ("gone (cat)" when its
// short name was still there). Raw bytes: render with
// to_display or append_json_string.
std::string program_label(const ProcessInfo& info);

// The program's name without its directory, followed by its arguments
// ("grep -c y"); for a process that exited before it was looked up, its short name
// when that was still there ("cat"), else "exited early". For pictures, where
// space is short.
std::string program_short_label(const ProcessInfo& info);

// The thread an event belongs to: its tid, except for a spawned program's "exec", which
// its parent writes under the child's pid from a thread of its own: the child's main one.
inline std::int64_t thread_of(const Event& event) {
  return event.kind == Kind::exec && event.tid != event.pid ? event.pid : event.tid;
}

class ProcessRegistry {
 public:
  // The process's entry, looked up now if this pid is new; `seconds`: when its line arrived.
  ProcessInfo& see(std::int32_t pid, double seconds);
  // What the tool knows of the program it started itself, before any line: it is never
  // "gone", whenever its first line comes.
  void started(std::int32_t pid, std::int32_t ppid, std::string exe, std::vector<std::string> argv,
               std::string cwd, double seconds);
  // Where the process came from, as it said when it made its ring: better than /proc,
  // which a short-lived process may have left already.
  void origin(std::int32_t pid, std::int32_t ppid, std::string cwd);
  const ProcessInfo* find(std::int32_t pid) const;
  ProcessInfo* find(std::int32_t pid);
  // An "exec" line renames the process to what it becomes; "exec_failed" puts back
  // what it was before. Other kinds are left alone.
  void follow_exec(ProcessInfo& info, const Event& event);
  // Also records the thread's name at its first sight.
  void see_thread(ProcessInfo& info, std::int32_t pid, std::int64_t tid);
  const std::unordered_map<std::int32_t, ProcessInfo>& all() const { return known_; }

 private:
  std::unordered_map<std::int32_t, ProcessInfo> known_;
  struct Before {
    bool gone;
    std::string exe;
    std::vector<std::string> argv;
  };
  std::unordered_map<std::int32_t, Before> before_exec_;  // until the exec is known to have worked
  std::int32_t last_pid_ = 0;  // events come in runs from one process
  ProcessInfo* last_ = nullptr;
};

}  // namespace velmora::trace
