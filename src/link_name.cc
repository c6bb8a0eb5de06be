#include "link_name.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <charconv>
#include <cstring>

#include "utf8.h"

namespace velmora_io {

bool link_target_is_file(std::string_view target) noexcept {
  return !target.empty() && target.front() == '/' &&
         target.find("(deleted)") == std::string_view::npos;
}

bool file_name_from_link(std::string_view target, TextCopy* name) noexcept {
  const bool valid = is_valid_utf8(target);
  const std::size_t room = valid ? target.size() : lossy_utf8_capacity(target.size());
  char* out = name->reserve(FILE_PREFIX.size() + room);
  if (out == nullptr) return false;
  std::memcpy(out, FILE_PREFIX.data(), FILE_PREFIX.size());
  char* body = out + FILE_PREFIX.size();
  if (valid) {
    std::memcpy(body, target.data(), target.size());
  } else {
    name->shrink_to(FILE_PREFIX.size() + lossy_utf8(target, body));
  }
  return true;
}

bool link_stage(int32_t fd, TextCopy* name) noexcept {
  char path[32] = "/proc/self/fd/";
  constexpr std::size_t prefix = sizeof("/proc/self/fd/") - 1;
  auto [end, ec] = std::to_chars(path + prefix, path + sizeof(path) - 1, fd);
  if (ec != std::errc()) return false;
  *end = '\0';

  // A raw call: the wide library interposes readlink itself. Most targets fit on the
  // stack; a result that fills the buffer may have been cut,
  // so it is read again into larger private pages (never the heap: this may run in a
  // signal handler) until it fits.
  char small[256];
  ssize_t n = static_cast<ssize_t>(::syscall(SYS_readlink, path, small, sizeof(small)));
  if (n < 0) return false;
  if (static_cast<std::size_t>(n) < sizeof(small)) {
    const std::string_view target(small, static_cast<std::size_t>(n));
    return link_target_is_file(target) && file_name_from_link(target, name);
  }
  if (small[0] != '/') return false;
  TextCopy big;
  for (std::size_t size = sizeof(small) * 16;; size *= 2) {
    char* buffer = big.reserve(size);
    if (buffer == nullptr) return false;
    n = static_cast<ssize_t>(::syscall(SYS_readlink, path, buffer, size));
    if (n >= 0 && static_cast<std::size_t>(n) < size) {
      const std::string_view target(buffer, static_cast<std::size_t>(n));
      return link_target_is_file(target) && file_name_from_link(target, name);
    }
    if (n < 0 || size > (std::size_t{1} << 30)) return false;
  }
}

}  // namespace velmora_io
