// End to end against a real PostgreSQL server: psql and pgbench run with the library
// preloaded, and what they send must come back as connect/read/write events naming
// the server's socket and as sql_write events carrying the exact query text.
//
// One server per test process, started by a global environment and always stopped
// by it, whether the tests pass or not.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "pg_server.h"
#include "preload_run.h"
#include "temp_dir.h"

namespace {

using velmora_pg::PgServer;
using velmora_test::count_events;
using velmora_test::describe;
using velmora_test::Event;
using velmora_test::RunOptions;
using velmora_test::RunResult;

PgServer* g_server = nullptr;
bool g_bench_tables = false;  // pgbench -i done on g_server

class PgEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    server_ = std::make_unique<PgServer>();
    server_->start();
    g_server = server_.get();
    g_bench_tables = false;
  }
  void TearDown() override {
    g_server = nullptr;
    if (server_) server_->stop();
    server_.reset();
  }

 private:
  std::unique_ptr<PgServer> server_;
};

bool in_ci() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && *ci != '\0';
}

class PgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(g_server, nullptr);
    switch (g_server->status()) {
      case PgServer::Status::READY:
        break;
      case PgServer::Status::MISSING_BINARIES:
        // On CI the binaries are part of the environment: their absence is a failure.
        if (in_ci()) FAIL() << g_server->error();
        GTEST_SKIP() << g_server->error();
        break;
      default:
        FAIL() << "PostgreSQL server did not start: " << g_server->error();
    }
  }

  PgServer& server() { return *g_server; }
  std::string port() { return std::to_string(server().port()); }
  std::string tcp_name() { return "socket:127.0.0.1:" + port(); }
  std::string unix_name() { return "socket:unix:" + server().socket_path(); }

  RunResult client(std::vector<std::string> argv, bool preload, int timeout_seconds = 60) {
    RunOptions o;
    o.argv = std::move(argv);
    o.preload = preload;
    o.sink = preload ? velmora_test::Sink::PIPE_ENV : velmora_test::Sink::NONE;
    o.env = velmora_pg::client_env();
    o.unset_env = velmora_pg::client_unset_env();
    o.timeout_seconds = timeout_seconds;
    return velmora_test::run(o);
  }

  // The query as an argument, or (`from_file`: past an argument's size limit) in a file.
  RunResult psql(const std::string& host, const std::string& sql, bool preload, bool from_file = false) {
    velmora_test::TempDir dir;
    if (from_file) std::ofstream(dir / "query.sql") << sql;
    return client({server().program("psql"), "-X", "-h", host, "-p", port(), "-U", "postgres", "-d", "postgres",
                   from_file ? "-f" : "-c", from_file ? dir / "query.sql" : sql},
                  preload);
  }
};

std::vector<std::string> details(const std::vector<Event>& events) {
  std::vector<std::string> out;
  for (const Event& e : events) out.push_back(e.detail);
  return out;
}

// For every event of `kind`, the name its descriptor was connected to in that process,
// following connect and close events in order ("" when the descriptor was never
// connected, or closed since).
std::vector<std::string> connection_of(const RunResult& r, const std::string& kind) {
  std::map<std::pair<int32_t, int32_t>, std::string> open;  // (pid, fd) -> name
  std::vector<std::string> names;
  for (const Event& e : r.events) {
    const auto key = std::make_pair(e.pid, e.fd);
    if (e.kind == kind) {
      auto it = open.find(key);
      names.push_back(it == open.end() ? "" : it->second);
    }
    if (e.kind == "connect") open[key] = e.detail;
    if (e.kind == "close") open.erase(key);
  }
  return names;
}

