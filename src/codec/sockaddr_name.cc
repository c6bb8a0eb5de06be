#include "sockaddr_name.h"

#include "hex_digits.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace velmora_io {

class SocketNameBuilder {
 public:
  explicit SocketNameBuilder(SocketName* name) noexcept : name_(name) { name_->size_ = 0; }

  void text(std::string_view s) noexcept {
    std::memcpy(name_->bytes_ + name_->size_, s.data(), s.size());
    name_->size_ += s.size();
  }
  void decimal(unsigned value) noexcept {
    char* at = name_->bytes_ + name_->size_;
    name_->size_ = static_cast<std::size_t>(std::to_chars(at, at + 10, value).ptr - name_->bytes_);
  }
  void hex_byte(unsigned char b) noexcept {
    name_->bytes_[name_->size_++] = HEX_DIGITS[b >> 4];
    name_->bytes_[name_->size_++] = HEX_DIGITS[b & 0xF];
  }
  void escaped(const unsigned char* bytes, std::size_t n) noexcept {
    name_->size_ += hex_escape_bytes(bytes, n, name_->bytes_ + name_->size_);
  }
  // A NUL-ended text, escaped, as far as it fits with `keep` bytes left over.
  void escaped_text(const char* text, std::size_t keep) noexcept {
    for (; *text != '\0'; ++text) {
      const auto b = static_cast<unsigned char>(*text);
      const std::size_t need = b == '\\' ? 2 : (b >= 0x20 && b <= 0x7E) ? 1 : 4;
      if (name_->size_ + need + keep > SOCKET_NAME_CAPACITY) return;
      escaped(&b, 1);
    }
  }

 private:
  SocketName* name_;
};

namespace {

inline constexpr sa_family_t FAMILY_UNIX = 1;
inline constexpr sa_family_t FAMILY_INET = 2;
inline constexpr sa_family_t FAMILY_INET6 = 10;
inline constexpr socklen_t INET_SIZE = 16;
inline constexpr socklen_t INET6_SIZE = 28;

unsigned port_at(const unsigned char* p) noexcept { return (unsigned{p[2]} << 8) | p[3]; }

void name_unix(const unsigned char* p, socklen_t len, SocketNameBuilder& out) noexcept {
  const std::size_t n = std::min<std::size_t>(len - 2, SUN_PATH_SIZE);
  const unsigned char* path = p + 2;
  out.text("socket:unix:");
  if (n == 0) return;  // unnamed, e.g. either end of a socket pair
  if (path[0] == 0) {
    // Abstract: every byte after the leading zero belongs to the name, zeros included.
    out.text("abstract:");
    out.escaped(path + 1, n - 1);
    return;
  }
  const void* nul = std::memchr(path, 0, n);
  const std::size_t path_len = nul ? static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - path) : n;
  out.escaped(path, path_len);
}

void name_inet(const unsigned char* p, SocketNameBuilder& out) noexcept {
  out.text("socket:");
  for (int i = 0; i < 4; ++i) {
    if (i) out.text(".");
    out.decimal(p[4 + i]);
  }
  out.text(":");
  out.decimal(port_at(p));
}

void name_inet6(const unsigned char* p, SocketNameBuilder& out) noexcept {
  // Eight full groups, no zero compression, no scope: one spelling per address.
  out.text("socket:[");
  for (int i = 0; i < 16; ++i) {
    if (i && i % 2 == 0) out.text(":");
    out.hex_byte(p[8 + i]);
  }
  out.text("]:");
  out.decimal(port_at(p));
}

}  // namespace

std::size_t hex_escape_bytes(const unsigned char* bytes, std::size_t n, char* out) noexcept {
  char* w = out;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char b = bytes[i];
    if (b == '\\') {
      *w++ = '\\';
      *w++ = '\\';
    } else if (b >= 0x20 && b <= 0x7E) {
      *w++ = static_cast<char>(b);
    } else {
      *w++ = '\\';
      *w++ = 'x';
      *w++ = HEX_DIGITS[b >> 4];
      *w++ = HEX_DIGITS[b & 0xF];
    }
  }
  return static_cast<std::size_t>(w - out);
}

std::optional<SocketName> sockaddr_to_resource(const sockaddr* addr, socklen_t len) noexcept {
  // One object for every return, so it is built in the caller's room: a second copy
  // would double the stack that naming takes.
  std::optional<SocketName> name;
  if (addr == nullptr || len < 2) return name;
  const auto* p = reinterpret_cast<const unsigned char*>(addr);
  sa_family_t family;
  std::memcpy(&family, p, sizeof(family));
  SocketNameBuilder out(&name.emplace());
  if (family == FAMILY_UNIX) {
    name_unix(p, len, out);
  } else if (family == FAMILY_INET && len >= INET_SIZE) {
    name_inet(p, out);
  } else if (family == FAMILY_INET6 && len >= INET6_SIZE) {
    name_inet6(p, out);
  } else {
    name.reset();
  }
  return name;
}

std::optional<SocketName> lookup_to_resource(const char* host, const char* service) noexcept {
  std::optional<SocketName> name;
  if (host == nullptr) return name;
  // Room kept for the closing bracket and a short service, so the host never crowds
  // the service out.
  constexpr std::size_t KEEP = 2 + 4 * 8;
  SocketNameBuilder out(&name.emplace());
  const bool bracket = std::strchr(host, ':') != nullptr;
  out.text(bracket ? "socket:[" : "socket:");
  out.escaped_text(host, KEEP);
  if (bracket) out.text("]");
  if (service != nullptr && *service != '\0') {
    out.text(":");
    out.escaped_text(service, 0);
  }
  return name;
}

}  // namespace velmora_io
