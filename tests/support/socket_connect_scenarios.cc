// Scenario driver for sockets and descriptor lifecycle: run with the library preloaded.
//
//   socket_driver SCENARIO [ARGS...]
//
// Prints key=value facts (ports, descriptor numbers, errno values) on standard output.
// Every peer is on loopback or a Unix socket this program makes itself.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "scenario_main.h"

// The C library's fortified forms, called directly: this driver is built unfortified.
extern "C" ssize_t __recv_chk(int, void*, size_t, size_t, int);
extern "C" ssize_t __recvfrom_chk(int, void*, size_t, size_t, int, sockaddr*, socklen_t*);

namespace {

using velmora_test::fact;
using velmora_test::fail;
using velmora_test::Scenario;



int port_of(int fd) {
  sockaddr_storage ss{};
  socklen_t len = sizeof(ss);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) fail("getsockname");
  return ss.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in&>(ss).sin_port)
                                 : ntohs(reinterpret_cast<sockaddr_in6&>(ss).sin6_port);
}

sockaddr_storage loopback(int family, int port, socklen_t* len) {
  sockaddr_storage ss{};
  if (family == AF_INET) {
    auto& in = reinterpret_cast<sockaddr_in&>(ss);
    in.sin_family = AF_INET;
    in.sin_port = htons(static_cast<uint16_t>(port));
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    *len = sizeof(sockaddr_in);
  } else {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(ss);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(static_cast<uint16_t>(port));
    in6.sin6_addr = in6addr_loopback;
    *len = sizeof(sockaddr_in6);
  }
  return ss;
}

int listener(int family, int type) {
  const int fd = socket(family, type, 0);
  socklen_t len;
  sockaddr_storage ss = loopback(family, 0, &len);
  if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) fail("bind");
  if (type == SOCK_STREAM && listen(fd, 8) != 0) fail("listen");
  return fd;
}

// One round trip on an accepted pair: client writes, server reads and answers.
void round_trip(int client, int server) {
  char buf[16];
  if (write(client, "ping", 4) != 4) fail("write");
  if (read(server, buf, sizeof(buf)) != 4) fail("read");
  if (write(server, "pong", 4) != 4) fail("write");
  if (read(client, buf, sizeof(buf)) != 4) fail("read");
}

// tcp 4|6: a blocking connect over loopback, one round trip, both ends closed.
int scenario_tcp(int, char** argv) {
  const int family = std::atoi(argv[2]) == 6 ? AF_INET6 : AF_INET;
  const int lis = listener(family, SOCK_STREAM);
  const int port = port_of(lis);
  const int client = socket(family, SOCK_STREAM, 0);
  socklen_t len;
  sockaddr_storage to = loopback(family, port, &len);
  if (connect(client, reinterpret_cast<sockaddr*>(&to), len) != 0) fail("connect");
  const int server = accept(lis, nullptr, nullptr);
  round_trip(client, server);
  fact("port", port);
  fact("client_port", port_of(client));
  fact("client", client);
  fact("server", server);
  fact("listener", lis);
  close(client);
  close(server);
  close(lis);
  return 0;
}

// unix PATH|@NAME: a Unix stream socket with a path or an abstract name.
int scenario_unix(int, char** argv) {
  const std::string name = argv[2];
  sockaddr_un un{};
  un.sun_family = AF_UNIX;
  socklen_t len;
  if (name[0] == '@') {  // abstract: a leading zero byte, the name without terminator
    std::memcpy(un.sun_path + 1, name.data() + 1, name.size() - 1);
    len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
  } else {
    std::memcpy(un.sun_path, name.data(), name.size());
    len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
  }
  const int lis = socket(AF_UNIX, SOCK_STREAM, 0);
  if (bind(lis, reinterpret_cast<sockaddr*>(&un), len) != 0) fail("bind");
  listen(lis, 4);
  const int client = socket(AF_UNIX, SOCK_STREAM, 0);
  if (connect(client, reinterpret_cast<sockaddr*>(&un), len) != 0) fail("connect");
  const int server = accept(lis, nullptr, nullptr);
  round_trip(client, server);
  fact("client", client);
  fact("server", server);
  if (name[0] != '@') unlink(name.c_str());
  return 0;
}

