#include "library_locator.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "load_memo.h"
#include "unique_fd.h"

namespace velmora::trace {
namespace {


std::string self_dir() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return exe.parent_path().string();
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
// catches the rest (missing dependencies, undefined symbols). `identity`: the file's.
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

// Forks the trial: the child loads the library and reports the loader's complaint, if
// any, through the pipe (end of file: loaded).
void start_trial(const std::string& path, pid_t& pid, UniqueFd& from_child) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;  // cannot check; the header looked fine
  from_child.reset(fds[0]);
  UniqueFd to_parent(fds[1]);
  pid = ::fork();
  if (pid < 0) {
    from_child.reset();
    return;
  }
  if (pid == 0) {
    // Keep the library from reporting anywhere during the trial.
    ::unsetenv("VELMORA_IO_FD");
    ::unsetenv("VELMORA_IO_LOG");
    ::unsetenv("VELMORA_IO_RING");
    void* handle = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = ::dlerror();
      if (why != nullptr) {
        const ssize_t ignored = ::write(to_parent.get(), why, std::strlen(why));
        (void)ignored;
      }
      ::_exit(1);
    }
    ::dlclose(handle);
    ::_exit(0);
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
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  for (char& c : message) {
    if (c == '\n') c = ' ';
  }
  if (message.empty()) message = path + ": the dynamic loader could not load it";
  return "cannot load " + message;
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
