#include "process_launch.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace velmora::trace {
namespace {

constexpr int PREFERRED_SINK_FD = 1000;
constexpr int PIPE_BYTES = 1 << 20;

// Lowest descriptor number to ask F_DUPFD for: 1000 when the soft limit
// allows it, else as high as the limit leaves room for.
int sink_floor() {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return PREFERRED_SINK_FD;
  if (lim.rlim_cur > static_cast<rlim_t>(PREFERRED_SINK_FD) + 1) return PREFERRED_SINK_FD;
  // Leave a few numbers above it free for the program, but stay above stdio.
  const long floor = static_cast<long>(lim.rlim_cur) - 16;
  return floor > 10 ? static_cast<int>(floor) : 10;
}

// True for "KEY=..." (also "KEY=" with an empty value).
bool has_key(std::string_view entry, std::string_view key) {
  return entry.size() > key.size() && entry.starts_with(key) && entry[key.size()] == '=';
}

}  // namespace

std::string open_event_pipe(EventPipe& pipe) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::string("cannot create event pipe: ") + std::strerror(errno);
  // A larger pipe absorbs bursts from many writers while the tracer is busy
  // formatting; failure just leaves the default size.
  (void)::fcntl(fds[1], F_SETPIPE_SZ, PIPE_BYTES);

  int high = ::fcntl(fds[1], F_DUPFD, sink_floor());
  if (high < 0) high = ::fcntl(fds[1], F_DUPFD, 10);
  if (high >= 0) {
    ::close(fds[1]);
  } else {
    // Keep the original number, but it must survive exec.
    high = fds[1];
    ::fcntl(high, F_SETFD, 0);
  }
  ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  pipe.read.reset(fds[0]);
  pipe.write.reset(high);
  return {};
}

std::vector<std::string> traced_environment(char** base, const std::string& lib, int write_fd,
                                            const std::string& log_path, const std::string& ring_dir) {
  std::vector<std::string> env;
  std::string preload = lib;
  for (char** p = base; p != nullptr && *p != nullptr; ++p) {
    const std::string_view entry = *p;
    if (has_key(entry, "LD_PRELOAD")) {
      const std::string_view rest = entry.substr(sizeof("LD_PRELOAD"));
      // Entries are separated by ':' or ' '; ours goes first so that it sees
      // the calls before any other interposer does.
      if (rest.find_first_not_of(": ") != std::string_view::npos) {
        preload += ':';
        preload += rest;
      }
      continue;
    }
    if (has_key(entry, "VELMORA_IO_FD") || has_key(entry, "VELMORA_IO_LOG") ||
        has_key(entry, "VELMORA_IO_PIPEID") || has_key(entry, "VELMORA_IO_RING") ||
        has_key(entry, "VELMORA_IO_HOST")) {
      continue;
    }
    env.emplace_back(entry);
  }
  env.push_back("LD_PRELOAD=" + preload);
  env.push_back("VELMORA_IO_FD=" + std::to_string(write_fd));
  env.push_back("VELMORA_IO_LOG=" + log_path);
  if (!ring_dir.empty()) {
    env.push_back("VELMORA_IO_RING=" + ring_dir);
    // The reader's pid: a process that starts after the tracer has ended makes no ring
    // that nobody would read or remove.
    env.push_back("VELMORA_IO_HOST=" + std::to_string(::getpid()));
  }
  // The pipe's identity: a program that closes the number and reuses it for something
  // of its own (or a child that finds another object there) never has lines written
  // into it.
  struct stat st;
  if (::fstat(write_fd, &st) == 0) {
    env.push_back("VELMORA_IO_PIPEID=" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino));
  }
  return env;
}

SpawnResult spawn_program(const std::vector<std::string>& argv, const std::string& found,
                          const std::vector<std::string>& env, const sigset_t& child_mask) {
  SpawnResult result;
  // Built before fork: the child should do nothing but exec.
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  envp.reserve(env.size() + 1);
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  // vfork: the parent sleeps until the child has exec'd or failed, with no page
  // tables copied and no pipe to learn which (the child writes its errno into the
  // memory it shares with the parent). The child does nothing but exec.
  volatile int exec_error = 0;
  const pid_t pid = ::vfork();
  if (pid < 0) {
    result.error = std::string("cannot fork: ") + std::strerror(errno);
    return result;
  }
  if (pid == 0) {
    ::sigprocmask(SIG_SETMASK, &child_mask, nullptr);
    if (!found.empty()) ::execve(found.c_str(), args.data(), envp.data());
    ::execvpe(args[0], args.data(), envp.data());
    exec_error = errno;
    ::_exit(127);
  }
  result.pid = pid;
  result.exec_error = exec_error;
  return result;
}

}  // namespace velmora::trace
