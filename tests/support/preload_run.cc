#include "preload_run.h"

#include "event_line.h"
#include "event_parse.h"
#include "ring_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace velmora_test {
namespace {

template <typename Int>
bool parse_int(std::string_view s, Int* out) {
  if (s.empty()) return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
  return ec == std::errc() && end == s.data() + s.size();
}

double now_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::vector<std::string> child_environment(const RunOptions& o) {
  std::set<std::string> drop(o.unset_env.begin(), o.unset_env.end());
  drop.insert({"LD_PRELOAD", "VELMORA_IO_FD", "VELMORA_IO_LOG", "VELMORA_IO_RING", "VELMORA_IO_HOST"});
  for (const auto& [k, v] : o.env) drop.insert(k);
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string_view entry(*e);
    if (!drop.count(std::string(entry.substr(0, entry.find('='))))) env.emplace_back(entry);
  }
  if (o.preload) env.push_back("LD_PRELOAD=" + (o.library.empty() ? library_path() : o.library));
  // Explicit variables win over what the sink choice would set.
  std::set<std::string> given;
  for (const auto& [k, v] : o.env) {
    env.push_back(k + "=" + v);
    given.insert(k);
  }
  if ((o.sink == Sink::PIPE_ENV || o.sink == Sink::RING) && !given.count("VELMORA_IO_FD"))
    env.push_back("VELMORA_IO_FD=" + std::to_string(o.sink_fd));
  if (o.sink == Sink::LOG_FILE && !given.count("VELMORA_IO_LOG"))
    env.push_back("VELMORA_IO_LOG=" + o.log_path);
  return env;
}

std::vector<int> inheritable_descriptors() {
  std::vector<int> fds;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    int fd = -1;
    if (!parse_int(entry.path().filename().string(), &fd) || fd < 3) continue;
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0 && !(flags & FD_CLOEXEC)) fds.push_back(fd);
  }
  return fds;
}


void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

std::vector<Event> parse_events(std::string_view raw, std::size_t* malformed) {
  // The same parser the host tool uses: what the tests accept, users see.
  std::vector<Event> events;
  velmora::trace::LineParser parser;
  parser.feed(raw, [&](const velmora::trace::Event& e) {
    events.push_back({std::string(velmora::trace::kind_name(e.kind)), e.detail, e.fd, e.pid, e.tid});
  });
  parser.finish();
  *malformed = static_cast<std::size_t>(parser.rejected());
  return events;
}

std::string event_line(std::string_view kind, std::string_view detail, int32_t fd, int32_t pid, int64_t tid) {
  const std::size_t escaped = velmora_io::escaped_size(detail);
  std::string line(velmora_io::event_line_capacity(kind.size(), escaped), '\0');
  line.resize(velmora_io::format_event_line(line.data(), kind, detail, escaped, fd, pid, tid));
  return line;
}

std::vector<Event> select(const std::vector<Event>& events, const std::function<bool(const Event&)>& keep) {
  std::vector<Event> picked;
  for (const Event& e : events)
    if (keep(e)) picked.push_back(e);
  return picked;
}

std::size_t count_events(const std::vector<Event>& events, std::string_view kind, std::string_view detail) {
  std::size_t n = 0;
  for (const Event& e : events) n += e.kind == kind && e.detail == detail;
  return n;
}

std::vector<Event> under(const std::vector<Event>& events, const std::string& root) {
  const std::string name = "file:" + root;
  return select(events, [&](const Event& e) { return e.detail == name || e.detail.starts_with(name + "/"); });
}

std::string five_kinds_only(const std::string& raw) {
  std::string kept;
  for (std::size_t at = 0; at < raw.size();) {
    const std::size_t lf = raw.find('\n', at);
    const std::size_t end = lf == std::string::npos ? raw.size() : lf + 1;
    const std::string_view line(raw.data() + at, end - at);
    const auto kind = velmora_io::event_kind_index(line.substr(0, line.find('\t')));
    if (!kind || *kind < velmora_io::NARROW_EVENT_KIND_COUNT) kept.append(line);
    at = end;
  }
  return kept;
}

