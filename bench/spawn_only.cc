// spawn_only COMMAND [ARG...]: starts the command and waits for it, nothing more. The
// floor under any tool that runs a program as its child; linked as velmora-trace is,
// so that the two start alike.
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: spawn_only COMMAND [ARG...]\n", stderr);
    return 2;
  }
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[1], nullptr, nullptr, argv + 1, environ) != 0) return 127;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
