// The query text of a PostgreSQL frontend Query ('Q') or Parse ('P') message that
// begins a buffer handed to send(), and the gathering of such a message when a vector
// call (writev, sendmsg) spreads it over several buffers.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <optional>
#include <string_view>

namespace velmora_io::sql_extract {

// A view into `bytes` holding well-formed UTF-8, or nothing when the buffer does not
// begin with one complete Query or Parse message. Reads no byte at or past `count`;
// no allocation, no system call, errno untouched.
std::optional<std::string_view> extract_pg_query(const void* bytes, std::size_t count) noexcept;

// The size a Query or Parse header at the start of `iov[0..count)` declares for its
// message (its length field + 1), whether or not the buffers hold all of it; 0 when they
// do not begin with such a header (or its length passes the server's 1 GiB limit).
// Reads the five header bytes and the buffers' lengths.
std::size_t declared_message_size(const iovec* iov, std::size_t count) noexcept;

// The same when the buffers hold the whole message; else 0.
std::size_t first_message_size(const iovec* iov, std::size_t count) noexcept;

// Copies the first `size` bytes the buffers hold, in order, to `out`; returns how many
// there were.
std::size_t copy_first_bytes(const iovec* iov, std::size_t count, std::size_t size, void* out) noexcept;

// The query text in the first `count` bytes of a Query or Parse message that is longer
// than that: the text they hold, ended where they end (at the last whole UTF-8
// character), or at its zero if that comes first. Nothing when they hold no text of such
// a message, or the text is not UTF-8.
std::optional<std::string_view> extract_cut_pg_query(const void* bytes, std::size_t count) noexcept;

// The whole first message of `iov[0..count)` (as first_message_size finds it): a view
// into the buffer it starts in when it lies entirely there (nothing is copied), else a
// view of `scratch`, into which exactly the message's bytes are copied. Nothing when
// there is no such message or it does not fit `scratch_size`. Reads no byte past the
// message's end and none outside the buffers; no allocation, errno untouched.
std::optional<std::string_view> gather_first_message(const iovec* iov, std::size_t count, char* scratch,
                                                     std::size_t scratch_size) noexcept;

}  // namespace velmora_io::sql_extract
