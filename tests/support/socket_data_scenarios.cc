// socket_driver's data scenarios: zero-copy and batched transfers, memory the kernel
// refuses, and the stack an observed call takes inside a signal handler.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
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

// The C library's fortified forms, called directly: this driver is built unfortified.
extern "C" ssize_t __recv_chk(int, void*, size_t, size_t, int);
extern "C" ssize_t __recvfrom_chk(int, void*, size_t, size_t, int, sockaddr*, socklen_t*);

namespace velmora_test {
namespace {

// transfer FILE: a TCP loopback pair; the client sends FILE's first bytes with sendfile,
// then with splice through a pipe (file -> pipe -> socket); the server takes them in with
// recvmmsg, __recv_chk and __recvfrom_chk, answers with sendmmsg, and the client splices
// the answer into FILE (socket -> pipe -> file).
int scenario_transfer(int, char** argv) {
  const int file = open(argv[2], O_RDWR);
  if (file < 0) fail("open");
  const auto [lis, port, client] = dial(AF_INET);
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
// and address length, program starts given unreadable paths or arguments. Facts: each
// call's result, or -errno.
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
  // A pending connect's error asked for with room for less than an int, at a page's end.
  for (const socklen_t room : {0, 1}) {
    socklen_t len = room;
    const int tcp = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0), listening = listener(AF_INET, SOCK_STREAM);
    const sockaddr_storage to = loopback(AF_INET, port_of(listening), &len);
    connect(tcp, reinterpret_cast<const sockaddr*>(&to), len);
    len = room;
    fact("so_error_room" + std::to_string(room), outcome(getsockopt(tcp, SOL_SOCKET, SO_ERROR, none - room, &len)));
  }
  for (sockaddr* from : {static_cast<sockaddr*>(nullptr), reinterpret_cast<sockaddr*>(&header)}) {  // the length is read only with an address
    send(dg[0], "x", 1, 0);
    fact(from ? "recvfrom_length" : "recvfrom_no_address", outcome(recvfrom(dg[1], none - 1, 1, MSG_DONTWAIT, from, reinterpret_cast<socklen_t*>(none))));
  }
  // Program starts: an unreadable path, argument, argument list, or a list running on
  // into the unreadable page all fail with EFAULT (the kernel's answer), nothing run.
  char* const bad_arg[] = {none, nullptr};
  auto** edge = reinterpret_cast<char**>(none) - 1;
  *edge = const_cast<char*>("true");
  char* const* lists[] = {bad_arg, reinterpret_cast<char* const*>(none), edge};
  for (std::size_t i = 0; i < 3; ++i) fact("execv_list" + std::to_string(i), outcome(execv("/bin/true", lists[i])));
  fact("execve_path", outcome(execve(none, bad_arg + 1, nullptr)));
  pid_t child;
  fact("posix_spawn_path", posix_spawn(&child, none, nullptr, nullptr, bad_arg, nullptr));
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
    {"transfer", 1, scenario_transfer},
    {"unreadable", 1, scenario_unreadable},
    {"signal_stack", 1, scenario_signal_stack},
};

}  // namespace

constinit const std::span<const Scenario> SOCKET_DATA_SCENARIOS = SCENARIOS;

}  // namespace velmora_test
