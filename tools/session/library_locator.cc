#include "library_locator.h"

#include <elf.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string_view>
#include <vector>

#include "load_memo.h"
#include "program_check.h"
#include "unique_fd.h"

extern char** environ;

namespace velmora::trace {
namespace {


std::string self_dir() {
  char exe[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe);
  if (n <= 0 || static_cast<std::size_t>(n) == sizeof exe) return {};
  const std::string_view path(exe, static_cast<std::size_t>(n));
  const std::size_t slash = path.rfind('/');
  return std::string(path.substr(0, slash == 0 ? 1 : slash));
}

std::string resolve(const std::string& path) {
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf) == nullptr) return {};
  return buf;
}

LocatedLibrary accept_candidate(const std::string& candidate, const char* origin) {
  const std::string full = resolve(candidate);
  if (full.empty()) {
    return {{}, std::string(origin) + " '" + candidate + "': " + std::strerror(errno)};
  }
  // LD_PRELOAD separates entries with ':' or ' ', so such a path cannot be named.
  if (full.find_first_of(": \t\n") != std::string::npos) {
    return {{}, "library path '" + full + "' contains a space or colon, which LD_PRELOAD cannot carry"};
  }
  return {full, {}};
}

// Cheap structural check with precise messages; the trial load below
// catches the rest (a program rather than a library, missing dependencies). `identity`: the file's.
std::string check_elf_header(const std::string& path, struct stat& identity) {
  Elf64_Ehdr header{};
  ssize_t n = 0;
  {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid() || ::fstat(fd.get(), &identity) != 0) return path + ": " + std::strerror(errno);
    n = ::pread(fd.get(), &header, sizeof header, 0);
  }
  if (n < static_cast<ssize_t>(EI_NIDENT) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
    return path + ": not an ELF file";
  }
  // The tracer and the traced programs are built for the same machine, so
  // the tracer's own header is the reference.
  Elf64_Ehdr self{};
  if (const UniqueFd self_fd(::open("/proc/self/exe", O_RDONLY | O_CLOEXEC)); self_fd.valid()) {
    const ssize_t m = ::pread(self_fd.get(), &self, sizeof self, 0);
    if (m == static_cast<ssize_t>(sizeof self)) {
      if (header.e_ident[EI_CLASS] != self.e_ident[EI_CLASS] ||
          header.e_ident[EI_DATA] != self.e_ident[EI_DATA]) {
        return path + ": ELF class or byte order differs from this machine";
      }
      if (n == static_cast<ssize_t>(sizeof header) && header.e_machine != self.e_machine) {
        return path + ": built for another machine type";
      }
    }
  }
  if (n == static_cast<ssize_t>(sizeof header) && header.e_type != ET_DYN) {
    return path + ": not a shared library";
  }
  return {};
}

// A small program every system has, which the loader starts with the library preloaded.
constexpr const char* TRIAL_HOST = "/bin/true";
// How the loader says that a preload failed: "... cannot be preloaded (REASON): ignored."
// when it goes on without it, "PROGRAM: error while loading shared libraries: REASON"
// when it cannot (a dependency of the library is missing).
constexpr std::string_view REFUSED = "cannot be preloaded (";
constexpr std::string_view IGNORED = "): ignored";
constexpr std::string_view FATAL = "error while loading shared libraries: ";

// Starts the trial: the dynamic loader runs TRIAL_HOST with the library preloaded, just
// as LD_PRELOAD makes it do for the traced program, and says on its standard error why
// it could not. Nothing of the library runs in the tracer, which needs no loader of
// its own.
void start_trial(const std::string& path, pid_t& pid, UniqueFd& from_child) {
  const std::string loader = program_interpreter(TRIAL_HOST);
  if (loader.empty()) return;  // cannot check; the header looked fine
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  from_child.reset(fds[0]);
  const UniqueFd to_parent(fds[1]);
  // Without the tracer's variables the library reports nowhere; without the user's
  // preloads the loader's complaint can only be about this library.
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry = *e;
    if (!entry.starts_with("VELMORA_IO_") && !entry.starts_with("LD_PRELOAD=")) env.push_back(*e);
  }
  env.push_back(nullptr);
  std::string preload_option = "--preload";
  std::string host = TRIAL_HOST;
  std::string library = path;
  std::string program = loader;
  char* argv[] = {program.data(), preload_option.data(), library.data(), host.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, to_parent.get(), STDERR_FILENO);
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    pid = -1;
    from_child.reset();
  }
}

std::string finish_trial(const std::string& path, pid_t pid, UniqueFd& from_child) {
  std::string message;
  char buf[512];
  for (;;) {
    const ssize_t n = ::read(from_child.get(), buf, sizeof buf);
    if (n > 0) {
      if (message.size() < 4096) message.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  from_child.reset();
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  const std::size_t refused = message.find(REFUSED);
  if (refused == std::string::npos && WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
  std::string why;
  if (refused != std::string::npos) {
    why = message.substr(refused + REFUSED.size());
    why.resize(std::min(why.size(), why.rfind(IGNORED)));
  } else if (const std::size_t fatal = message.find(FATAL); fatal != std::string::npos) {
    why = message.substr(fatal + FATAL.size());
  }
  for (char& c : why) {
    if (c == '\n') c = ' ';
  }
  while (!why.empty() && why.back() == ' ') why.pop_back();
  if (why.empty()) why = "the dynamic loader could not load it";
  return "cannot load " + path + ": " + why;
}

}  // namespace

LocatedLibrary locate_library(const std::string& explicit_path, bool narrow) {
  const char* lib_name = narrow ? "libvelmora_io.so" : "libvelmora_io_wide.so";
  if (!explicit_path.empty()) return accept_candidate(explicit_path, "--lib");
  if (const char* env = std::getenv("VELMORA_IO_LIB"); env != nullptr && *env != '\0') {
    return accept_candidate(env, "VELMORA_IO_LIB");
  }
  const std::string dir = self_dir();
  if (!dir.empty()) {
    for (const std::string& candidate : {dir + "/" + lib_name, dir + "/../lib/" + lib_name}) {
      if (::access(candidate.c_str(), F_OK) == 0) return accept_candidate(candidate, "library");
    }
  }
  return {{},
          std::string("cannot find ") + lib_name + " beside this program or in ../lib; "
          "use --lib PATH or set VELMORA_IO_LIB"};
}

LoadCheck::LoadCheck(const std::string& path) : path_(path) {
  result_ = check_elf_header(path, identity_);
  if (result_.empty() && !load_remembered(identity_)) start_trial(path, pid_, from_child_);
}

LoadCheck::~LoadCheck() { finish(); }

const std::string& LoadCheck::finish() {
  if (pid_ > 0) {
    result_ = finish_trial(path_, pid_, from_child_);
    if (result_.empty()) remember_load(identity_);
  }
  pid_ = -1;
  return result_;
}

}  // namespace velmora::trace
