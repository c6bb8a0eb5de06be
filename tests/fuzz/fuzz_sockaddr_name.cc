// Socket address naming on arbitrary bytes: the input is the address, its size the
// length the kernel reported.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "sockaddr_name.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  const auto name = velmora_io::sockaddr_to_resource(reinterpret_cast<const sockaddr*>(data),
                                                     static_cast<socklen_t>(size));
  sa_family_t family = 0;
  if (size >= sizeof(family)) std::memcpy(&family, data, sizeof(family));
  const bool expected = (size >= 2 && family == AF_UNIX) || (size >= 16 && family == AF_INET) ||
                        (size >= 28 && family == AF_INET6);
  if (name.has_value() != expected) std::abort();
  if (!name) return 0;
  const std::string_view text = name->view();
  if (text.size() > velmora_io::SOCKET_NAME_CAPACITY) std::abort();
  if (text.substr(0, 7) != "socket:") std::abort();
  for (char c : text) {
    if (c < 0x20 || c > 0x7E) std::abort();
  }
  return 0;
}
