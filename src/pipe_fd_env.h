// The descriptor number that "VELMORA_IO_FD" carries.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace velmora_io {

// A signed 32-bit decimal: an optional single sign, one or more ASCII digits, nothing
// else (no blanks, no radix prefix). Leading zeros are allowed; out of range is nothing.
std::optional<int32_t> parse_pipe_fd(std::string_view value) noexcept;

}  // namespace velmora_io
