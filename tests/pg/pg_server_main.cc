// velmora_pg_server: the tests' throwaway PostgreSQL server for scripts (the benchmark).
// Starts it, prints "port=N", "socket_dir=DIR" and "bindir=DIR" on standard output
// followed by "ready", and stops it (removing its directory) when standard input reaches
// end of file, so the server never outlives the script that started it. Exit status 77
// when the PostgreSQL programs are missing, 1 when the server could not start.
#include <unistd.h>

#include <cstdio>

#include "pg_server.h"

int main() {
  velmora_pg::PgServer server;
  const velmora_pg::PgServer::Status status = server.start();
  if (status != velmora_pg::PgServer::Status::READY) {
    std::fprintf(stderr, "%s\n", server.error().c_str());
    return status == velmora_pg::PgServer::Status::MISSING_BINARIES ? 77 : 1;
  }
  std::printf("port=%d\nsocket_dir=%s\nbindir=%s\nready\n", server.port(), server.socket_dir().c_str(),
              server.bindir().c_str());
  std::fflush(stdout);
  char buf[256];
  while (read(0, buf, sizeof(buf)) > 0) {
  }
  server.stop();
  return 0;
}
