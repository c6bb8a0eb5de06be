#include "link_name.h"

#include <cstring>

#include "raw_syscalls.h"
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

namespace {

// A target too long for the name's inline room, read again into larger private pages
// (never the heap: this may run in a signal handler) until it fits. Out of line: its
// room is taken only for such targets.
[[gnu::noinline]] bool long_link(int32_t fd, TextCopy* name) noexcept {
  TextCopy big;
  for (std::size_t size = TextCopy::INLINE_CAPACITY * 16;; size *= 2) {
    char* buffer = big.reserve(size);
    if (buffer == nullptr) return false;
    const ssize_t n = raw::read_fd_link(fd, buffer, size);
    if (n >= 0 && static_cast<std::size_t>(n) < size) {
      const std::string_view target(buffer, static_cast<std::size_t>(n));
      return link_target_is_file(target) && file_name_from_link(target, name);
    }
    if (n < 0 || size > (std::size_t{1} << 30)) return false;
  }
}

}  // namespace

bool link_stage(int32_t fd, TextCopy* name) noexcept {
  // Most targets fit the name's own inline room, read there behind the room for the
  // prefix; a result that fills it may have been cut, and is read again.
  char* const room = name->reserve(TextCopy::INLINE_CAPACITY);
  char* const body = room + FILE_PREFIX.size();
  const std::size_t body_room = TextCopy::INLINE_CAPACITY - FILE_PREFIX.size();
  const ssize_t n = raw::read_fd_link(fd, body, body_room);
  if (n < 0) return false;
  if (static_cast<std::size_t>(n) == body_room) return body[0] == '/' && long_link(fd, name);
  const std::string_view target(body, static_cast<std::size_t>(n));
  if (!link_target_is_file(target)) return false;
  if (!is_valid_utf8(target)) return long_link(fd, name);  // rare: rewritten from a copy
  std::memcpy(room, FILE_PREFIX.data(), FILE_PREFIX.size());
  name->shrink_to(FILE_PREFIX.size() + target.size());
  return true;
}

}  // namespace velmora_io
