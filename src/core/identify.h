// Identification of descriptors and the report of an access.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "owned_text.h"
#include "sockaddr_name.h"

namespace velmora_io {

// Makes sure FD_MAP holds a name for fd if one can be found: the peer stage (sockets
// with a peer), then the link stage (files). Negative descriptors are ignored; a
// failed attempt is retried at the next call, at the cost of one fstat when the
// descriptor can never be named (unnameable.h).
void ensure_fd_mapped(int32_t fd) noexcept;

// One event of `kind` for fd if FD_MAP names it, with its `outcome` (RECORD_ marks) when
// known. A guarded step: nothing while the thread's IN_HOOK is set.
void report_io(int32_t fd, std::string_view kind, uint8_t outcome = 0) noexcept;

// ensure_fd_mapped followed by report_io, with the same outcome, in one critical
// section when the descriptor is already named (the usual case): the table's lock is
// taken once per observed call instead of twice.
void observe_io(int32_t fd, std::string_view kind) noexcept;

// observe_io, except that a descriptor named as a socket ("socket:...") is named but not
// reported: true then, and the caller reports it after the real call.
bool observe_io_unless_socket(int32_t fd, std::string_view kind) noexcept;

// Names a socket address and records the name under fd (any number), replacing an
// earlier one; returns the name whether or not the table could record it. Called only
// from inside a guarded step.
std::optional<SocketName> record_sockaddr(int32_t fd, const sockaddr* addr, socklen_t len) noexcept;

// record_sockaddr, for a caller that needs no copy of the name: the name's room is
// taken only while it is recorded, not by the caller's frame.
void record_sockaddr_only(int32_t fd, const sockaddr* addr, socklen_t len) noexcept;

// The peer stage alone: the name of the socket's peer, or nothing.
std::optional<SocketName> peer_stage(int32_t fd) noexcept;

}  // namespace velmora_io
