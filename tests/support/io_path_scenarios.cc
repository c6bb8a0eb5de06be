// io_driver's path scenarios: the wide library's opens, probes, namespace changes and
// program starts, each family once.
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "io_scenarios.h"

namespace velmora_test {
namespace {

// paths DIR: one call of each path family of the wide library, in DIR (docs/library.md, "Events
// of the wide library"), then syscall() by number: a close dispatched, a pid passed on.
int scenario_paths(int, char** argv) {
  if (chdir(argv[2]) != 0) fail("chdir");
  struct stat st;
  close(open("new", O_WRONLY | O_CREAT | O_EXCL, 0644));
  syscall(SYS_close, open("new", O_RDWR | O_CREAT, 0644));
  errno = 0;
  fact("stat", stat("sub/../missing", &st));
  fact("stat_errno", errno);
  access("new", F_OK);
  access("././/new", F_OK);       // folded
  access("new/.", F_OK);          // ENOTDIR: missing
  const int root = open("/", O_RDONLY | O_DIRECTORY);
  faccessat(root, "velmora-no-such-entry", F_OK, 0);  // under the root: one slash
  close(root);
  const int dir = open(".", O_RDONLY | O_DIRECTORY);
  openat(dir, "nope/x", O_RDONLY);
  fstatat(dir, "new", &st, 0);
  mkdir("d", 0755);
  rename("new", "d/moved");
  link("d/moved", "hard");
  symlink("hard", "soft");
  close(open("soft", O_RDONLY));  // the path used, then the file it led to
  unlink("hard");
  char temp[] = "tmpXXXXXX";
  const int t = mkstemp(temp);
  unlink(temp);
  write(t, "x", 1);
  close(t);
  closedir(opendir("d"));
  opendir("gone");
  fopen("absent", "r");
  remove("d/moved");
  rmdir("d");
  fact("pid_by_number", syscall(SYS_getpid) == getpid());
  errno = 0;
  fact("bad_close", syscall(SYS_close, 4000));
  fact("bad_close_errno", errno);
  // The working directory moves by each route the wrappers see, a vfork child's own
  // move included: relative probes follow it.
  mkdir("w", 0755);
  chdir("w");
  access("a", F_OK);
  fchdir(dir);
  access("b", F_OK);
  syscall(SYS_chdir, "w");
  access("c", F_OK);
  if (vfork() == 0) {
    chdir("..");
    access("d", F_OK);
    _exit(0);
  }
  wait(nullptr);
  access("e", F_OK);
  syscall(SYS_fchdir, dir);
  rmdir("w");
  close(dir);
  return 0;
}

// programs DIR: a child searches PATH (DIR/nobin first) for a program that does not
// exist, then starts /bin/true with awkward arguments; posix_spawn starts another,
// popen a shell; a vfork child of a process that has reported probes a path and starts
// one more, and the parent probes the same path after it.
int scenario_programs(int, char** argv) {
  const std::string path = std::string(argv[2]) + "/nobin:/usr/bin";
  setenv("PATH", path.c_str(), 1);
  // First, before this process has reported anything: a vfork child runs on its memory
  // (its identity cache and whose the state is included), and must leave them its own.
  const pid_t vforked = vfork();
  if (vforked == 0) {
    execl("/bin/true", "true", "v", nullptr);
    _exit(1);
  }
  int status = 0;
  waitpid(vforked, &status, 0);
  const pid_t child = fork();
  if (child == 0) {
    execlp("velmora-no-such-program", "x", nullptr);
    execl("/bin/true", "true", "a\tb", "c\\d", nullptr);
    _exit(1);
  }
  waitpid(child, &status, 0);
  pid_t spawned = 0;
  char* args[] = {const_cast<char*>("true"), const_cast<char*>("z"), nullptr};
  posix_spawn(&spawned, "/bin/true", nullptr, nullptr, args, environ);
  waitpid(spawned, &status, 0);
  FILE* shell = popen("echo $$", "r");  // the shell says its own pid
  long shell_pid = 0;
  if (shell == nullptr || fscanf(shell, "%ld", &shell_pid) != 1 || pclose(shell) != 0) fail("popen");
  const std::string probe = std::string(argv[2]) + "/velmora-no-such-program";
  const pid_t late = vfork();
  if (late == 0) {
    access(probe.c_str(), F_OK);
    execl("/bin/true", "true", "w", nullptr);
    _exit(1);
  }
  waitpid(late, &status, 0);
  access(probe.c_str(), F_OK);
  fact("late", late);
  fact("pid", getpid());
  fact("child", child);
  fact("spawned", spawned);
  fact("vforked", vforked);
  fact("shell", shell_pid);
  return 0;
}

constexpr Scenario SCENARIOS[] = {
    {"paths", 1, scenario_paths},
    {"programs", 1, scenario_programs},
};

}  // namespace

constinit const std::span<const Scenario> PATH_SCENARIOS = SCENARIOS;

}  // namespace velmora_test
