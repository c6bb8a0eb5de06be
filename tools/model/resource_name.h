// A resource's name in a few words, for pictures where a row of identical
// "read" marks says nothing: a file by its last path part, a socket by its
// address, a query by its beginning.
#pragma once

#include <string>
#include <string_view>

#include "event_parse.h"

namespace velmora::trace {

// At most SHORT_NAME_BYTES bytes of the name (not splitting a UTF-8 sequence),
// then "…" when cut.
inline constexpr std::size_t SHORT_NAME_BYTES = 48;

// "data.txt" for file:/srv/data.txt, "sort" for an exec of /usr/bin/sort, "127.0.0.1:5432" for socket:127.0.0.1:5432,
// the text itself for a query; other details whole. Raw bytes, as the detail's.
std::string short_resource_name(Kind kind, std::string_view detail);

// What an event did to what: "read data.txt", "connect 127.0.0.1:5432",
// "sql_write SELECT 1".
std::string event_title(Kind kind, std::string_view detail);

}  // namespace velmora::trace
