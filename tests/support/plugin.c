/* A plugin whose constructor, inside dlopen, starts a thread that writes the file named
 * by VELMORA_TEST_PLUGIN_FILE and waits for it (io_driver's plugin scenario). */
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

static void* write_file(void* path) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0 && write(fd, "p", 1) == 1) close(fd);
  return NULL;
}

__attribute__((constructor)) static void start_and_wait(void) {
  const char* path = getenv("VELMORA_TEST_PLUGIN_FILE");
  pthread_t t;
  if (path != NULL && pthread_create(&t, NULL, write_file, (void*)path) == 0) pthread_join(t, NULL);
}