// pair: either end of a socket pair is named by its unnamed peer.
int scenario_pair(int, char**) {
  int sv[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
  round_trip(sv[0], sv[1]);
  fact("a", sv[0]);
  fact("b", sv[1]);
  return 0;
}

// udp_connected: a datagram socket with a default destination; then an unconnected one
// that nothing can name, then the association dissolved with an AF_UNSPEC connect.
int scenario_udp_connected(int, char**) {
  const int server = listener(AF_INET, SOCK_DGRAM);
  const int port = port_of(server);
  const int client = socket(AF_INET, SOCK_DGRAM, 0);
  socklen_t len;
  sockaddr_storage to = loopback(AF_INET, port, &len);
  connect(client, reinterpret_cast<sockaddr*>(&to), len);
  write(client, "a", 1);
  const int loose = socket(AF_INET, SOCK_DGRAM, 0);
  write(loose, "b", 1);  // fails: no destination, and no name either
  sockaddr unspec{};
  unspec.sa_family = AF_UNSPEC;
  fact("unspec_result", connect(client, &unspec, sizeof(unspec)));
  write(client, "c", 1);  // the entry keeps the old name
  fact("port", port);
  fact("client", client);
  return 0;
}

// datagrams: recvfrom names the sender for later calls; sendto names each destination.
int scenario_datagrams(int, char**) {
  const int a = listener(AF_INET, SOCK_DGRAM), b = listener(AF_INET, SOCK_DGRAM);
  const int sender = listener(AF_INET, SOCK_DGRAM);
  socklen_t len;
  sockaddr_storage to_a = loopback(AF_INET, port_of(a), &len);
  sockaddr_storage to_b = loopback(AF_INET, port_of(b), &len);
  sendto(sender, "1", 1, 0, reinterpret_cast<sockaddr*>(&to_a), len);
  sendto(sender, "2", 1, 0, reinterpret_cast<sockaddr*>(&to_b), len);
  sendto(sender, "3", 1, 0, reinterpret_cast<sockaddr*>(&to_a), len);
  char buf[8];
  sockaddr_storage from;
  socklen_t from_len = sizeof(from);
  recvfrom(a, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &from_len);  // unnamed yet
  from_len = sizeof(from);
  recvfrom(a, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &from_len);  // named now
  // A null address records nothing; a failed call keeps the real errno.
  recvfrom(b, buf, sizeof(buf), 0, nullptr, nullptr);
  errno = 0;
  from_len = sizeof(from);
  const ssize_t bad = recvfrom(b, buf, sizeof(buf), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &from_len);
  fact("failed_result", bad);
  fact("failed_errno", errno);
  fact("a", a);
  fact("b", b);
  fact("sender", sender);
  fact("sender_port", port_of(sender));
  fact("port_a", port_of(a));
  fact("port_b", port_of(b));
  return 0;
}

// short_address: an IPv6 sender's address cut down to a 16-byte buffer names nothing.
int scenario_short_address(int, char**) {
  const int server = listener(AF_INET6, SOCK_DGRAM);
  const int client = listener(AF_INET6, SOCK_DGRAM);
  socklen_t len;
  sockaddr_storage to = loopback(AF_INET6, port_of(server), &len);
  sendto(client, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), len);
  sendto(client, "y", 1, 0, reinterpret_cast<sockaddr*>(&to), len);
  char buf[8];
  sockaddr_in small{};
  socklen_t small_len = sizeof(small);
  recvfrom(server, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&small), &small_len);
  fact("returned_len", small_len);
  small_len = sizeof(small);
  recvfrom(server, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&small), &small_len);
  fact("server", server);
  return 0;
}

