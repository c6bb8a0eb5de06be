/* host PATH: a host written in C against the public header, as a C program would use it.
 * With the library preloaded it hands over a pipe of its own, makes two events and reads
 * them back; they must be exactly the documented lines. Without the library the weak
 * declarations are null and the host says so. */
#define _GNU_SOURCE
#define VELMORA_IO_WEAK
#include "velmora_io.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

int scenario_host(int argc, char** argv) {
  (void)argc;
  const char* path = argv[2];
  const int preloaded = velmora_io_set_pipe_fd != NULL && velmora_io_set_pipe_read_fd != NULL;
  printf("preloaded=%d\n", preloaded);
  if (!preloaded) return 0;

  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return 3;
  /* Opened first: the wide library reports opens, and the lines read back are the two
     documented ones. */
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  velmora_io_set_pipe_read_fd(p[0]);
  velmora_io_set_pipe_fd(p[1]);
  if (write(fd, "x", 1) != 1) return 3;
  close(fd);
  velmora_io_set_pipe_fd(-1); /* ours to close now: nothing more is written to it */
  close(p[1]);

  char got[4096];
  size_t used = 0;
  for (ssize_t n; used < sizeof(got) - 1 && (n = read(p[0], got + used, sizeof(got) - 1 - used)) > 0;)
    used += (size_t)n;
  got[used] = '\0';
  velmora_io_set_pipe_read_fd(-1);
  close(p[0]);

  char want[4096];
  const long pid = (long)getpid(), tid = (long)syscall(SYS_gettid);
  snprintf(want, sizeof(want), "write\tfile:%s\t%d\t%ld\t%ld\nclose\tfile:%s\t%d\t%ld\t%ld\n", path, fd, pid,
           tid, path, fd, pid, tid);
  const int same = strcmp(got, want) == 0;
  if (!same) fprintf(stderr, "read back:\n%s\nexpected:\n%s", got, want);
  printf("own_lines_as_documented=%d\n", same);
  return 0;
}
