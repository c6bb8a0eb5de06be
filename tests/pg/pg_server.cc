#include "pg_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string_view>

namespace velmora_pg {
namespace {

namespace fs = std::filesystem;

constexpr int START_ATTEMPTS = 5;           // fresh port each time
constexpr double INITDB_SECONDS = 120;      // a loaded 2-core machine can be slow
constexpr double READY_SECONDS = 60;
constexpr double FAST_STOP_SECONDS = 20;
constexpr double IMMEDIATE_STOP_SECONDS = 10;
constexpr double KILL_SECONDS = 10;

double now_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void sleep_ms(long ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

bool is_executable(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool has_programs(const std::string& dir) {
  for (const char* name : {"initdb", "postgres", "psql", "pgbench"})
    if (!is_executable(dir + "/" + name)) return false;
  return true;
}

// "15" -> {15}, "9.6" -> {9, 6}; empty when the name is not a version.
std::vector<int> version_of(const std::string& name) {
  std::vector<int> parts;
  int value = -1;
  for (char c : name) {
    if (c >= '0' && c <= '9') {
      value = (value < 0 ? 0 : value) * 10 + (c - '0');
      if (value > 100000) return {};
    } else if (c == '.' && value >= 0) {
      parts.push_back(value);
      value = -1;
    } else {
      return {};
    }
  }
  if (value < 0) return {};
  parts.push_back(value);
  return parts;
}

// Waits up to `seconds` for a child to end; true (and *status) when it did.
bool wait_for_exit(pid_t pid, double seconds, int* status) {
  const double deadline = now_seconds() + seconds;
  for (;;) {
    const pid_t got = waitpid(pid, status, WNOHANG);
    if (got == pid) return true;
    if (got < 0 && errno != EINTR) return true;  // not ours any more: nothing to wait for
    if (now_seconds() >= deadline) return false;
    sleep_ms(20);
  }
}

std::string describe_status(int status) {
  if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

// Starts `argv` as a child in its own process group, stdout and stderr appended to
// `log_path`, under the given account when `drop` is set. The child gets SIGQUIT
// (PostgreSQL's immediate shutdown) should this test process die without stopping it,
// so that a crashed or killed test run does not leave a server behind.
pid_t spawn(const std::vector<std::string>& args, const std::string& log_path, const std::string& cwd,
            bool drop, uid_t uid, gid_t gid) {
  // Everything the child needs is prepared before fork: after it only system calls.
  std::vector<std::string> args_copy = args;
  std::vector<char*> argv;
  for (auto& a : args_copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::string env_storage[] = {"PATH=/usr/local/bin:/usr/bin:/bin", "LC_ALL=C", "LANG=C", "TZ=UTC"};
  std::vector<char*> envp;
  for (auto& e : env_storage) envp.push_back(e.data());
  envp.push_back(nullptr);

  const int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log_fd < 0) throw std::runtime_error("cannot open " + log_path + ": " + strerror(errno));
  if (drop && fchown(log_fd, uid, gid) != 0) {
    close(log_fd);
    throw std::runtime_error("cannot chown " + log_path + ": " + strerror(errno));
  }
  const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null_fd < 0) {
    close(log_fd);
    throw std::runtime_error(std::string("cannot open /dev/null: ") + strerror(errno));
  }
  const pid_t parent = getpid();

  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    if (dup2(null_fd, 0) < 0 || dup2(log_fd, 1) < 0 || dup2(log_fd, 2) < 0) _exit(126);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    if (drop) {
      if (setgroups(1, &gid) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(126);
    }
    // After the credential change, which would clear it.
    prctl(PR_SET_PDEATHSIG, SIGQUIT);
    if (getppid() != parent) _exit(126);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  const int fork_errno = errno;
  close(log_fd);
  close(null_fd);
  if (pid < 0) throw std::runtime_error(std::string("fork failed: ") + strerror(fork_errno));
  setpgid(pid, pid);  // also here, so that it holds before either side goes on
  return pid;
}

// A port on 127.0.0.1 that was free a moment ago. Another process can take it before
// the server binds it; the caller retries with a new one when the server cannot bind.
int pick_port() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  close(fd);
  return port;
}

}  // namespace

std::string find_bindir() {
  if (const char* given = std::getenv("VELMORA_PG_BINDIR"); given != nullptr && *given != '\0')
    return has_programs(given) ? std::string(given) : std::string();

  std::string best;
  std::vector<int> best_version;
  std::error_code ec;
  for (fs::directory_iterator it("/usr/lib/postgresql", ec), end; !ec && it != end; it.increment(ec)) {
    const std::vector<int> version = version_of(it->path().filename().string());
    const std::string bin = it->path().string() + "/bin";
    if (version.empty() || !has_programs(bin)) continue;
    if (best.empty() || version > best_version) {
      best = bin;
      best_version = version;
    }
  }
  if (!best.empty()) return best;

  try {
    velmora_test::RunOptions o;
    o.argv = {"pg_config", "--bindir"};
    o.preload = false;
    o.sink = velmora_test::Sink::NONE;
    o.timeout_seconds = 30;
    const velmora_test::RunResult r = velmora_test::run(o);
    std::string dir = r.out;
    while (!dir.empty() && (dir.back() == '\n' || dir.back() == '\r')) dir.pop_back();
    if (r.ok() && !dir.empty() && has_programs(dir)) return dir;
  } catch (const std::exception&) {
    // No pg_config on PATH: no server binaries either.
  }
  return "";
}

std::vector<std::pair<std::string, std::string>> client_env() {
  return {{"PGSSLMODE", "disable"}, {"PGGSSENCMODE", "disable"}, {"PGCONNECT_TIMEOUT", "10"},
          {"LC_ALL", "C"}};
}

std::vector<std::string> client_unset_env() {
  return {"PGHOST",       "PGHOSTADDR", "PGPORT",         "PGUSER",        "PGDATABASE",
          "PGOPTIONS",    "PGSERVICE",  "PGSERVICEFILE",  "PGSYSCONFDIR",  "PGPASSWORD",
          "PGPASSFILE",   "PGAPPNAME",  "PGCLIENTENCODING", "PGTARGETSESSIONATTRS",
          "PGREQUIRESSL", "PSQLRC",     "PSQL_HISTORY",   "PAGER",         "PSQL_PAGER"};
}

PgServer::~PgServer() { stop(); }

std::string PgServer::socket_path() const {
  return dir_->path() + "/.s.PGSQL." + std::to_string(port_);
}

std::string PgServer::log_tail() const {
  const std::string log = velmora_test::read_file(log_path_);
  constexpr std::size_t KEEP = 4000;
  return log.size() <= KEEP ? log : "..." + log.substr(log.size() - KEEP);
}

PgServer::Status PgServer::start() {
  if (status_ == Status::READY) return status_;
  bindir_ = find_bindir();
  if (bindir_.empty()) {
    const char* given = std::getenv("VELMORA_PG_BINDIR");
    error_ = given != nullptr && *given != '\0'
                 ? "VELMORA_PG_BINDIR=" + std::string(given) + " lacks initdb, postgres, psql or pgbench"
                 : "no PostgreSQL server binaries (initdb, postgres, psql, pgbench) under "
                   "/usr/lib/postgresql/*/bin or `pg_config --bindir`; set VELMORA_PG_BINDIR to "
                   "point at them";
    return status_ = Status::MISSING_BINARIES;
  }
  try {
    dir_ = std::make_unique<velmora_test::TempDir>();
    log_path_ = dir_->file("server.log");

    if (geteuid() == 0) {
      const char* wanted = std::getenv("VELMORA_PG_USER");
      const passwd* pw = nullptr;
      if (wanted != nullptr && *wanted != '\0') {
        pw = getpwnam(wanted);
      } else {
        pw = getpwnam("velmora-pg");
        if (pw == nullptr) pw = getpwnam("nobody");
      }
      if (pw == nullptr || pw->pw_uid == 0) {
        error_ = "running as root and found no unprivileged account for the server "
                 "(set VELMORA_PG_USER)";
        stop();
        return status_ = Status::FAILED;
      }
      drop_privileges_ = true;
      uid_ = pw->pw_uid;
      gid_ = pw->pw_gid;
      // The server creates its data directory and socket here.
      if (chown(dir_->path().c_str(), uid_, gid_) != 0 || chmod(dir_->path().c_str(), 0755) != 0) {
        error_ = "cannot hand " + dir_->path() + " to the server account: " + strerror(errno);
        stop();
        return status_ = Status::FAILED;
      }
    }

    if (!init_cluster()) {
      stop();
      return status_ = Status::FAILED;
    }
    for (int attempt = 0; attempt < START_ATTEMPTS; ++attempt) {
      const int port = pick_port();
      if (port == 0) continue;
      if (launch_and_wait(port)) return status_ = Status::READY;
      if (pid_ > 0) break;  // still running but never became ready: not a port clash
    }
    if (error_.empty()) error_ = "could not start the server";
    error_ += "\nserver log:\n" + log_tail();
    stop();
    return status_ = Status::FAILED;
  } catch (const std::exception& e) {
    error_ = std::string("starting the server: ") + e.what();
    stop();
    return status_ = Status::FAILED;
  }
}

bool PgServer::init_cluster() {
  const pid_t pid = spawn({program("initdb"), "-D", dir_->file("data"), "--auth=trust", "-U", "postgres",
                           "-E", "UTF8", "--no-locale", "--no-sync"},
                          log_path_, dir_->path(), drop_privileges_, uid_, gid_);
  int status = 0;
  if (!wait_for_exit(pid, INITDB_SECONDS, &status)) {
    kill(-pid, SIGKILL);
    wait_for_exit(pid, KILL_SECONDS, &status);
    error_ = "initdb did not finish in time\n" + log_tail();
    return false;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    error_ = "initdb failed (" + describe_status(status) + ")\n" + log_tail();
    return false;
  }
  return true;
}

bool PgServer::launch_and_wait(int port) {
  port_ = port;
  // Durability is irrelevant for a cluster thrown away after the run; background
  // workers only add load to a shared machine.
  pid_ = spawn({program("postgres"), "-D", dir_->file("data"), "-p", std::to_string(port), "-c",
                "listen_addresses=127.0.0.1", "-c", "unix_socket_directories=" + dir_->path(), "-c",
                "unix_socket_permissions=0777", "-c", "fsync=off", "-c", "synchronous_commit=off", "-c",
                "full_page_writes=off", "-c", "shared_buffers=16MB", "-c", "max_connections=20", "-c",
                "autovacuum=off", "-c", "logging_collector=off", "-c", "jit=off"},
               log_path_, dir_->path(), drop_privileges_, uid_, gid_);

  const double deadline = now_seconds() + READY_SECONDS;
  while (now_seconds() < deadline) {
    int status = 0;
    const pid_t got = waitpid(pid_, &status, WNOHANG);
    if (got == pid_) {
      // Most likely the port was taken between picking and binding it.
      error_ = "server on port " + std::to_string(port) + " exited early (" + describe_status(status) + ")";
      pid_ = -1;
      return false;
    }
    // The socket file in our own directory shows that this server, not some other
    // process that grabbed the port, is the one answering.
    struct stat st;
    if (stat(socket_path().c_str(), &st) == 0 && probe(dir_->path()) && probe("127.0.0.1")) return true;
    sleep_ms(100);
  }
  error_ = "server on port " + std::to_string(port) + " not ready within " +
           std::to_string(static_cast<int>(READY_SECONDS)) + " s";
  return false;
}

bool PgServer::probe(const std::string& host) const {
  velmora_test::RunOptions o;
  o.argv = {program("psql"), "-X", "-q", "-A", "-t", "-h", host, "-p", std::to_string(port_), "-U", "postgres",
            "-d", "postgres", "-c", "SELECT 1"};
  o.preload = false;
  o.sink = velmora_test::Sink::NONE;
  o.env = client_env();
  o.unset_env = client_unset_env();
  o.timeout_seconds = 20;
  const velmora_test::RunResult r = velmora_test::run(o);
  return r.ok() && r.out == "1\n";
}

void PgServer::stop() {
  if (pid_ > 0) {
    int status = 0;
    // SIGINT: fast shutdown (what `pg_ctl stop -m fast` sends); SIGQUIT: immediate;
    // then SIGKILL to the postmaster's group. Backends run in sessions of their own and
    // exit by themselves once they see the postmaster gone.
    kill(pid_, SIGINT);
    if (!wait_for_exit(pid_, FAST_STOP_SECONDS, &status)) {
      kill(pid_, SIGQUIT);
      if (!wait_for_exit(pid_, IMMEDIATE_STOP_SECONDS, &status)) {
        kill(-pid_, SIGKILL);
        wait_for_exit(pid_, KILL_SECONDS, &status);
      }
    }
    // No group-wide kill after a clean exit: once reaped, the id may belong to
    // someone else. A fast or immediate shutdown ends every backend before the
    // postmaster itself exits.
    pid_ = -1;
  }
  dir_.reset();
  if (status_ == Status::READY) status_ = Status::NOT_STARTED;
}

}  // namespace velmora_pg
