// Resource names for socket addresses: IPv4, IPv6 and Unix-domain forms.
//
// Names are built in a fixed inline buffer: the longest possible name (an abstract
// Unix address of 107 bytes, every one escaped) fits, so naming never allocates.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace velmora_io {

// sun_path is 108 bytes; an abstract name of 107 bytes escapes to 4 * 107.
inline constexpr std::size_t SUN_PATH_SIZE = 108;
inline constexpr std::size_t SOCKET_NAME_CAPACITY = 21 + 4 * SUN_PATH_SIZE;

class SocketName {
 public:
  std::string_view view() const noexcept { return {bytes_, size_}; }

 private:
  friend class SocketNameBuilder;
  char bytes_[SOCKET_NAME_CAPACITY];
  std::size_t size_ = 0;
};

// Renders bytes as printable ASCII: backslash doubled, 0x20-0x7E kept, every other byte
// as \xNN (lowercase). `out` must hold 4 * n bytes; returns the count written.
std::size_t hex_escape_bytes(const unsigned char* bytes, std::size_t n, char* out) noexcept;

// The name of an address of `len` valid bytes, or nothing. Reads no byte at or past
// `len`, and no more than the family's fixed layout.
std::optional<SocketName> sockaddr_to_resource(const sockaddr* addr, socklen_t len) noexcept;

// The name a lookup of `host` (with `service`, when given) asks for, shaped as a
// socket's: "socket:HOST:SERVICE", a host holding a colon (an IPv6 literal) in brackets,
// ":SERVICE" left out when there is none. Bytes are escaped as a Unix socket's path's
// are; a name longer than the room is cut. Nothing when host is null. Reads each text
// up to its NUL, and no further than the room could show.
std::optional<SocketName> lookup_to_resource(const char* host, const char* service) noexcept;

}  // namespace velmora_io