// psql over one transport, with and without the library: same output, one sql_write
// with the exact text, on a descriptor connected to `expected_name`.
void check_psql_round_trip(const RunResult& plain, const RunResult& traced, const std::string& expected_name,
                           const std::string& sql) {
  ASSERT_TRUE(plain.ok()) << describe(plain);
  ASSERT_TRUE(traced.ok()) << describe(traced);
  EXPECT_EQ(traced.out, plain.out) << "the library changed what psql printed";
  EXPECT_EQ(traced.malformed, 0u) << describe(traced);

  const std::vector<Event> sql_writes = traced.of_kind("sql_write");
  ASSERT_EQ(sql_writes.size(), 1u) << describe(traced);
  EXPECT_EQ(sql_writes[0].detail, sql);
  EXPECT_EQ(connection_of(traced, "sql_write"), std::vector<std::string>{expected_name}) << describe(traced);

  // psql connects once; its startup and terminate messages are plain writes, the
  // server's answers reads, all named after the server's socket.
  EXPECT_EQ(count_events(traced.events, "connect", expected_name), 1u) << describe(traced);
  EXPECT_GE(count_events(traced.events, "write", expected_name), 1u) << describe(traced);
  EXPECT_GE(count_events(traced.events, "read", expected_name), 1u) << describe(traced);
  EXPECT_EQ(count_events(traced.events, "close", expected_name), 1u) << describe(traced);
  for (const Event& e : traced.events) {
    EXPECT_EQ(e.pid, sql_writes[0].pid) << "psql is a single process";
    if (e.kind == "connect") {
      EXPECT_EQ(e.fd, sql_writes[0].fd);
    }
  }
}

TEST_F(PgTest, PsqlOverTcpReportsQueryAndServerSocket) {
  const RunResult plain = psql("127.0.0.1", "SELECT 42", false);
  const RunResult traced = psql("127.0.0.1", "SELECT 42", true);
  check_psql_round_trip(plain, traced, tcp_name(), "SELECT 42");
  EXPECT_NE(traced.out.find("42"), std::string::npos) << traced.out;
}

TEST_F(PgTest, PsqlOverUnixSocketReportsQueryAndSocketPath) {
  const RunResult plain = psql(server().socket_dir(), "SELECT 42", false);
  const RunResult traced = psql(server().socket_dir(), "SELECT 42", true);
  check_psql_round_trip(plain, traced, unix_name(), "SELECT 42");
  EXPECT_EQ(unix_name(), "socket:unix:" + server().socket_dir() + "/.s.PGSQL." + port());
}

TEST_F(PgTest, QueryWithTabAndNewlineComesBackExactly) {
  const std::string sql = "SELECT\t1,\n2";
  const RunResult plain = psql("127.0.0.1", sql, false);
  const RunResult traced = psql("127.0.0.1", sql, true);
  check_psql_round_trip(plain, traced, tcp_name(), sql);
  // On the wire of the event stream the line stays one line.
  EXPECT_NE(traced.raw.find("sql_write\tSELECT\\t1,\\n2\t"), std::string::npos) << traced.raw;
}

TEST_F(PgTest, QueryWithBackslashComesBackExactly) {
  const std::string sql = "SELECT 'a\\b' AS x";
  const RunResult plain = psql(server().socket_dir(), sql, false);
  const RunResult traced = psql(server().socket_dir(), sql, true);
  check_psql_round_trip(plain, traced, unix_name(), sql);
  EXPECT_NE(traced.raw.find("sql_write\tSELECT 'a\\\\b' AS x\t"), std::string::npos) << traced.raw;
  EXPECT_NE(traced.out.find("a\\b"), std::string::npos) << traced.out;
}

