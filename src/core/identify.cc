#include "identify.h"

#include <sys/socket.h>

#include <cstring>

#include "errno_saver.h"
#include "fd_map.h"
#include "link_name.h"
#include "raw_syscalls.h"
#include "reentrancy.h"
#include "sink.h"
#include "unnameable.h"

namespace velmora_io {

std::optional<SocketName> peer_stage(int32_t fd) noexcept {
  sockaddr_storage peer;
  std::memset(&peer, 0, sizeof(peer));
  socklen_t len = sizeof(peer);
  if (raw::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) return std::nullopt;
  return sockaddr_to_resource(reinterpret_cast<const sockaddr*>(&peer), len);
}

namespace {

// Naming runs in small steps, each out of line, so that the peer's name, the link's copy
// and the line never take stack room at the same time: a handler on a small signal
// stack may be the one naming.

[[gnu::noinline]] bool record_peer(int32_t fd, bool* has_peer) noexcept {
  const std::optional<SocketName> socket = peer_stage(fd);
  *has_peer = socket.has_value();
  return *has_peer && table_insert(fd, socket->view());
}

[[gnu::noinline]] bool record_link(int32_t fd) noexcept {
  TextCopy name;
  return link_stage(fd, &name) && table_insert(fd, name.view());
}

// Names a descriptor that has no entry, its peer else its link, and records the name.
// Called with the table unlocked, so the system calls never run under the lock.
bool name_and_record(int32_t fd) noexcept {
  if (still_unnameable(fd)) return false;  // a pipe seen before: one fstat, no naming
  bool has_peer = false;
  if (const bool recorded = record_peer(fd, &has_peer); has_peer) return recorded;
  if (record_link(fd)) return true;
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
  name_and_record(fd);
}

void report_io(int32_t fd, std::string_view kind, uint8_t outcome) noexcept {
  run_guarded([&] {
    TextCopy name;
    if (table_copy_name(fd, &name) != Lookup::FOUND) return;
    log_event(kind, name.view(), fd, outcome);
  });
}

namespace {

// The reporting half of observe: fd's event if the table names it (unless deferred).
[[gnu::noinline]] Lookup report_named(int32_t fd, std::string_view kind, bool defer_sockets,
                                      bool* deferred) noexcept {
  TextCopy name;
  const Lookup found = table_copy_name(fd, &name);
  if (found != Lookup::FOUND) return found;
  *deferred = defer_sockets && name.view().starts_with("socket:");
  if (!*deferred) log_event(kind, name.view(), fd);
  return found;
}

// Rare (a negative number, or inside a guarded step): the two steps as they are.
[[gnu::noinline, gnu::cold]] void observe_in_two_steps(int32_t fd, std::string_view kind) noexcept {
  ensure_fd_mapped(fd);
  report_io(fd, kind);
}

[[gnu::always_inline]] inline bool observe(int32_t fd, std::string_view kind, bool defer_sockets) noexcept {
  if (fd < 0 || IN_HOOK) {
    observe_in_two_steps(fd, kind);
    return false;
  }
  bool deferred = false;
  run_guarded([&] {
    ErrnoSaver caller_errno;
    // Usually named already: one lookup. Else reported only once recorded, by a second
    // lookup after the insert.
    if (report_named(fd, kind, defer_sockets, &deferred) != Lookup::ABSENT) return;
    if (name_and_record(fd)) report_named(fd, kind, defer_sockets, &deferred);
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

namespace velmora_io {

[[gnu::noinline]] void record_sockaddr_only(int32_t fd, const sockaddr* addr, socklen_t len) noexcept {
  record_sockaddr(fd, addr, len);
}

}  // namespace velmora_io