std::string pg_message(char type, const std::string& body) {
  std::string m(1, type);
  const uint32_t len = htonl(static_cast<uint32_t>(body.size() + 4));
  m.append(reinterpret_cast<const char*>(&len), 4);
  return m + body;
}

// queries: PostgreSQL Query/Parse bytes through each sending call.
int scenario_queries(int, char** argv) {
  int sv[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
  const std::string query = pg_message('Q', std::string("SELECT 1\0", 9));
  const std::string parse = pg_message('P', std::string("s1\0SELECT $1\0\0\1\0\0\0\x17", 19));
  const std::string sync = pg_message('S', "");
  send(sv[0], query.data(), query.size(), 0);                  // sql_write SELECT 1
  send(sv[0], (parse + sync).data(), parse.size() + sync.size(), 0);  // sql_write SELECT $1
  send(sv[0], (sync + query).data(), sync.size() + query.size(), 0);  // write: Sync first
  send(sv[0], query.data(), 4, 0);                             // write: cut short
  send(sv[0], nullptr, 0, 0);                                  // write
  sendto(sv[0], query.data(), query.size(), 0, nullptr, 0);   // write: only send looks
  iovec iov{const_cast<char*>(query.data()), query.size()};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  sendmsg(sv[0], &msg, 0);                                     // write
  // Plain writes: of the query to the socket, of the Parse spread over three buffers
  // with the Sync after it, and of the query to a file and to a pipe.
  write(sv[0], query.data(), query.size());
  const std::string parse_sync = parse + sync;
  iovec spread[3] = {{const_cast<char*>(parse_sync.data()), 3},
                     {const_cast<char*>(parse_sync.data()) + 3, 9},
                     {const_cast<char*>(parse_sync.data()) + 12, parse_sync.size() - 12}};
  writev(sv[0], spread, 3);
  const int file = open((std::string(argv[2]) + "/q").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  write(file, query.data(), query.size());
  int p[2];
  if (pipe(p) != 0) fail("pipe");
  write(p[1], query.data(), query.size());
  char buf[256];
  recv(sv[1], buf, sizeof(buf), MSG_DONTWAIT);                 // read
  iovec in{buf, sizeof(buf)};
  msghdr rmsg{};
  rmsg.msg_iov = &in;
  rmsg.msg_iovlen = 1;
  recvmsg(sv[1], &rmsg, MSG_DONTWAIT);                         // read
  // A descriptor that cannot be named, even a bad one, still reports its query.
  errno = 0;
  const ssize_t bad = send(-1, query.data(), query.size(), 0);
  fact("bad_result", bad);
  fact("bad_errno", errno);
  fact("a", sv[0]);
  fact("b", sv[1]);
  fact("file", file);
  return 0;
}

// connect_outcomes: non-blocking (in progress), refused, and the real errno kept.
int scenario_connect_outcomes(int, char**) {
  const int lis = listener(AF_INET, SOCK_STREAM);
  const int port = port_of(lis);
  const int nb = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  socklen_t len;
  sockaddr_storage to = loopback(AF_INET, port, &len);
  errno = 0;
  const int r = connect(nb, reinterpret_cast<sockaddr*>(&to), len);
  fact("nb_result", r);
  fact("nb_errno", r == 0 ? 0 : errno);
  pollfd p{nb, POLLOUT, 0};
  poll(&p, 1, 5000);
  write(nb, "x", 1);
  // A port nobody listens on: closed right after binding it.
  const int gone = listener(AF_INET, SOCK_STREAM);
  const int dead_port = port_of(gone);
  close(gone);
  const int refused = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_storage dead = loopback(AF_INET, dead_port, &len);
  errno = 0;
  fact("refused_result", connect(refused, reinterpret_cast<sockaddr*>(&dead), len));
  fact("refused_errno", errno);
  fact("port", port);
  fact("dead_port", dead_port);
  fact("nb", nb);
  fact("refused", refused);
  return 0;
}

int open_file(const char* path) { return open(path, O_RDWR | O_CREAT | O_TRUNC, 0644); }

// lifecycle DIR: close twice, reuse after close and after dup2, dup2 onto itself, onto
// 1, failed dup2/dup3, a dup made by fcntl.
int scenario_lifecycle(int, char** argv) {
  const std::string dir = argv[2];
  const int a = open_file((dir + "/a").c_str());
  write(a, "a", 1);
  fact("close1", close(a));
  errno = 0;
  fact("close2", close(a));
  fact("close2_errno", errno);
  const int b = open_file((dir + "/b").c_str());  // reuses a's number
  write(b, "b", 1);
  const int c = open_file((dir + "/c").c_str());
  write(c, "c", 1);
  fact("dup2_result", dup2(c, b));  // b's entry goes; the number now refers to c
  write(b, "c", 1);
  fact("self_result", dup2(c, c));
  write(c, "c", 1);
  const int saved_out = dup(1);
  dup2(c, 1);
  dup2(saved_out, 1);
  errno = 0;
  fact("bad_dup2", dup2(12345, c));
  fact("bad_dup2_errno", errno);
  errno = 0;
  fact("bad_dup3", dup3(c, c, 0));
  fact("bad_dup3_errno", errno);
  write(c, "c", 1);  // the failed calls removed nothing
  const int d = fcntl(c, F_DUPFD, 50);
  write(d, "d", 1);
  close(0);
  fact("a", a);
  fact("b", b);
  fact("c", c);
  fact("d", d);
  return 0;
}

// sink_closed DIR HOW: the program closes (or overwrites) the sink's descriptor and the
// number comes back as one of its own objects, which must receive only its own bytes.
// HOW is close, dup2, close_range (behind the library's back, after the first event on
// an already named descriptor) or socketpair (closed before the first event, then a
// socket whose peer the program reads).
int scenario_sink_closed(int, char** argv) {
  const std::string dir = argv[2];
  const std::string how = argv[3];
  const int sink = std::atoi(std::getenv("VELMORA_IO_FD"));
  int peer = -1;
  if (how == "socketpair") {
    close(sink);  // the first call of the library: no event yet
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) fail("socketpair");
    if (fcntl(sv[0], F_DUPFD, sink) != sink) fail("F_DUPFD");
    peer = sv[1];
  }
  const int f = open_file((dir + "/first").c_str());
  write(f, "1", 1);  // settles the sink
  if (how == "close_range") {
    close_range(sink, sink, 0);  // invisible to the library
  } else if (how == "close") {
    close(sink);
  }
  if (how != "socketpair") {
    const int victim = open_file((dir + "/victim").c_str());
    if (how == "dup2") {
      if (dup2(victim, sink) != sink) fail("dup2");
    } else if (fcntl(victim, F_DUPFD, sink) != sink) {
      fail("F_DUPFD");
    }
  }
  write(f, "2", 1);       // an event on a named descriptor: must not land there
  write(sink, "own", 3);  // the program's own data at that number
  close(f);
  if (peer >= 0) {
    char buf[4096];
    ssize_t n = recv(peer, buf, sizeof(buf), MSG_DONTWAIT);
    fact("peer_bytes", n);
  }
  return 0;
}

// dup_self DIR: dup2 of a descriptor onto itself keeps its name, for a datagram socket
// named only by sendto and for an unlinked file, neither of which could be named again.
int scenario_dup_self(int, char** argv) {
  const std::string dir = argv[2];
  const int port = 40100;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sendto(udp, "a", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
  if (dup2(udp, udp) != udp) fail("dup2");
  msghdr msg{};
  iovec one{const_cast<char*>("b"), 1};
  msg.msg_name = &to;
  msg.msg_namelen = sizeof(to);
  msg.msg_iov = &one;
  msg.msg_iovlen = 1;
  sendmsg(udp, &msg, 0);  // reported under the name the table holds
  const std::string path = dir + "/gone";
  const int file = open_file(path.c_str());
  write(file, "1", 1);
  unlink(path.c_str());
  if (dup2(file, file) != file) fail("dup2");
  write(file, "2", 1);
  close(file);
  close(udp);
  fact("udp", udp);
  fact("file", file);
  fact("port", port);
  return 0;
}

// transfer FILE: a TCP loopback pair; the client sends FILE's first bytes with sendfile,
// then with splice through a pipe (file -> pipe -> socket); the server takes them in with
// recvmmsg, __recv_chk and __recvfrom_chk, answers with sendmmsg, and the client splices
// the answer into FILE (socket -> pipe -> file).
int scenario_transfer(int, char** argv) {
  const int file = open(argv[2], O_RDWR);
  if (file < 0) fail("open");
  const int lis = listener(AF_INET, SOCK_STREAM);
  const int port = port_of(lis);
  const int client = socket(AF_INET, SOCK_STREAM, 0);
  socklen_t len;
  sockaddr_storage to = loopback(AF_INET, port, &len);
  if (connect(client, reinterpret_cast<sockaddr*>(&to), len) != 0) fail("connect");
  const int server = accept(lis, nullptr, nullptr);
  int p[2];
  if (pipe(p) != 0) fail("pipe");
  off_t at = 0;
  if (sendfile(client, file, &at, 4) != 4) fail("sendfile");
  loff_t from = 4;
  if (splice(file, &from, p[1], nullptr, 4, 0) != 4) fail("splice in");
  if (splice(p[0], nullptr, client, nullptr, 4, 0) != 4) fail("splice out");
  char buf[16];
  iovec iov{buf, 4};
  mmsghdr msg{};
  msg.msg_hdr.msg_iov = &iov;
  msg.msg_hdr.msg_iovlen = 1;
  if (recvmmsg(server, &msg, 1, MSG_WAITALL, nullptr) != 1) fail("recvmmsg");
  if (__recv_chk(server, buf, 2, sizeof(buf), MSG_WAITALL) != 2) fail("__recv_chk");
  if (__recvfrom_chk(server, buf, 2, sizeof(buf), MSG_WAITALL, nullptr, nullptr) != 2) fail("__recvfrom_chk");
  iov = {const_cast<char*>("pong"), 4};
  if (sendmmsg(server, &msg, 1, 0) != 1) fail("sendmmsg");
  if (splice(client, nullptr, p[1], nullptr, 4, 0) != 4) fail("splice back");
  from = 0;
  if (splice(p[0], nullptr, file, &from, 4, 0) != 4) fail("splice to file");
  fact("port", port);
  fact("client_port", port_of(client));
  fact("client", client);
  fact("server", server);
  fact("file", file);
  return 0;
}

// unreadable DIR: writes given memory the kernel refuses (an unreadable page; a Query
// header whose body lies on one) on a file and a socket, an unreadable datagram address
// and address length. Facts: each call's result, or -errno.
int scenario_unreadable(int, char** argv) {
  auto* none = static_cast<char*>(mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) + 4096;
  iovec header{std::memcpy(none - 5, "Q\0\0\0\x20", 5), 32};
  const msghdr msg{nullptr, 0, &header, 1, nullptr, 0, 0};
  auto outcome = [](ssize_t r) { return r >= 0 ? static_cast<long long>(r) : -static_cast<long long>(errno); };
  int sv[2], dg[2];
  if (mprotect(none, 4096, PROT_NONE) != 0 || socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0 || socketpair(AF_UNIX, SOCK_DGRAM, 0, dg) != 0) fail("setup");
  for (const int fd : {open((std::string(argv[2]) + "/out").c_str(), O_WRONLY | O_CREAT, 0644), sv[0]}) {
    for (const bool body : {false, true}) {
      const std::string key = (fd == sv[0] ? "socket" : "file") + std::string(body ? "_header_" : "_");
      char* const buf = body ? static_cast<char*>(header.iov_base) : none;
      fact(key + "write", outcome(write(fd, buf, 32)));
      fact(key + "writev", outcome(writev(fd, body ? &header : reinterpret_cast<iovec*>(none), 1)));
      if (fd != sv[0]) continue;
      fact(key + "send", outcome(send(fd, buf, 32, 0)));
      fact(key + "sendto", outcome(sendto(fd, buf, 32, 0, nullptr, 0)));
      fact(key + "sendmsg", outcome(sendmsg(fd, body ? &msg : reinterpret_cast<msghdr*>(none), 0)));
    }
  }
  fact("sendto_address", outcome(sendto(dg[0], "x", 1, 0, reinterpret_cast<sockaddr*>(none), 16)));
  for (sockaddr* from : {static_cast<sockaddr*>(nullptr), reinterpret_cast<sockaddr*>(&header)}) {  // the length is read only with an address
    send(dg[0], "x", 1, 0);
    fact(from ? "recvfrom_length" : "recvfrom_no_address", outcome(recvfrom(dg[1], none - 1, 1, MSG_DONTWAIT, from, reinterpret_cast<socklen_t*>(none))));
  }
  return 0;
}

// signal_stack DIR: the bytes of an alternate signal stack (painted, read back) that a
// handler uses for the process's first observed call (nothing observed runs before it),
// naming a file, a long name (a long line), an addressed datagram, a close of 64 names.
std::string g_names[2];
int g_call;

int scenario_signal_stack(int, char** argv) {
  constexpr int SIZE = 1 << 16;
  auto* stack = reinterpret_cast<unsigned char*>(syscall(SYS_mmap, nullptr, SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  const stack_t ss{stack, 0, SIZE};
  struct sigaction sa {};
  sa.sa_handler = [](int) {
    const sockaddr_in to{AF_INET, htons(9), {htonl(INADDR_LOOPBACK)}, {}};
    if (g_call == 3) sendto(200, "x", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    if (g_call == 4) close_range(201, 264, 0);
    const int fd = g_call < 3 ? open(g_names[g_call == 2].c_str(), O_WRONLY | O_CREAT, 0644) : -1;
    if (fd >= 0 && write(fd, "x", 1) == 1) close(fd);
  };
  sa.sa_flags = SA_ONSTACK;
  g_names[0] = std::string(argv[2]) + "/f";
  g_names[1] = std::string(argv[2]) + "/" + std::string(250, 'n');  // a name over 256 bytes
  if (sigaltstack(&ss, nullptr) != 0 || sigaction(SIGUSR2, &sa, nullptr) != 0 ||
      syscall(SYS_dup2, syscall(SYS_socket, AF_INET, SOCK_DGRAM, 0), 200) != 200)
    fail("setup");
  for (const char* path : {"first", "naming", "long_line", "sendto", "close_many"}) {
    for (int fd = 201; g_call == 4 && fd <= 264; ++fd) write(dup2(open(g_names[0].c_str(), O_WRONLY), fd), "x", 1);  // named
    std::memset(stack, 0xA5, SIZE);
    raise(SIGUSR2);
    fact(path, SIZE - (std::find_if(stack, stack + SIZE, [](unsigned char b) { return b != 0xA5; }) - stack));
    ++g_call;
  }
  return 0;
}

constexpr Scenario SCENARIOS[] = {
    {"tcp", 1, scenario_tcp},
    {"unix", 1, scenario_unix},
    {"pair", 0, scenario_pair},
    {"udp_connected", 0, scenario_udp_connected},
    {"datagrams", 0, scenario_datagrams},
    {"short_address", 0, scenario_short_address},
    {"queries", 1, scenario_queries},
    {"connect_outcomes", 0, scenario_connect_outcomes},
    {"lifecycle", 1, scenario_lifecycle},
    {"sink_closed", 2, scenario_sink_closed},
    {"dup_self", 1, scenario_dup_self},
    {"transfer", 1, scenario_transfer},
    {"unreadable", 1, scenario_unreadable},
    {"signal_stack", 1, scenario_signal_stack},
};

}  // namespace

int main(int argc, char** argv) { return velmora_test::run_scenario(argc, argv, {SCENARIOS}); }
