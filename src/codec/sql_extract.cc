#include "sql_extract.h"

#include <cstdint>
#include <cstring>

#include "utf8.h"

namespace velmora_io::sql_extract {
namespace {

constexpr unsigned char MSG_PARSE = 0x50;  // 'P'
constexpr unsigned char MSG_QUERY = 0x51;  // 'Q'
constexpr std::size_t HEADER_SIZE = 5;     // type byte + 32-bit length

// Copies the first `size` bytes held by the buffers into `out`; returns how many there were.
std::size_t copy_prefix(const iovec* iov, std::size_t count, std::size_t size, unsigned char* out) noexcept {
  std::size_t done = 0;
  for (std::size_t i = 0; i < count && done < size; ++i) {
    const std::size_t take = iov[i].iov_len < size - done ? iov[i].iov_len : size - done;
    if (take > 0) std::memcpy(out + done, iov[i].iov_base, take);
    done += take;
  }
  return done;
}

std::optional<std::string_view> checked(const unsigned char* text, std::size_t n) noexcept {
  std::string_view view(reinterpret_cast<const char*>(text), n);
  if (!is_valid_utf8(view)) return std::nullopt;
  return view;
}

}  // namespace

std::optional<std::string_view> extract_pg_query(const void* bytes, std::size_t count) noexcept {
  if (count == 0) return std::nullopt;
  const auto* p = static_cast<const unsigned char*>(bytes);
  const unsigned char type = p[0];
  if (type != MSG_PARSE && type != MSG_QUERY) return std::nullopt;

  if (count < 6) return std::nullopt;
  if (p[1] & 0x80) return std::nullopt;  // negative length
  const uint32_t length = (uint32_t{p[1]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 8) | p[4];
  if (length < HEADER_SIZE) return std::nullopt;
  // The whole message, offsets 0..length, must lie in this buffer; length + 1 fits in
  // size_t since length < 2^31.
  const std::size_t last = length;
  if (count < last + 1) return std::nullopt;

  if (type == MSG_QUERY) {
    // The body without its terminating byte, which is not examined.
    return checked(p + HEADER_SIZE, last - HEADER_SIZE);
  }

  // Parse: statement name, zero, query text, zero, then parameter types (ignored).
  const unsigned char* name_end = static_cast<const unsigned char*>(std::memchr(p + HEADER_SIZE, 0, last - HEADER_SIZE + 1));
  if (name_end == nullptr) return std::nullopt;
  const std::size_t text_start = static_cast<std::size_t>(name_end - p) + 1;
  if (text_start > last) return std::nullopt;  // the name's zero ends the message
  const unsigned char* text_end = static_cast<const unsigned char*>(std::memchr(p + text_start, 0, last - text_start + 1));
  if (text_end == nullptr) return std::nullopt;
  return checked(p + text_start, static_cast<std::size_t>(text_end - (p + text_start)));
}

std::size_t first_message_size(const iovec* iov, std::size_t count) noexcept {
  unsigned char header[HEADER_SIZE];
  if (copy_prefix(iov, count, HEADER_SIZE, header) < HEADER_SIZE) return 0;
  if (header[0] != MSG_PARSE && header[0] != MSG_QUERY) return 0;
  if (header[1] & 0x80) return 0;  // negative length
  const uint32_t length =
      (uint32_t{header[1]} << 24) | (uint32_t{header[2]} << 16) | (uint32_t{header[3]} << 8) | header[4];
  if (length < HEADER_SIZE) return 0;
  const std::size_t size = std::size_t{length} + 1;
  std::size_t held = 0;
  for (std::size_t i = 0; i < count && held < size; ++i) held += iov[i].iov_len < size ? iov[i].iov_len : size;
  return held >= size ? size : 0;
}

std::optional<std::string_view> gather_first_message(const iovec* iov, std::size_t count, char* scratch,
                                                     std::size_t scratch_size) noexcept {
  const std::size_t size = first_message_size(iov, count);
  if (size == 0) return std::nullopt;
  std::size_t first = 0;
  while (iov[first].iov_len == 0) ++first;  // a header was found, so some buffer holds bytes
  if (iov[first].iov_len >= size) return std::string_view(static_cast<const char*>(iov[first].iov_base), size);
  if (size > scratch_size) return std::nullopt;
  copy_prefix(iov + first, count - first, size, reinterpret_cast<unsigned char*>(scratch));
  return std::string_view(scratch, size);
}

}  // namespace velmora_io::sql_extract
