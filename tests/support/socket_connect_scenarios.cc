// socket_driver's connection scenarios: how connect, accept, bind, socket pairs and
// datagram addresses name a socket, and what the address queries see.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
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

#include "socket_scenarios.h"

namespace velmora_test {
namespace {

// tcp 4|6: a blocking connect over loopback, one round trip, both ends closed.
int scenario_tcp(int, char** argv) {
  const int family = std::atoi(argv[2]) == 6 ? AF_INET6 : AF_INET;
  const auto [lis, port, client] = dial(family);
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
  // A closed descriptor: the destination is still recorded, and its write reported.
  fact("closed_sendto_errno", sendto(250, "4", 1, 0, reinterpret_cast<sockaddr*>(&to_a), len) < 0 ? errno : 0);
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


// servers: a listening socket accepts a client; two non-blocking connects to a port
// nobody listens on, one settled by getsockopt(SO_ERROR), one by a write that fails.
int scenario_servers(int, char**) {
  const auto [lis, port, client] = dial(AF_INET);
  const int server = accept4(lis, nullptr, nullptr, SOCK_CLOEXEC);
  const int gone = listener(AF_INET, SOCK_STREAM);
  const int dead_port = port_of(gone);
  close(gone);
  socklen_t len;
  sockaddr_storage dead = loopback(AF_INET, dead_port, &len);
  int nb[5];
  for (int& fd : nb) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&dead), len);
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, 5000);
  }
  int error = 0;
  socklen_t size = sizeof(error);
  getsockopt(nb[0], SOL_SOCKET, SO_ERROR, &error, &size);
  errno = 0;
  write(nb[1], "x", 1);
  fact("so_error", error);
  fact("write_errno", errno);
  // The refusal shows at the first receive just as well, whichever call it is.
  char byte;
  iovec one{&byte, 1};
  msghdr msg{};
  msg.msg_iov = &one;
  msg.msg_iovlen = 1;
  errno = 0;
  recv(nb[2], &byte, 1, 0);
  fact("recv_errno", errno);
  recvfrom(nb[3], &byte, 1, 0, nullptr, nullptr);
  fact("recvfrom_errno", errno);
  recvmsg(nb[4], &msg, 0);
  fact("recvmsg_errno", errno);
  for (auto [key, value] : {std::pair{"port", port}, {"client_port", port_of(client)}, {"dead_port", dead_port},
                            {"lis", lis}, {"gone", gone}, {"client", client}, {"server", server},
                            {"nb0", nb[0]}, {"nb1", nb[1]}, {"nb2", nb[2]}, {"nb3", nb[3]}, {"nb4", nb[4]}})
    fact(key, value);
  return 0;
}

// lookups: each name lookup function, on numeric names only (the machine's resolver is
// never asked), one of them a name no lookup accepts.
int scenario_lookups(int, char**) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (getaddrinfo("127.0.0.1", "5432", &hints, &found) != 0) fail("getaddrinfo");
  freeaddrinfo(found);
  if (getaddrinfo("::1", "443", &hints, &found) != 0) fail("getaddrinfo ::1");
  freeaddrinfo(found);
  if (getaddrinfo("a\tb\\c", nullptr, &hints, &found) == 0) fail("getaddrinfo accepted a bad name");
  if (gethostbyname("127.0.0.1") == nullptr) fail("gethostbyname");
  hostent entry, *result = nullptr;
  char room[1024];
  int error = 0;
  if (gethostbyname2_r("::1", AF_INET6, &entry, room, sizeof(room), &result, &error) != 0) fail("gethostbyname2_r");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(80);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  char host[64], service[16];
  if (getnameinfo(reinterpret_cast<sockaddr*>(&address), sizeof(address), host, sizeof(host), service,
                  sizeof(service), NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    fail("getnameinfo");
  return 0;
}

constexpr Scenario SCENARIOS[] = {
    {"lookups", 0, scenario_lookups},
    {"servers", 0, scenario_servers},
    {"tcp", 1, scenario_tcp},
    {"unix", 1, scenario_unix},
    {"pair", 0, scenario_pair},
    {"udp_connected", 0, scenario_udp_connected},
    {"datagrams", 0, scenario_datagrams},
    {"short_address", 0, scenario_short_address},
    {"queries", 1, scenario_queries},
    {"connect_outcomes", 0, scenario_connect_outcomes},
};

}  // namespace

constinit const std::span<const Scenario> SOCKET_CONNECT_SCENARIOS = SCENARIOS;

}  // namespace velmora_test
