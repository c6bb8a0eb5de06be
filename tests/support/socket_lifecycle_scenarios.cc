// socket_driver's descriptor lifecycle scenarios: close, dup and their failures, and a
// program that closes or overwrites the sink's descriptor.
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

#include "socket_scenarios.h"

namespace velmora_test {
namespace {

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


constexpr Scenario SCENARIOS[] = {
    {"lifecycle", 1, scenario_lifecycle},
    {"sink_closed", 2, scenario_sink_closed},
    {"dup_self", 1, scenario_dup_self},
};

}  // namespace

constinit const std::span<const Scenario> SOCKET_LIFECYCLE_SCENARIOS = SCENARIOS;

}  // namespace velmora_test
