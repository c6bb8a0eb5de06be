// Query and Parse messages that one socket's writes send in pieces (wide library). A
// client library sends a long query as its buffer fills (8 KiB, then the rest), so the
// message's first write holds only its start. Such a message is gathered from the
// writes that follow on that socket and reported once, as "sql_write", when its last
// byte has been accepted: whole, or, past MAX_KEPT bytes, the text those bytes hold
// followed by a line that gives the message's declared size. Each piece before the last
// is a "write" as any write is.
//
// Gathered in private pages (never the heap), at most SLOTS messages at a time: the
// oldest gives way to a new one. A slot is the socket's by its number and identity
// (fstat, asked only of a socket with a message under way), so a number closed and
// reused meanwhile starts afresh. A write from another thread while a slot is updated
// is a plain write, and the message then ends unreported.
#pragma once

#include <cstddef>

#include "outgoing_sql.h"

namespace velmora_io::linux_intercept {

inline constexpr std::size_t MAX_KEPT = std::size_t{4} << 20;

// After a write on fd that the kernel took `sent` (> 0) bytes of: true when they were
// a piece of a message sent in pieces (its first, a middle one or its last), and the
// write has been reported.
bool report_piece(int fd, SentBytes bytes, std::size_t sent) noexcept;

}  // namespace velmora_io::linux_intercept
