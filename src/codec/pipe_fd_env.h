// The values of "VELMORA_IO_FD" (the sink's descriptor number) and "VELMORA_IO_PIPEID"
// (the identity of the object the host put at that number).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace velmora_io {

// A signed 32-bit decimal: an optional single sign, one or more ASCII digits, nothing
// else (no blanks, no radix prefix). Leading zeros are allowed; out of range is nothing.
std::optional<int32_t> parse_pipe_fd(std::string_view value) noexcept;

// Device and inode number of a file, as fstat gives them.
struct PipeIdentity {
  uint64_t dev;
  uint64_t ino;
  bool operator==(const PipeIdentity&) const = default;
};

// "DEV:INO", both unsigned decimals (ASCII digits only, each within 64 bits), as a host
// writes them from st_dev and st_ino of its pipe's write end. Anything else is nothing.
std::optional<PipeIdentity> parse_pipe_identity(std::string_view value) noexcept;

}  // namespace velmora_io
