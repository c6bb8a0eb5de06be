// One python3 program that uses threads, a TCP round trip with its own server thread,
// a child process started with the default close_fds=True and an HTTP server thread
// fetched by curl: python's os and io layers call read()/write() directly, so its files
// and sockets are seen thread by thread.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "program_matrix.h"

namespace velmora_test::programs {
namespace {

std::string page() {
  std::string html = "<html><body>\n";
  for (int i = 0; i < 2000; ++i) html += "<p>row " + std::to_string(i) + "</p>\n";
  return html + "</body></html>\n";
}

std::string socket_name(const std::string& port) { return "socket:127.0.0.1:" + port; }

TEST(Python, ThreadsSocketsChildAndHttpAreSeenAndChangeNothing) {
  const std::string python = python3_path();
  ASSERT_FALSE(python.empty()) << "python3 is required";
  const std::string curl = find_program("curl");
  // The child processes get no pipe (close_fds closes it in them), so give them a log
  // file to fall back on; the parent keeps writing to the pipe.
  TempDir logs;
  const std::string log = logs.file("children.log");

  const Prepare setup = [](const std::string& dir) {
    std::filesystem::copy_file(std::string(VELMORA_PROGRAMS_DIR) + "/matrix_script.py",
                               dir + "/matrix_script.py");
    std::filesystem::create_directories(dir + "/www");
    write_file(dir + "/www/page.html", page());
  };
  Paired p = run_paired(setup, [&](const std::string&) {
    RunOptions o;
    o.argv = {python, "-I", "-S", "-B", "matrix_script.py", ".", curl};
    o.env = {{"VELMORA_IO_LOG", log}};
    o.unset_env = {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                   "no_proxy", "NO_PROXY"};
    o.timeout_seconds = 120;
    o.every_kind = true;
    return o;
  });
  expect_same_behaviour(p);
  // The five kinds for the stories below; every kind for the server's own lines.
  RunResult r = p.traced.result;
  const std::vector<Event> every = r.events;
  r.events = parse_events(five_kinds_only(r.raw), &r.malformed);
  ASSERT_TRUE(r.ok()) << r.out << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find("http ")), "parts 42000\necho 10000 True\nchild 0 \n");
  EXPECT_TRUE(same_bytes(read_file(p.traced.path("fetched.html")), page()));
  EXPECT_EQ(read_file(p.traced.path("child.txt")), "written by the child\n");
  expect_well_formed(r);
  auto facts = facts_of(r.err);
  ASSERT_FALSE(r.events.empty());
  const int32_t pid = r.events.front().pid;
  for (const Event& e : r.events) EXPECT_EQ(e.pid, pid) << "only the parent reports on the pipe";

  // The script itself, read by the interpreter on the main thread.
  const std::string script = p.traced.file("matrix_script.py");
  EXPECT_TRUE(rounds_of(kinds_of(r.events, script), "read")) << listing(r.events);

  // Three writers, all alive together, so three distinct thread ids, none the main one.
  std::set<int64_t> writers;
  for (int i = 0; i < 3; ++i) {
    const std::string part = p.traced.file("part" + std::to_string(i) + ".txt");
    EXPECT_EQ(kinds_of(r.events, part), "write close read close") << listing(r.events);
    for (const Event& e : r.events) {
      if (e.detail != part) continue;
      if (e.kind == "read") {
        EXPECT_EQ(e.tid, pid) << "read back on the main thread";
      }
      if (e.kind == "write") {
        EXPECT_NE(e.tid, pid);
        writers.insert(e.tid);
      }
    }
  }
  EXPECT_EQ(writers.size(), 3u);
  EXPECT_EQ(kinds_of(r.events, p.traced.file("parts.txt")), "write close");

  // The echo round trip: the client end is named by the address it connected to, the
  // accepted end by its peer (the client's port); the listening socket never by anything.
  const std::string echo = socket_name(facts["echo_port"]);
  const std::string accepted = socket_name(facts["echo_client_port"]);
  EXPECT_EQ(kinds_of(r.events, echo), "connect write read close") << listing(r.events);
  EXPECT_EQ(kinds_of(r.events, accepted), "read write close") << listing(r.events);
  if (testing_wide_library()) {  // listening under its address; the accepted end tied to it
    EXPECT_EQ(count_events(every, "listen", echo), 1u) << listing(every);
    EXPECT_EQ(count_events(every, "accept", accepted), 1u);
    EXPECT_EQ(count_events(every, "accept_local", echo), 1u);
  }
  for (const Event& e : r.events) {
    if (e.detail == echo) {
      EXPECT_EQ(e.tid, pid);
    }
    if (e.detail == accepted) {
      EXPECT_NE(e.tid, pid);
    }
  }

