#include "process_names.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iterator>

#include "unique_fd.h"

namespace velmora::trace {
namespace {

std::string read_small_file(const std::string& path) {
  std::string data;
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return data;
  char buf[4096];
  // A command line can be long; a screenful is enough to say who it is.
  while (data.size() < 64 * 1024) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n > 0) {
      data.append(buf, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  return data;
}

// The parent's pid from /proc/PID/stat: the field after the command's closing
// parenthesis and the state ("1234 (sh) S 1200 ...").
std::int32_t parent_of(const std::string& dir) {
  const std::string stat = read_small_file(dir + "/stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  return static_cast<std::int32_t>(std::strtol(stat.c_str() + std::min(close + 4, stat.size()), nullptr, 10));
}

ProcessInfo look_up(std::int32_t pid) {
  ProcessInfo info;
  const std::string dir = "/proc/" + std::to_string(pid);
  info.ppid = parent_of(dir);
  char target[4096];
  if (const ssize_t n = ::readlink((dir + "/cwd").c_str(), target, sizeof target); n > 0) {
    info.cwd.assign(target, static_cast<std::size_t>(n));
  }
  const ssize_t n = ::readlink((dir + "/exe").c_str(), target, sizeof target);
  // A zombie has no exe link any more: it is gone as far as names go.
  if (n <= 0) {
    info.gone = true;
    // A zombie still has its short name.
    std::string comm = read_small_file(dir + "/comm");
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    info.exe = comm;
    return info;
  }
  info.exe.assign(target, static_cast<std::size_t>(n));
  const std::string cmdline = read_small_file(dir + "/cmdline");
  std::size_t start = 0;
  while (start < cmdline.size()) {
    std::size_t end = cmdline.find('\0', start);
    if (end == std::string::npos) end = cmdline.size();
    info.argv.emplace_back(cmdline, start, end - start);
    start = end + 1;
  }
  return info;
}

}  // namespace

std::string program_label(const ProcessInfo& info) {
  if (info.gone) return info.exe.empty() ? "gone" : "gone (" + info.exe + ")";
  std::string label = info.exe;
  for (std::size_t i = 1; i < info.argv.size(); ++i) {
    label += ' ';
    label += info.argv[i];
  }
  return label;
}

std::string program_short_label(const ProcessInfo& info) {
  if (info.gone) return info.exe.empty() ? "exited early" : info.exe;
  // Paths by their last part: "python3.11 threads_tcp.py" says who it is in little room.
  const auto last_part = [](const std::string& word) {
    const std::size_t slash = word.rfind('/', word.size() > 1 ? word.size() - 2 : 0);
    return slash == std::string::npos ? word : word.substr(slash + 1);
  };
  std::string label = last_part(info.exe);
  for (std::size_t i = 1; i < info.argv.size(); ++i) label += ' ' + last_part(info.argv[i]);
  return label;
}

ProcessInfo& ProcessRegistry::see(std::int32_t pid, double seconds) {
  if (last_ == nullptr || last_pid_ != pid) {
    auto it = known_.find(pid);
    if (it == known_.end()) {
      it = known_.emplace(pid, look_up(pid)).first;
      it->second.first_seconds = seconds;
    } else if (it->second.first_seconds < 0) {
      it->second.first_seconds = seconds;  // known from its ring before its first line
    }
    last_pid_ = pid;
    last_ = &it->second;  // unordered_map keeps element addresses stable
  }
  last_->last_seconds = seconds;
  return *last_;
}

void ProcessRegistry::started(std::int32_t pid, std::int32_t ppid, std::string exe, std::vector<std::string> argv,
                               std::string cwd, double seconds) {
  ProcessInfo& info = known_[pid];
  info.ppid = ppid;
  info.exe = std::move(exe);
  info.argv = std::move(argv);
  info.cwd = std::move(cwd);
  info.first_seconds = info.last_seconds = seconds;
  last_ = nullptr;
}

void ProcessRegistry::origin(std::int32_t pid, std::int32_t ppid, std::string cwd) {
  auto [it, fresh] = known_.try_emplace(pid);
  ProcessInfo& info = it->second;
  if (fresh) {
    info = look_up(pid);
    info.first_seconds = -1;  // its first line says
  }
  if (ppid != 0) info.ppid = ppid;
  if (!cwd.empty()) info.cwd = std::move(cwd);
  // Gone before /proc could say, with no ring of its own (a vfork child writes into its
  // parent's): a child starts in its parent's directory.
  if (const auto parent = known_.find(info.ppid); info.cwd.empty() && parent != known_.end()) {
    info.cwd = parent->second.cwd;
  }
  last_ = nullptr;
}

void ProcessRegistry::follow_exec(ProcessInfo& info, const Event& event) {
  if (event.kind == Kind::exec) {
    std::vector<std::string> fields = exec_fields(event.detail);
    // Only the latest is kept: a failed exec is reported right after its own attempt.
    before_exec_[event.pid] = Before{info.gone, std::move(info.exe), std::move(info.argv)};
    info.gone = false;
    info.exe = std::move(fields.front());
    info.argv.assign(std::make_move_iterator(fields.begin() + 1), std::make_move_iterator(fields.end()));
    ++info.execs;
  } else if (event.kind == Kind::exec_failed) {
    const auto it = before_exec_.find(event.pid);
    if (it == before_exec_.end()) return;
    info.gone = it->second.gone;
    info.exe = std::move(it->second.exe);
    info.argv = std::move(it->second.argv);
    before_exec_.erase(it);
  }
}

void ProcessRegistry::see_thread(ProcessInfo& info, std::int32_t pid, std::int64_t tid) {
  if (info.threads.contains(tid)) return;
  std::string comm =
      read_small_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/comm");
  if (!comm.empty() && comm.back() == '\n') comm.pop_back();
  info.threads.emplace(tid, comm.empty() ? std::string("(gone)") : comm);
}

const ProcessInfo* ProcessRegistry::find(std::int32_t pid) const {
  const auto it = known_.find(pid);
  return it == known_.end() ? nullptr : &it->second;
}

ProcessInfo* ProcessRegistry::find(std::int32_t pid) {
  const auto it = known_.find(pid);
  return it == known_.end() ? nullptr : &it->second;
}

}  // namespace velmora::trace
