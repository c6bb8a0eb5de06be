// The query text of a PostgreSQL frontend Query ('Q') or Parse ('P') message that
// begins a buffer handed to send().
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace velmora_io::sql_extract {

// A view into `bytes` holding well-formed UTF-8, or nothing when the buffer does not
// begin with one complete Query or Parse message. Reads no byte at or past `count`;
// no allocation, no system call, errno untouched.
std::optional<std::string_view> extract_pg_query(const void* bytes, std::size_t count) noexcept;

}  // namespace velmora_io::sql_extract
