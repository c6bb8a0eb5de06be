// spawn_only COMMAND [ARG...]: finds the command along PATH, starts it and waits for it,
// nothing more. The floor under any tool that runs a program as its child; linked as
// velmora-trace is, and searching as it does (one access() per directory, one exec), so
// that the two start alike.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

extern char** environ;

namespace {

std::string find_program(const char* name) {
  const char* path = std::getenv("PATH");
  if (std::string(name).find('/') != std::string::npos || path == nullptr) return name;
  for (const char* at = path;; ++at) {
    const char* end = at;
    while (*end != '\0' && *end != ':') ++end;
    const std::string candidate = (end == at ? std::string(".") : std::string(at, end)) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    if (*end == '\0') return name;
    at = end;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: spawn_only COMMAND [ARG...]\n", stderr);
    return 2;
  }
  const std::string program = find_program(argv[1]);
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv + 1, environ) != 0) return 127;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
