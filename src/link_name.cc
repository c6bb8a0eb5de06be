#include "link_name.h"

#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <cstring>

#include "utf8.h"

namespace velmora_io {

bool link_target_is_file(std::string_view target) noexcept {
  return !target.empty() && target.front() == '/' &&
         target.find("(deleted)") == std::string_view::npos;
}

OwnedText file_name_from_link(std::string_view target) noexcept {
  const bool valid = is_valid_utf8(target);
  const std::size_t room = valid ? target.size() : lossy_utf8_capacity(target.size());
  OwnedText name = OwnedText::allocate(FILE_PREFIX.size() + room);
  if (!name) return name;
  std::memcpy(name.data(), FILE_PREFIX.data(), FILE_PREFIX.size());
  char* body = name.data() + FILE_PREFIX.size();
  if (valid) {
    std::memcpy(body, target.data(), target.size());
  } else {
    name.shrink_to(FILE_PREFIX.size() + lossy_utf8(target, body));
  }
  return name;
}

OwnedText link_stage(int32_t fd) noexcept {
  char path[32] = "/proc/self/fd/";
  constexpr std::size_t prefix = sizeof("/proc/self/fd/") - 1;
  auto [end, ec] = std::to_chars(path + prefix, path + sizeof(path) - 1, fd);
  if (ec != std::errc()) return {};
  *end = '\0';

  // Most targets fit on the stack; a result that fills the buffer may have been cut,
  // so it is read again into a larger one until it fits.
  char small[256];
  ssize_t n = ::readlink(path, small, sizeof(small));
  if (n < 0) return {};
  if (static_cast<std::size_t>(n) < sizeof(small)) {
    const std::string_view target(small, static_cast<std::size_t>(n));
    if (!link_target_is_file(target)) return {};
    return file_name_from_link(target);
  }
  if (small[0] != '/') return {};
  std::size_t size = sizeof(small) * 4;
  for (;;) {
    char* big = static_cast<char*>(std::malloc(size));
    if (big == nullptr) return {};
    n = ::readlink(path, big, size);
    if (n >= 0 && static_cast<std::size_t>(n) < size) {
      const std::string_view target(big, static_cast<std::size_t>(n));
      OwnedText name = link_target_is_file(target) ? file_name_from_link(target) : OwnedText();
      std::free(big);
      return name;
    }
    std::free(big);
    if (n < 0 || size > (std::size_t{1} << 30)) return {};
    size *= 2;
  }
}

}  // namespace velmora_io