  // The child with close_fds=True lost the pipe and fell back to the log file: its
  // events are all there under its own pid and none of them on the pipe.
  const std::string child_pid = facts["child_pid"];
  ASSERT_FALSE(child_pid.empty()) << r.err;
  std::size_t malformed = 0;
  const std::vector<Event> logged = parse_events(five_kinds_only(read_file(log)), &malformed);
  expect_well_formed(logged, malformed);
  const auto child = select(logged, [&](const Event& e) { return std::to_string(e.pid) == child_pid; });
  EXPECT_EQ(kinds_of(child, p.traced.file("child.txt")), "write close") << listing(logged);
  for (const Event& e : logged) EXPECT_NE(e.pid, pid) << "the parent never falls back to the log";

  // The HTTP server: a handler thread reads the page and talks on the accepted socket.
  const std::string served = p.traced.file("www/page.html");
  EXPECT_EQ(kinds_of(r.events, served), "read close") << listing(r.events);
  const auto page_reads = select(r.events, [&](const Event& e) { return e.detail == served; });
  ASSERT_FALSE(page_reads.empty());
  const int64_t handler = page_reads.front().tid;
  EXPECT_NE(handler, pid);
  const auto handler_sockets = select(r.events, [&](const Event& e) {
    return e.tid == handler && e.detail.rfind("socket:127.0.0.1:", 0) == 0;
  });
  ASSERT_FALSE(handler_sockets.empty()) << listing(r.events);
  const std::string conn = handler_sockets.front().detail;
  EXPECT_EQ(kinds_of(r.events, conn), "read write close") << listing(r.events);
  EXPECT_EQ(kinds_of(r.events, p.traced.file("fetched.html")), "write close");

  const std::string http = socket_name(facts["http_port"]);
  if (curl.empty()) {
    // urllib fetched in-process, on the main thread.
    EXPECT_EQ(kinds_of(r.events, http).rfind("connect write read", 0), 0u) << listing(r.events);
  } else {
    // curl is a child too: its side of the exchange is in the log under its pid.
    const std::string curl_pid = facts["curl_pid"];
    const auto fetcher = select(logged, [&](const Event& e) { return std::to_string(e.pid) == curl_pid; });
    EXPECT_EQ(kinds_of(fetcher, http).rfind("connect write read", 0), 0u) << listing(logged);
    EXPECT_EQ(kinds_of(r.events, http), "") << "the listening socket is never named";
  }
  // Every socket the parent named is one of the ones above.
  for (const Event& e : r.events) {
    if (e.detail.rfind("socket:", 0) == 0) {
      EXPECT_TRUE(e.detail == echo || e.detail == accepted || e.detail == conn || e.detail == http)
          << e.detail;
    }
  }
}

// SQLite reads and writes its database and journal with pread64/pwrite64: the wide
// library sees both files read and written; the narrow one sees neither. The query
// result is the same either way.
TEST(Python, SqliteDatabaseIsSeenByTheWideLibraryOnly) {
  const std::string python = python3_path();
  ASSERT_FALSE(python.empty()) << "python3 is required";
  constexpr const char* kScript =
      "import sqlite3\n"
      "db = sqlite3.connect('app.db')\n"
      "db.execute('create table t (x integer)')\n"
      "db.executemany('insert into t values (?)', [(i,) for i in range(100)])\n"
      "db.commit()\n"
      "print(db.execute('select sum(x) from t').fetchone()[0])\n"
      "db.close()\n";
  Paired p = run_paired([](const std::string&) {}, [&](const std::string&) {
    RunOptions o;
    o.argv = {python, "-I", "-S", "-B", "-c", kScript};
    return o;
  });
  expect_same_behaviour(p);
  const RunResult& r = p.traced.result;
  EXPECT_EQ(r.out, "4950\n");
  expect_well_formed(r);
  const std::string db = p.traced.file("app.db");
  if (testing_wide_library()) {
    EXPECT_GT(count_events(r.events, "read", db), 0u) << listing(r.events);
    EXPECT_GT(count_events(r.events, "write", db), 0u) << listing(r.events);
    EXPECT_EQ(count_events(r.events, "close", db), 1u) << listing(r.events);
  } else {
    EXPECT_EQ(listing(under(r.events, p.traced.dir->path())), "");
  }
}

// The Python package's own tests (tests/python: its line parser against the codec's
// seeds, and the pytest plugin on suites run by pytester), under this library.
TEST(Python, PackageTestsPass) {
  const std::string python = python3_path();
  ASSERT_FALSE(python.empty()) << "python3 is required";
  TempDir dir;
  RunOptions o;
  o.argv = {python, "-m", "pytest", "-q", "-rs", "-p", "no:cacheprovider", "--basetemp=" + dir.file("basetemp"),
            VELMORA_PYTHON_TESTS_DIR};
  o.env = {{"PYTHONPATH", VELMORA_PYTHON_DIR}, {"PYTHONDONTWRITEBYTECODE", "1"}};
  o.unset_env = {"PYTEST_ADDOPTS", "PYTEST_PLUGINS"};
  o.sink = Sink::NONE;  // each capture hands the library its own pipe
  o.timeout_seconds = 300;
  const RunResult r = run(o);
  EXPECT_TRUE(r.ok()) << describe(r);
  // The xdist cases need Debian's python3-pytest-xdist; a skip is a gap, not a pass.
  EXPECT_EQ(r.out.find("skipped"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace velmora_test::programs
