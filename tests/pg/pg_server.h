// A throwaway PostgreSQL server for end-to-end tests: its own cluster in a temporary
// directory, listening on 127.0.0.1 (a free port) and on a Unix socket in that
// directory, stopped and removed by stop() or the destructor.
//
// Run as root, the server runs as an unprivileged account (PostgreSQL refuses root):
// $VELMORA_PG_USER, else "velmora-pg" when that account exists, else "nobody".
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "preload_run.h"

namespace velmora_pg {

// The directory holding initdb, postgres, psql and pgbench, or "" when there is none:
// $VELMORA_PG_BINDIR, else the highest /usr/lib/postgresql/<version>/bin, else what
// `pg_config --bindir` says.
std::string find_bindir();

// Environment settings every client run gets, so that the caller's PG* variables cannot
// send it elsewhere and the traffic stays plain (no TLS or GSSAPI negotiation).
std::vector<std::pair<std::string, std::string>> client_env();
std::vector<std::string> client_unset_env();

class PgServer {
 public:
  enum class Status { NOT_STARTED, READY, MISSING_BINARIES, FAILED };

  PgServer() = default;
  ~PgServer();
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  // Creates the cluster and starts the server; bounded in time. On failure the
  // reason is in error() and nothing is left running.
  Status start();
  // Fast shutdown, escalating to immediate shutdown and SIGKILL, each with a bounded
  // wait; then removes the directory. Safe to call more than once.
  void stop();

  Status status() const { return status_; }
  const std::string& error() const { return error_; }
  const std::string& bindir() const { return bindir_; }
  std::string program(const std::string& name) const { return bindir_ + "/" + name; }
  int port() const { return port_; }
  // The directory holding the Unix socket (pass it as the host to libpq clients).
  const std::string& socket_dir() const { return dir_->path(); }
  std::string socket_path() const;
  pid_t pid() const { return pid_; }

 private:
  bool init_cluster();
  bool launch_and_wait(int port);
  bool probe(const std::string& host) const;
  std::string log_tail() const;

  Status status_ = Status::NOT_STARTED;
  std::string error_;
  std::string bindir_;
  std::unique_ptr<velmora_test::TempDir> dir_;
  std::string log_path_;
  bool drop_privileges_ = false;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace velmora_pg
