// socket_driver's scenario families, one file each, and the loopback helpers they share;
// socket_driver.cc dispatches over them all. A new scenario goes into the file of its
// kind and its table there.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <span>

#include "scenario_main.h"

namespace velmora_test {

extern const std::span<const Scenario> SOCKET_CONNECT_SCENARIOS;      // socket_connect_scenarios.cc
extern const std::span<const Scenario> SOCKET_LIFECYCLE_SCENARIOS;    // socket_lifecycle_scenarios.cc
extern const std::span<const Scenario> SOCKET_DATA_SCENARIOS;         // socket_data_scenarios.cc

inline int port_of(int fd) {
  sockaddr_storage ss{};
  socklen_t len = sizeof(ss);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) fail("getsockname");
  return ss.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in&>(ss).sin_port)
                                 : ntohs(reinterpret_cast<sockaddr_in6&>(ss).sin6_port);
}

inline sockaddr_storage loopback(int family, int port, socklen_t* len) {
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

inline int listener(int family, int type) {
  const int fd = socket(family, type, 0);
  socklen_t len;
  sockaddr_storage ss = loopback(family, 0, &len);
  if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) fail("bind");
  if (type == SOCK_STREAM && listen(fd, 8) != 0) fail("listen");
  return fd;
}

// A client connected over loopback to a fresh TCP listener; the accept is the
// scenario's own, as the call it makes is part of what it tests.
struct Dialed {
  int listener;
  int port;
  int client;
};
inline Dialed dial(int family) {
  const int lis = listener(family, SOCK_STREAM);
  const int port = port_of(lis);
  const int client = socket(family, SOCK_STREAM, 0);
  socklen_t len;
  sockaddr_storage to = loopback(family, port, &len);
  if (connect(client, reinterpret_cast<sockaddr*>(&to), len) != 0) fail("connect");
  return {lis, port, client};
}

// One round trip on an accepted pair: client writes, server reads and answers.
inline void round_trip(int client, int server) {
  char buf[16];
  if (write(client, "ping", 4) != 4) fail("write");
  if (read(server, buf, sizeof(buf)) != 4) fail("read");
  if (write(server, "pong", 4) != 4) fail("write");
  if (read(client, buf, sizeof(buf)) != 4) fail("read");
}

}  // namespace velmora_test
