#include "sql_extract.h"

#include <cstdint>
#include <cstring>

#include "utf8.h"

namespace velmora_io::sql_extract {
namespace {

constexpr unsigned char MSG_PARSE = 0x50;  // 'P'
constexpr unsigned char MSG_QUERY = 0x51;  // 'Q'
constexpr std::size_t HEADER_SIZE = 5;     // type byte + 32-bit length
constexpr uint32_t MAX_MESSAGE = uint32_t{1} << 30;

std::optional<std::string_view> checked(const unsigned char* text, std::size_t n) noexcept {
  std::string_view view(reinterpret_cast<const char*>(text), n);
  if (!is_valid_utf8(view)) return std::nullopt;
  return view;
}

// Where a Parse message's query text starts: after its statement name's zero, looked
// for before `end`; null when it is not there.
const unsigned char* parse_text_start(const unsigned char* p, std::size_t end) noexcept {
  const auto* name_end = static_cast<const unsigned char*>(std::memchr(p + HEADER_SIZE, 0, end - HEADER_SIZE));
  return name_end != nullptr ? name_end + 1 : nullptr;
}

}  // namespace

std::size_t copy_first_bytes(const iovec* iov, std::size_t count, std::size_t size, void* out) noexcept {
  std::size_t done = 0;
  for (std::size_t i = 0; i < count && done < size; ++i) {
    const std::size_t take = iov[i].iov_len < size - done ? iov[i].iov_len : size - done;
    if (take > 0) std::memcpy(static_cast<unsigned char*>(out) + done, iov[i].iov_base, take);
    done += take;
  }
  return done;
}

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

std::size_t declared_message_size(const iovec* iov, std::size_t count) noexcept {
  unsigned char header[HEADER_SIZE];
  if (copy_first_bytes(iov, count, HEADER_SIZE, header) < HEADER_SIZE) return 0;
  if (header[0] != MSG_PARSE && header[0] != MSG_QUERY) return 0;
  if (header[1] & 0x80) return 0;  // negative length
  const uint32_t length =
      (uint32_t{header[1]} << 24) | (uint32_t{header[2]} << 16) | (uint32_t{header[3]} << 8) | header[4];
  // The server takes no message over 1 GiB: a longer "length" is another protocol's
  // bytes ("POST /", "PUT /", "QUIT") that only look like a header.
  if (length < HEADER_SIZE || length > MAX_MESSAGE) return 0;
  return std::size_t{length} + 1;
}

std::size_t first_message_size(const iovec* iov, std::size_t count) noexcept {
  const std::size_t size = declared_message_size(iov, count);
  if (size == 0) return 0;
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
  copy_first_bytes(iov + first, count - first, size, scratch);
  return std::string_view(scratch, size);
}

std::optional<std::string_view> extract_cut_pg_query(const void* bytes, std::size_t count) noexcept {
  const auto* p = static_cast<const unsigned char*>(bytes);
  if (count <= HEADER_SIZE || (p[0] != MSG_PARSE && p[0] != MSG_QUERY)) return std::nullopt;
  const unsigned char* text = p + HEADER_SIZE;
  if (p[0] == MSG_PARSE && (text = parse_text_start(p, count)) == nullptr) return std::nullopt;
  const auto* zero = static_cast<const unsigned char*>(std::memchr(text, 0, static_cast<std::size_t>(p + count - text)));
  std::string_view view(reinterpret_cast<const char*>(text), static_cast<std::size_t>((zero ? zero : p + count) - text));
  // Only the cut may have split a character: what is ill-formed before the last three
  // bytes is not text.
  std::size_t whole = 0;
  for (Utf8Step step; whole < view.size() && (step = next_utf8({view.data() + whole, view.size() - whole})).valid;) {
    whole += step.length;
  }
  if (view.size() - whole > 3) return std::nullopt;
  return std::string_view(view.data(), whole);
}

}  // namespace velmora_io::sql_extract
