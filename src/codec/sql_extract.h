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

// The size of the first message of the bytes that `iov[0..count)` hold in order (its
// length field + 1), when they begin with a Query or Parse header and hold the whole
// message; else 0. Reads the five header bytes and the buffers' lengths, nothing more.
std::size_t first_message_size(const iovec* iov, std::size_t count) noexcept;

// The whole first message of `iov[0..count)` (as first_message_size finds it): a view
// into the buffer it starts in when it lies entirely there (nothing is copied), else a
// view of `scratch`, into which exactly the message's bytes are copied. Nothing when
// there is no such message or it does not fit `scratch_size`. Reads no byte past the
// message's end and none outside the buffers; no allocation, errno untouched.
std::optional<std::string_view> gather_first_message(const iovec* iov, std::size_t count, char* scratch,
                                                     std::size_t scratch_size) noexcept;

}  // namespace velmora_io::sql_extract