// psql's client library sends a long query as its buffer fills (8 KiB, then the rest):
// the wide library gathers the pieces into one sql_write.
TEST_F(PgTest, QueriesSentInPiecesAreOneWholeSqlWrite) {
  if (!velmora_test::testing_wide_library()) GTEST_SKIP() << "the narrow library reads a message whole in one send";
  for (const std::size_t size : {20'000u, 1'000'000u}) {
    const std::string sql = "SELECT length('" + std::string(size, 'x') + "')";
    const RunResult plain = psql(server().socket_dir(), sql, false, true);
    const RunResult traced = psql(server().socket_dir(), sql, true, true);
    check_psql_round_trip(plain, traced, unix_name(), sql);
    EXPECT_NE(traced.out.find(std::to_string(size)), std::string::npos) << traced.out.substr(0, 200);
  }
}

// ---------------------------------------------------------------------------------
// The pytest plugin on the sample suite (tests/pytest_sample), whose last test queries
// this server through a psql child: check_report.py holds what must be where.
TEST_F(PgTest, PytestPluginReportsEveryResourceUnderItsTestAndPhase) {
  const std::string python = velmora_test::python3_path();
  ASSERT_FALSE(python.empty()) << "python3 is required";
  const std::string sample = std::filesystem::canonical(VELMORA_PYTEST_SAMPLE).string();
  velmora_test::TempDir dir;
  const std::string report = dir / "report.json";
  const std::string basetemp = dir / "basetemp";
  RunOptions o;
  o.argv = {python, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "velmora.pytest_plugin",
            "--velmora-report=" + report, "--basetemp=" + basetemp, sample};
  o.cwd = sample;
  o.env = velmora_pg::client_env();
  o.env.insert(o.env.end(), {{"PYTHONPATH", VELMORA_PYTHON_DIR}, {"PYTHONDONTWRITEBYTECODE", "1"},
                             {"PGHOST", "127.0.0.1"}, {"PGPORT", port()}, {"PGUSER", "postgres"},
                             {"PGDATABASE", "postgres"}, {"VELMORA_SAMPLE_PSQL", server().program("psql")}});
  o.unset_env = velmora_pg::client_unset_env();
  o.unset_env.insert(o.unset_env.end(), {"PYTEST_ADDOPTS", "PYTEST_PLUGINS"});
  o.timeout_seconds = 120;

  o.preload = false;
  o.sink = velmora_test::Sink::NONE;
  const RunResult plain = velmora_test::run(o);
  EXPECT_EQ(plain.exit_code, 4) << describe(plain);  // pytest's usage error
  EXPECT_NE(plain.err.find("libvelmora_io is not preloaded"), std::string::npos) << plain.err;

  o.preload = true;
  o.sink = velmora_test::Sink::PIPE_ENV;
  const RunResult traced = velmora_test::run(o);
  ASSERT_TRUE(traced.ok()) << describe(traced);

  RunOptions check;
  check.argv = {python, VELMORA_PYTEST_SAMPLE "/check_report.py", report, sample, basetemp, port(),
                velmora_test::testing_wide_library() ? "wide" : "narrow"};
  check.preload = false;
  check.sink = velmora_test::Sink::NONE;
  const RunResult checked = velmora_test::run(check);
  EXPECT_TRUE(checked.ok()) << checked.err << "\nreport:\n" << velmora_test::read_file(report);
  // The report is written after the session's capture has ended and handed the sink
  // back to the environment's pipe, which still is the one the run started with.
  EXPECT_EQ(count_events(traced.events, "write", "file:" + report), 1u) << describe(traced);
}

// Node.js's pg driver writes its messages with write (a simple Query) and writev (Parse
// in the first buffer, Bind, Describe, Execute and Sync after it). The wide library
// reports each text once as sql_write on the server's socket; the narrow one, which
// inspects send only, reports none.

// The absolute path of `name` on PATH, or "".
std::string on_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= dirs.size();) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

// Where .ci/run installs the pg package: $VELMORA_NODE_MODULES, else
// /opt/velmora-node/node_modules.
std::string node_modules() {
  const char* dir = std::getenv("VELMORA_NODE_MODULES");
  return dir != nullptr && *dir != '\0' ? dir : "/opt/velmora-node/node_modules";
}

