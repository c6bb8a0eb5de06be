#include "tool_runner.h"

#include "hex_digits.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace velmora::trace::testing {

ToolProcess::ToolProcess(const TempDir& dir, const std::vector<std::string>& args,
                         const std::vector<std::string>& extra_env) {
  static int counter = 0;
  const std::string stem = dir / ("tool-" + std::to_string(++counter));
  out_path_ = stem + ".out";
  err_path_ = stem + ".err";

  std::vector<std::string> argv_s{tool_path()};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> env_s;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry = *e;
    // The tests decide what the tool is told; nothing leaks in from outside.
    if (entry.starts_with("VELMORA_IO_") || entry.starts_with("LD_PRELOAD=")) continue;
    env_s.emplace_back(entry);
  }
  env_s.insert(env_s.end(), extra_env.begin(), extra_env.end());
  std::vector<char*> envp;
  for (auto& e : env_s) envp.push_back(e.data());
  envp.push_back(nullptr);

  const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int out = ::open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = ::open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (in < 0 || out < 0 || err < 0) throw std::runtime_error("cannot open capture files");
  pid_ = ::fork();
  if (pid_ == 0) {
    ::setpgid(0, 0);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    // Start from a clean signal state whatever the test runner set up.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(121);
  }
  // Also from the parent side, so the group exists before anyone signals it.
  if (pid_ > 0) ::setpgid(pid_, pid_);
  ::close(in);
  ::close(out);
  ::close(err);
  if (pid_ < 0) throw std::runtime_error("fork failed");
}

ToolProcess::~ToolProcess() {
  if (pid_ > 0) {
    // Stragglers the traced program left behind live in the same group.
    ::kill(-pid_, SIGKILL);
    if (!reaped_) {
      int status;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
  }
}

RunResult ToolProcess::wait(std::chrono::seconds limit) {
  RunResult result;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) break;
    if (r < 0 && errno != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      result.timed_out = true;
      ::kill(-pid_, SIGKILL);
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  reaped_ = true;
  if (!result.timed_out) {
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
  }
  result.out = read_file(out_path_);
  result.err = read_file(err_path_);
  return result;
}

RunResult run_tool(const TempDir& dir, const std::vector<std::string>& args,
                   const std::vector<std::string>& extra_env, std::chrono::seconds limit) {
  ToolProcess tool(dir, args, extra_env);
  return tool.wait(limit);
}


bool wait_for_file(const std::string& path, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (::access(path.c_str(), F_OK) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return ::access(path.c_str(), F_OK) == 0;
}

std::string capture(const std::string& command) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  ::pclose(p);
  return out;
}

std::size_t count_of(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (std::size_t i = text.find(needle); i != std::string::npos; i = text.find(needle, i + 1)) ++n;
  return n;
}

std::string hex(const std::string& bytes) {
  std::string out;
  for (const unsigned char c : bytes) {
    out += velmora_io::HEX_DIGITS[c >> 4];
    out += velmora_io::HEX_DIGITS[c & 15];
  }
  return out;
}

std::vector<std::string> with_lib(std::vector<std::string> args) {
  args.insert(args.begin(), {"--lib", real_lib_path()});
  return args;
}

std::vector<Event> raw_events(const std::string& path, std::size_t* bad) {
  std::size_t malformed = 0;
  std::vector<Event> events = parse_events(read_file(path), &malformed);
  if (bad != nullptr) *bad = malformed;
  return events;
}

std::string line_with(const std::string& text, const std::string& needle) {
  const std::size_t at = text.find(needle);
  if (at == std::string::npos) return {};
  const std::size_t start = text.rfind('\n', at) == std::string::npos ? 0 : text.rfind('\n', at) + 1;
  return text.substr(start, text.find('\n', at) - start);
}

std::string pid_of(const std::string& line) {
  const std::size_t slash = line.find('/');
  const std::size_t space = line.rfind(' ', slash);
  return slash == std::string::npos || space == std::string::npos ? "" : line.substr(space + 1, slash - space - 1);
}

std::vector<std::string> io_steps(const std::vector<std::string>& steps) {
  std::vector<std::string> cmd = {python3_path(), script_path("io_steps.py")};
  cmd.insert(cmd.end(), steps.begin(), steps.end());
  return cmd;
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string tool_path() { return VELMORA_TRACE_PATH; }
std::string real_lib_path() { return VELMORA_LIB_PATH; }
std::string stub_lib_path() { return VELMORA_STUB_LIB_PATH; }
std::string emitter_path() { return VELMORA_EMITTER_PATH; }
std::string fd_helper_path() { return VELMORA_FD_HELPER_PATH; }
std::string static_exit_path() { return VELMORA_STATIC_EXIT_PATH; }
std::string script_path(const std::string& name) { return std::string(VELMORA_TOOL_TEST_DIR) + "/" + name; }
std::string chromium_path() { return VELMORA_CHROMIUM; }
std::string report_screenshot_path() { return VELMORA_REPORT_SCREENSHOT; }

}  // namespace velmora::trace::testing
