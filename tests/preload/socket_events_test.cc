// Sockets named by their peer or by the address a call gave or returned, and the
// socket data calls reported (with PostgreSQL query text for send).
#include <gtest/gtest.h>

#include "preload_run.h"

namespace velmora_test {
namespace {

struct Line {
  std::string kind, detail, fd;
  bool operator==(const Line&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Line& l) { return os << l.kind << " " << l.detail << " " << l.fd; }

RunResult drive(std::vector<std::string> args, std::string cwd = {}) {
  RunOptions o;
  o.argv = {socket_driver_path()};
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  o.cwd = std::move(cwd);
  RunResult r = run(o);
  EXPECT_TRUE(r.ok()) << r.err;
  EXPECT_EQ(r.malformed, 0u);
  // Every line carries this process and its main thread.
  for (const Event& e : r.events) EXPECT_EQ(e.pid, e.tid);
  return r;
}

std::vector<Line> lines(const RunResult& r) {
  std::vector<Line> out;
  for (const Event& e : r.events) {
    if (e.kind != "load") out.push_back({e.kind, e.detail, std::to_string(e.fd)});  // the program's libraries
  }
  return out;
}

TEST(SocketEvents, TcpOverIpv4AndIpv6IsNamedFromEachSide) {
  for (const char* family : {"4", "6"}) {
    RunResult r = drive({"tcp", family});
    auto f = r.facts();
    const std::string host = std::string(family) == "4" ? "socket:127.0.0.1:" : "socket:[0000:0000:0000:0000:0000:0000:0000:0001]:";
    const std::string server_name = host + f["port"], client_name = host + f["client_port"];
    // The listener is never named: it is not connected to anything.
    EXPECT_EQ(lines(r), (std::vector<Line>{
                            {"connect", server_name, f["client"]},
                            {"write", server_name, f["client"]},
                            {"read", client_name, f["server"]},
                            {"write", client_name, f["server"]},
                            {"read", server_name, f["client"]},
                            {"close", server_name, f["client"]},
                            {"close", client_name, f["server"]},
                        }));
  }
}

TEST(SocketEvents, UnixSocketsByPathAbstractNameAndPair) {
  TempDir dir;
  RunResult r = drive({"unix", dir.file("app.sock")});
  auto f = r.facts();
  EXPECT_EQ(r.with_detail("socket:unix:" + dir.file("app.sock")).size(), 3u);  // connect, write, read
  // The accepting end's peer is the client, which never bound a name.
  EXPECT_EQ(r.with_detail("socket:unix:").size(), 2u);

  r = drive({"unix", "@velmora-test-abstract"});
  EXPECT_EQ(r.with_detail("socket:unix:abstract:velmora-test-abstract").size(), 3u);

  r = drive({"pair"});
  EXPECT_EQ(r.with_detail("socket:unix:").size(), 4u);
}

// The wide library names what each lookup asked for, as a socket is named; a text no
// lookup accepts is escaped as a Unix socket's path is.
TEST(SocketEvents, NameLookupsAreResolveEventsInTheWideLibrary) {
  const std::vector<Line> wide = {{"resolve", "socket:127.0.0.1:5432", "-1"}, {"resolve", "socket:[::1]:443", "-1"},
                                  {"resolve", "socket:a\\x09b\\\\c", "-1"}, {"resolve", "socket:127.0.0.1", "-1"},
                                  {"resolve", "socket:[::1]", "-1"},       {"resolve", "socket:127.0.0.1:80", "-1"}};
  RunOptions o;
  o.argv = {socket_driver_path(), "lookups"};
  o.every_kind = true;
  EXPECT_EQ(lines(run(o)), testing_wide_library() ? wide : std::vector<Line>{});
}

TEST(SocketEvents, ConnectedDatagramSocketKeepsItsNameAfterTheAssociationIsDissolved) {
  RunResult r = drive({"udp_connected"});
  auto f = r.facts();
  const std::string name = "socket:127.0.0.1:" + f["port"];
  EXPECT_EQ(f["unspec_result"], "0");
  // The unconnected socket's write has no name and so no event; the AF_UNSPEC connect
  // names nothing, so it reports nothing and keeps the old entry.
  EXPECT_EQ(lines(r), (std::vector<Line>{{"connect", name, f["client"]},
                                         {"write", name, f["client"]},
                                         {"write", name, f["client"]}}));
}

TEST(SocketData, RecvfromNamesTheSenderForLaterCallsAndSendtoEachDestination) {
  RunResult r = drive({"datagrams"});
  auto f = r.facts();
  const std::string a = "socket:127.0.0.1:" + f["port_a"], b = "socket:127.0.0.1:" + f["port_b"];
  // The first recvfrom on a finds no name; it records the sender, which the second reports.
  EXPECT_EQ(lines(r), (std::vector<Line>{{"write", a, f["sender"]},
                                         {"write", b, f["sender"]},
                                         {"write", a, f["sender"]},
                                         {"write", a, "250"},
                                         {"read", "socket:127.0.0.1:" + f["sender_port"], f["a"]}}));
  EXPECT_EQ(f["closed_sendto_errno"], std::to_string(EBADF));
  EXPECT_EQ(f["failed_result"], "-1");
  EXPECT_EQ(f["failed_errno"], std::to_string(EAGAIN));
}

TEST(SocketData, SenderAddressCutShortByTheCallersBufferNamesNothing) {
  RunResult r = drive({"short_address"});
  EXPECT_EQ(r.facts()["returned_len"], "28");  // the kernel reports the full length
  EXPECT_TRUE(r.of_kind("read").empty()) << r.raw;
}

// The narrow library looks for queries in send only. The wide one looks in every write
// to a descriptor named as a socket (write, writev with the message spread over
// buffers, sendmsg, sendto), never in writes to files or pipes.
TEST(SocketData, QueriesAreReportedOnlyAtTheStartOfASocketWrite) {
  TempDir dir;
  RunResult r = drive({"queries", dir.path()});
  auto f = r.facts();
  const std::string a = f["a"], b = f["b"];
  const bool wide = testing_wide_library();
  const Line plain{"write", "socket:unix:", a};
  EXPECT_EQ(lines(r), (std::vector<Line>{
                          {"sql_write", "SELECT 1", a},
                          {"sql_write", "SELECT $1", a},
                          plain,                                             // Sync first, query after
                          plain,                                             // query cut short
                          plain,                                             // null buffer
                          wide ? Line{"sql_write", "SELECT 1", a} : plain,   // sendto
                          wide ? Line{"sql_write", "SELECT 1", a} : plain,   // sendmsg
                          wide ? Line{"sql_write", "SELECT 1", a} : plain,   // write
                          wide ? Line{"sql_write", "SELECT $1", a} : plain,  // writev, spread
                          {"write", "file:" + dir.file("q"), f["file"]},     // never a file's
                          {"read", "socket:unix:", b},                       // recv
                          {"read", "socket:unix:", b},                       // recvmsg
                      }));  // a failed send reports no query
  EXPECT_EQ(f["bad_result"], "-1");
  EXPECT_EQ(f["bad_errno"], std::to_string(EBADF));
}

// Memory the kernel refuses is never touched: each call fails (or writes the readable
// part) as without the library, none reports a query, each write has its event; an
// exec is not reported from memory it cannot read.
TEST(SocketData, UnreadableMemoryIsLeftToTheKernel) {
  TempDir dir;
  RunOptions plain;
  plain.argv = {socket_driver_path(), "unreadable", dir.path()};
  plain.preload = false;
  RunResult r = drive({"unreadable", dir.path()});
  EXPECT_EQ(r.facts(), run(plain).facts());
  EXPECT_TRUE(r.of_kind("sql_write").empty());
  EXPECT_EQ(r.of_kind("write").size(), 17u);  // the file's 4, the socket's 10, the datagrams' 3
}

// Data moved between a file and a socket inside the kernel, and the batched and
// fortified socket calls: the wide library reports the file's read (or write) and the
// socket's write (or read) of each; pipes are unnamed and stay silent. The narrow
// library sees the connect alone.
TEST(SocketEvents, ZeroCopyBatchedAndFortifiedCallsUnderEachLibrary) {
  TempDir dir;
  write_file(dir.file("data"), "abcdefgh");
  RunResult r = drive({"transfer", dir.file("data")});
  auto f = r.facts();
  const std::string file = "file:" + dir.file("data");
  const std::string server = "socket:127.0.0.1:" + f["port"], client = "socket:127.0.0.1:" + f["client_port"];
  std::vector<Line> want = {{"connect", server, f["client"]}};
  if (testing_wide_library()) {
    want.insert(want.end(), {
                                {"read", file, f["file"]}, {"write", server, f["client"]},  // sendfile
                                {"read", file, f["file"]},                                  // splice into the pipe
                                {"write", server, f["client"]},                             // splice out of it
                                {"read", client, f["server"]},                              // recvmmsg
                                {"read", client, f["server"]},                              // __recv_chk
                                {"read", client, f["server"]},                              // __recvfrom_chk
                                {"write", client, f["server"]},                             // sendmmsg
                                {"read", server, f["client"]},                              // splice back
                                {"write", file, f["file"]},
                            });
  }
  EXPECT_EQ(lines(r), want);
  EXPECT_EQ(read_file(dir.file("data")), "pongefgh");
}


// A server's socket: bound and listening under its local address, each accepted
// descriptor named by its peer and tied to the listening address; a non-blocking
// connect that fails says so once, through getsockopt or through the first write.
TEST(SocketEvents, ServerSocketsAndFailedConnects) {
  RunOptions o;
  o.argv = {socket_driver_path(), "servers"};
  o.every_kind = true;
  RunResult r = run(o);
  ASSERT_TRUE(r.ok()) << r.err;
  auto f = r.facts();
  EXPECT_EQ(f["so_error"], std::to_string(ECONNREFUSED));
  EXPECT_EQ(f["write_errno"], std::to_string(ECONNREFUSED));
  for (const char* call : {"recv_errno", "recvfrom_errno", "recvmsg_errno"}) EXPECT_EQ(f[call], f["write_errno"]);
  const std::string at = "socket:127.0.0.1:", lis = at + f["port"], dead = at + f["dead_port"];
  const std::vector<Line> wide = {
      {"bind", lis, f["lis"]},       {"listen", lis, f["lis"]},
      {"connect", lis, f["client"]}, {"accept", at + f["client_port"], f["server"]},
      {"accept_local", lis, f["server"]}, {"bind", dead, f["gone"]},
      {"listen", dead, f["gone"]},   {"connect", dead, f["nb0"]},
      {"connect", dead, f["nb1"]},   {"connect", dead, f["nb2"]},   {"connect", dead, f["nb3"]},
      {"connect", dead, f["nb4"]},   {"connect_failed", dead, f["nb0"]},
      {"write", dead, f["nb1"]},     {"connect_failed", dead, f["nb1"]},
      {"read", dead, f["nb2"]},      {"connect_failed", dead, f["nb2"]},
      {"read", dead, f["nb3"]},      {"connect_failed", dead, f["nb3"]},
      {"read", dead, f["nb4"]},      {"connect_failed", dead, f["nb4"]}};
  const std::vector<Line> narrow = {{"connect", lis, f["client"]}, {"connect", dead, f["nb0"]},
                                    {"connect", dead, f["nb1"]},   {"connect", dead, f["nb2"]},
                                    {"connect", dead, f["nb3"]},   {"connect", dead, f["nb4"]},
                                    {"write", dead, f["nb1"]},     {"read", dead, f["nb2"]},
                                    {"read", dead, f["nb3"]},      {"read", dead, f["nb4"]}};
  EXPECT_EQ(lines(r), testing_wide_library() ? wide : narrow);
}

}  // namespace
}  // namespace velmora_test