TEST_F(PgTest, NodePgQueriesWrittenWithWriteAndWritevAreSqlWritesInTheWideLibraryOnly) {
  const std::string node = on_path("node");
  if (node.empty()) GTEST_SKIP() << "Node.js is not installed: the pg driver client is skipped";
  if (::access((node_modules() + "/pg/package.json").c_str(), R_OK) != 0) {
    if (in_ci()) FAIL() << "the pg package is missing from " << node_modules();
    GTEST_SKIP() << "the pg package is not installed in " << node_modules() << " (.ci/run installs it)";
  }
  const auto run_client = [&](bool preload) {
    RunOptions o;
    o.argv = {node, VELMORA_PG_TEST_DIR "/node_pg_client.js", "127.0.0.1", port()};
    o.preload = preload;
    o.sink = preload ? velmora_test::Sink::PIPE_ENV : velmora_test::Sink::NONE;
    o.env = velmora_pg::client_env();
    o.env.emplace_back("NODE_PATH", node_modules());
    o.unset_env = velmora_pg::client_unset_env();
    return velmora_test::run(o);
  };
  const RunResult plain = run_client(false);
  const RunResult traced = run_client(true);
  ASSERT_TRUE(plain.ok()) << describe(plain);
  ASSERT_TRUE(traced.ok()) << describe(traced);
  EXPECT_EQ(traced.out, "answer=42\nnext=42\n") << describe(traced);
  EXPECT_EQ(traced.out, plain.out);

  const std::size_t expected = velmora_test::testing_wide_library() ? 1 : 0;
  EXPECT_EQ(count_events(traced.events, "sql_write", "SELECT 42 AS answer"), expected) << describe(traced);
  EXPECT_EQ(count_events(traced.events, "sql_write", "SELECT $1::int + 1 AS next"), expected) << describe(traced);
  // Each on the connection to the server, and nothing else taken for a query.
  const std::vector<std::string> where = connection_of(traced, "sql_write");
  EXPECT_EQ(where.size(), 2 * expected) << describe(traced);
  for (const std::string& name : where) EXPECT_EQ(name, tcp_name());
  EXPECT_GE(count_events(traced.events, "write", tcp_name()), 1u) << "startup and terminate stay plain writes";
}

// ---------------------------------------------------------------------------------
// pgbench: its built-in TPC-B-like script is seven statements per transaction:
//   BEGIN; UPDATE pgbench_accounts; SELECT abalance; UPDATE pgbench_tellers;
//   UPDATE pgbench_branches; INSERT INTO pgbench_history; END;
// Before the client connection runs it, pgbench opens a first connection that reads
// the scale ("select count(*) from pgbench_branches") and asks whether
// pgbench_accounts is partitioned, each a simple Query, then closes it. Those are the
// SETUP_QUERIES below, and they come first. With -n nothing else (no vacuum) is sent.

constexpr int TRANSACTIONS = 20;
constexpr std::size_t STATEMENTS_PER_TRANSACTION = 7;
constexpr std::size_t SETUP_QUERIES = 2;

// The seven statements as Parse sends them (extended and prepared modes).
const std::vector<std::string>& parse_texts() {
  static const std::vector<std::string> texts = {
      "BEGIN;",
      "UPDATE pgbench_accounts SET abalance = abalance + $1 WHERE aid = $2;",
      "SELECT abalance FROM pgbench_accounts WHERE aid = $1;",
      "UPDATE pgbench_tellers SET tbalance = tbalance + $1 WHERE tid = $2;",
      "UPDATE pgbench_branches SET bbalance = bbalance + $1 WHERE bid = $2;",
      "INSERT INTO pgbench_history (tid, bid, aid, delta, mtime) VALUES ($1, $2, $3, $4, CURRENT_TIMESTAMP);",
      "END;",
  };
  return texts;
}

