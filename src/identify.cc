#include "identify.h"

#include <sys/socket.h>

#include <cstring>

#include "errno_saver.h"
#include "fd_map.h"
#include "link_name.h"
#include "reentrancy.h"
#include "sink.h"
#include "unnameable.h"

namespace velmora_io {

std::optional<SocketName> peer_stage(int32_t fd) noexcept {
  sockaddr_storage peer;
  std::memset(&peer, 0, sizeof(peer));
  socklen_t len = sizeof(peer);
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) return std::nullopt;
  return sockaddr_to_resource(reinterpret_cast<const sockaddr*>(&peer), len);
}

namespace {

// Names a descriptor that has no entry into *name: its peer, else its link. Called with
// the table unlocked, so the system calls never run under the lock.
bool identify(int32_t fd, TextCopy* name) noexcept {
  if (still_unnameable(fd)) return false;  // a pipe seen before: one fstat, no naming
  if (std::optional<SocketName> socket = peer_stage(fd)) return name->assign(socket->view());
  if (link_stage(fd, name)) return true;
  remember_if_unnameable(fd);
  return false;
}

}  // namespace

void ensure_fd_mapped(int32_t fd) noexcept {
  if (fd < 0) return;
  // The probes fail routinely (a file is no socket): the caller's errno stays its own,
  // so a program that checks errno after a successful call sees no difference.
  ErrnoSaver caller_errno;
  bool present = false;
  if (table_contains(fd, &present) != TableStatus::DONE || present) return;
  TextCopy name;
  if (identify(fd, &name)) table_insert(fd, name.view());
}

void report_io(int32_t fd, std::string_view kind) noexcept {
  run_guarded([&] {
    TextCopy name;
    if (table_copy_name(fd, &name) != Lookup::FOUND) return;
    log_event(kind, name.view(), fd);
  });
}

namespace {

bool observe(int32_t fd, std::string_view kind, bool defer_sockets) noexcept {
  if (fd < 0 || IN_HOOK) {  // rare: the two steps as they are
    ensure_fd_mapped(fd);
    report_io(fd, kind);
    return false;
  }
  bool deferred = false;
  run_guarded([&] {
    ErrnoSaver caller_errno;
    TextCopy name;
    switch (table_copy_name(fd, &name)) {
      case Lookup::FOUND:
        break;
      case Lookup::UNAVAILABLE:
        return;
      case Lookup::ABSENT: {
        // Reported only once recorded, as a lookup after the insert would find it.
        if (!identify(fd, &name) || !table_insert(fd, name.view())) return;
        break;
      }
    }
    deferred = defer_sockets && name.view().starts_with("socket:");
    if (!deferred) log_event(kind, name.view(), fd);
  });
  return deferred;
}

}  // namespace

void observe_io(int32_t fd, std::string_view kind) noexcept { observe(fd, kind, false); }

bool observe_io_unless_socket(int32_t fd, std::string_view kind) noexcept { return observe(fd, kind, true); }

std::optional<SocketName> record_sockaddr(int32_t fd, const sockaddr* addr, socklen_t len) noexcept {
  std::optional<SocketName> name = sockaddr_to_resource(addr, len);
  if (name) table_insert(fd, name->view());
  return name;
}

}  // namespace velmora_io