std::size_t count_lines(std::string_view text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

std::map<std::string, std::string> facts_of(std::string_view text) {
  std::map<std::string, std::string> facts;
  std::istringstream in{std::string(text)};
  for (std::string line; std::getline(in, line);) {
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) facts[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return facts;
}

std::vector<Event> RunResult::of_kind(std::string_view kind) const {
  return select(events, [&](const Event& e) { return e.kind == kind; });
}

std::vector<Event> RunResult::with_detail(std::string_view detail) const {
  return select(events, [&](const Event& e) { return e.detail == detail; });
}

RunResult run(const RunOptions& o) {
  int out_pipe[2], err_pipe[2], in_pipe[2], sink_pipe[2] = {-1, -1};
  if (pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC) || pipe2(in_pipe, O_CLOEXEC))
    throw std::runtime_error("pipe failed");
  if ((o.sink == Sink::PIPE_ENV || o.sink == Sink::RING) && pipe2(sink_pipe, O_CLOEXEC))
    throw std::runtime_error("pipe failed");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The child starts with exactly the descriptors the scenario sets up: whatever the
  // test runner left open without close-on-exec would shift descriptor numbers.
  for (int fd : inheritable_descriptors()) posix_spawn_file_actions_addclose(&actions, fd);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  if (sink_pipe[1] >= 0) posix_spawn_file_actions_adddup2(&actions, sink_pipe[1], o.sink_fd);
  for (const auto& [fd, path] : o.files_at)
    posix_spawn_file_actions_addopen(&actions, fd, path.c_str(), O_RDWR | O_CREAT, 0644);
  if (!o.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, o.cwd.c_str());

  std::vector<std::string> env = child_environment(o);
  velmora::trace::RingReader rings;
  if (o.sink == Sink::RING) {
    if (!rings.create("/tmp").empty()) throw std::runtime_error("cannot make a ring directory");
    env.push_back("VELMORA_IO_RING=" + rings.dir());
    env.push_back("VELMORA_IO_HOST=" + std::to_string(getpid()));
  }
  std::vector<char*> envp, argv;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = o.argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (sink_pipe[1] >= 0) close(sink_pipe[1]);
  if (rc != 0) {
    close(in_pipe[1]);
    close(out_pipe[0]);
    close(err_pipe[0]);
    if (sink_pipe[0] >= 0) close(sink_pipe[0]);
    throw std::runtime_error("spawn failed: " + std::string(strerror(rc)));
  }

  RunResult r;
  const auto take_rings = [&](bool final) {
    rings.drain(final, [&](const velmora::trace::TimedEvent& t) {
      r.raw += event_line(velmora::trace::kind_name(t.event.kind), t.event.detail, t.event.fd, t.event.pid, t.event.tid);
    });
    r.ring_lost = rings.dropped() + rings.torn();
  };
  // Feed stdin without ever blocking on it, then drain every output until all writers
  // are gone (descendants may hold the pipes after the child itself exits).
  std::string_view pending = o.stdin_data;
  int in_fd = in_pipe[1];
  set_nonblocking(in_fd);
  if (pending.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  // The pipe's lines join the rings' records in r.raw whole: a record never lands inside one.
  std::string sink_text;
  struct Source {
    int fd;
    std::string* into;
  } sources[3] = {{out_pipe[0], &r.out}, {err_pipe[0], &r.err}, {sink_pipe[0], &sink_text}};
  const auto take_lines = [&](bool final) {
    const std::size_t end = final ? sink_text.size() : sink_text.rfind('\n') + 1;
    r.raw.append(sink_text, 0, end);
    sink_text.erase(0, end);
  };
  const double deadline = now_seconds() + o.timeout_seconds;
  char buf[65536];
  for (;;) {
    pollfd fds[4];
    int n = 0;
    for (auto& s : sources)
      if (s.fd >= 0) fds[n++] = {s.fd, POLLIN, 0};
    if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
    if (n == 0) break;
    const double left = deadline - now_seconds();
    if (left <= 0) {
      r.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    poll(fds, n, o.sink == Sink::RING ? 2 : static_cast<int>(left * 1000) + 1);
    if (o.sink == Sink::RING) take_rings(false);
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == in_fd) {
        const ssize_t w = write(in_fd, pending.data(), pending.size());
        if (w > 0) pending.remove_prefix(static_cast<std::size_t>(w));
        if (w < 0 || pending.empty()) {
          close(in_fd);
          in_fd = -1;
        }
        continue;
      }
      for (auto& s : sources) {
        if (s.fd != fds[i].fd) continue;
        const ssize_t got = read(s.fd, buf, sizeof(buf));
        if (got > 0) {
          s.into->append(buf, static_cast<std::size_t>(got));
          if (s.into == &sink_text) take_lines(false);
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
          close(s.fd);
          s.fd = -1;
        }
      }
    }
  }
  for (auto& s : sources)
    if (s.fd >= 0) close(s.fd);
  if (in_fd >= 0) close(in_fd);
  take_lines(true);

  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.term_signal = WTERMSIG(status);
  if (o.sink == Sink::LOG_FILE) r.raw = read_file(o.log_path);
  if (o.sink == Sink::RING) take_rings(true);
  if (!o.every_kind) r.raw = five_kinds_only(r.raw);
  r.events = parse_events(r.raw, &r.malformed);
  return r;
}

std::string describe(const RunResult& r) {
  // The outputs can be megabytes; their start is what tells what went wrong.
  constexpr std::size_t KEEP = 6000;
  const auto start = [](const std::string& s) { return s.size() <= KEEP ? s : s.substr(0, KEEP) + "..."; };
  return "exit " + std::to_string(r.exit_code) + " signal " + std::to_string(r.term_signal) +
         (r.timed_out ? " (timed out)" : "") + "\nstdout:\n" + start(r.out) + "\nstderr:\n" + start(r.err) +
         "\nevents:\n" + start(r.raw);
}

std::string library_path() {
  // The preloaded suites are registered once per library; CTest names the one to use.
  const char* chosen = std::getenv("VELMORA_TEST_LIBRARY");
  return chosen != nullptr && *chosen != '\0' ? chosen : VELMORA_TEST_LIBRARY;
}
std::string narrow_library_path() { return VELMORA_TEST_LIBRARY; }
std::string wide_library_path() { return VELMORA_TEST_WIDE_LIBRARY; }
bool testing_wide_library() { return library_path() == wide_library_path(); }
std::string driver_path() { return VELMORA_TEST_DRIVER; }
std::string socket_driver_path() { return VELMORA_TEST_SOCKET_DRIVER; }

std::string find_program(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (dir.empty()) continue;
    const std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

std::string python3_path() {
  static const std::string path = [] {
    if (access("/usr/bin/python3", X_OK) == 0) return std::string("/usr/bin/python3");
    const std::string found = find_program("python3");
    if (found.empty()) return found;
    RunOptions o;
    o.argv = {found, "-c", "import sys; print(sys.executable)"};
    o.preload = false;
    o.sink = Sink::NONE;
    RunResult r = run(o);
    std::string exe = r.out.substr(0, r.out.find('\n'));
    return r.ok() && !exe.empty() ? exe : found;
  }();
  return path;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

}  // namespace velmora_test