// The same statements in simple mode, where pgbench substitutes the variables itself,
// so each execution carries its own numbers.
const std::vector<std::regex>& simple_patterns() {
  static const std::vector<std::regex> patterns = {
      std::regex(R"(BEGIN;)"),
      std::regex(R"(UPDATE pgbench_accounts SET abalance = abalance \+ -?\d+ WHERE aid = \d+;)"),
      std::regex(R"(SELECT abalance FROM pgbench_accounts WHERE aid = \d+;)"),
      std::regex(R"(UPDATE pgbench_tellers SET tbalance = tbalance \+ -?\d+ WHERE tid = \d+;)"),
      std::regex(R"(UPDATE pgbench_branches SET bbalance = bbalance \+ -?\d+ WHERE bid = \d+;)"),
      std::regex(
          R"(INSERT INTO pgbench_history \(tid, bid, aid, delta, mtime\) VALUES \(\d+, \d+, \d+, -?\d+, CURRENT_TIMESTAMP\);)"),
      std::regex(R"(END;)"),
  };
  return patterns;
}

// pgbench's own account of the transactions it ran: "...actually processed: 20/20".
int processed_transactions(const RunResult& r) {
  const std::string marker = "number of transactions actually processed: ";
  for (const std::string* text : {&r.out, &r.err}) {
    const std::size_t at = text->find(marker);
    if (at == std::string::npos) continue;
    std::size_t i = at + marker.size();
    int n = 0;
    bool digits = false;
    while (i < text->size() && (*text)[i] >= '0' && (*text)[i] <= '9' && n < 1000000) {
      n = n * 10 + ((*text)[i++] - '0');
      digits = true;
    }
    if (digits && i < text->size() && (*text)[i] == '/') return n;
  }
  return -1;
}

class PgbenchTest : public PgTest {
 protected:
  void SetUp() override {
    PgTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (!g_bench_tables) {
      // The tables, without the library: only the runs below are under test.
      const RunResult init = client({server().program("pgbench"), "-i", "-q", "-s", "1", "-h", "127.0.0.1", "-p",
                                     port(), "-U", "postgres", "postgres"},
                                    false, 300);
      ASSERT_TRUE(init.ok()) << describe(init);
      g_bench_tables = true;
    }
  }

  RunResult bench(const std::string& mode) {
    return client({server().program("pgbench"), "-n", "-t", std::to_string(TRANSACTIONS), "-c", "1", "-j", "1",
                   "-M", mode, "-h", "127.0.0.1", "-p", port(), "-U", "postgres", "postgres"},
                  true, 300);
  }

  // Checks common to every mode; returns the sql_write texts after the setup queries.
  std::vector<std::string> check_run(const RunResult& r, std::size_t expected_sql_writes) {
    EXPECT_TRUE(r.ok()) << describe(r);
    EXPECT_EQ(r.malformed, 0u);
    const int processed = processed_transactions(r);
    EXPECT_EQ(processed, TRANSACTIONS) << describe(r);

    const std::vector<std::string> sql = details(r.of_kind("sql_write"));
    EXPECT_EQ(sql.size(), expected_sql_writes) << describe(r);
    if (sql.size() < SETUP_QUERIES) return {};
    EXPECT_EQ(sql[0], "select count(*) from pgbench_branches");
    EXPECT_NE(sql[1].find("pg_catalog.pg_partitioned_table"), std::string::npos) << sql[1];
    EXPECT_NE(sql[1].find("c.relname = 'pgbench_accounts'"), std::string::npos) << sql[1];

    // Every query went to the server, on a descriptor connected to it.
    for (const std::string& name : connection_of(r, "sql_write")) EXPECT_EQ(name, tcp_name());
    for (const Event& e : r.events) {
      if (e.kind == "connect") {
        EXPECT_EQ(e.detail, tcp_name());
      }
    }
    return std::vector<std::string>(sql.begin() + SETUP_QUERIES, sql.end());
  }

  // Each connection sends its startup message and, at the end, Terminate as plain
  // writes; with TLS and GSSAPI negotiation off there is nothing else besides the
  // statements themselves.
  static std::size_t plain_writes(const RunResult& r) { return r.of_kind("write").size(); }
  static std::size_t connections(const RunResult& r) { return r.of_kind("connect").size(); }
};

TEST_F(PgbenchTest, SimpleModeReportsEveryStatementWithItsValues) {
  const RunResult r = bench("simple");
  // 20 transactions x 7 statements, each its own Query message, + 2 setup queries
  // = 142.
  const std::vector<std::string> statements =
      check_run(r, TRANSACTIONS * STATEMENTS_PER_TRANSACTION + SETUP_QUERIES);
  ASSERT_EQ(statements.size(), TRANSACTIONS * STATEMENTS_PER_TRANSACTION);

  std::vector<int> per_statement(STATEMENTS_PER_TRANSACTION, 0);
  for (std::size_t i = 0; i < statements.size(); ++i) {
    const std::size_t which = i % STATEMENTS_PER_TRANSACTION;  // one client: strictly in order
    EXPECT_TRUE(std::regex_match(statements[i], simple_patterns()[which]))
        << "statement " << i << ": " << statements[i];
    for (std::size_t k = 0; k < STATEMENTS_PER_TRANSACTION; ++k)
      if (std::regex_match(statements[i], simple_patterns()[k])) ++per_statement[k];
  }
  for (std::size_t k = 0; k < STATEMENTS_PER_TRANSACTION; ++k)
    EXPECT_EQ(per_statement[k], TRANSACTIONS) << "statement " << k;

  EXPECT_EQ(connections(r), 2u) << describe(r);
  EXPECT_EQ(plain_writes(r), 2 * connections(r)) << "every statement should be a sql_write\n" << describe(r);
}

TEST_F(PgbenchTest, ExtendedModeReportsEveryParseWithPlaceholders) {
  const RunResult r = bench("extended");
  // Each execution sends Parse+Bind+Describe+Execute+Sync in one buffer starting with
  // Parse: 20 x 7 + 2 setup queries = 142.
  const std::vector<std::string> statements =
      check_run(r, TRANSACTIONS * STATEMENTS_PER_TRANSACTION + SETUP_QUERIES);
  ASSERT_EQ(statements.size(), TRANSACTIONS * STATEMENTS_PER_TRANSACTION);
  for (std::size_t i = 0; i < statements.size(); ++i)
    EXPECT_EQ(statements[i], parse_texts()[i % STATEMENTS_PER_TRANSACTION]) << "statement " << i;
  for (const std::string& text : parse_texts())
    EXPECT_EQ(std::count(statements.begin(), statements.end(), text), TRANSACTIONS) << text;

  EXPECT_EQ(connections(r), 2u) << describe(r);
  EXPECT_EQ(plain_writes(r), 2 * connections(r)) << "every statement should be a sql_write\n" << describe(r);
}

TEST_F(PgbenchTest, PreparedModeReportsParseOnceAndBindAsPlainWrites) {
  const RunResult r = bench("prepared");
  // Each statement is parsed once on the client connection, then only Bind+Describe+
  // Execute+Sync buffers follow, which carry no query text: 7 + 2 setup queries = 9.
  const std::vector<std::string> statements = check_run(r, STATEMENTS_PER_TRANSACTION + SETUP_QUERIES);
  EXPECT_EQ(statements, parse_texts());

  // The 20 x 7 executions are still there, as plain writes to the server.
  EXPECT_EQ(connections(r), 2u) << describe(r);
  EXPECT_EQ(plain_writes(r), TRANSACTIONS * STATEMENTS_PER_TRANSACTION + 2 * connections(r)) << describe(r);
  EXPECT_EQ(count_events(r.events, "write", tcp_name()), plain_writes(r));
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new PgEnvironment);  // gtest owns and deletes it
  return RUN_ALL_TESTS();
}
