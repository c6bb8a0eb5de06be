// Query text extraction against a byte-by-byte model of the message layout. UTF-8
// validity is the library's own, which the unit tests check against a model of its own.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "sql_extract.h"
#include "utf8.h"

namespace {

// The layout rules written out plainly: offsets into the buffer, nothing clever.
std::optional<std::string_view> model(const unsigned char* p, std::size_t count) {
  if (count < 6) return std::nullopt;
  if (p[0] != 'P' && p[0] != 'Q') return std::nullopt;
  const int64_t length = (int64_t{p[1]} << 24) | (int64_t{p[2]} << 16) | (int64_t{p[3]} << 8) | int64_t{p[4]};
  if (length >= (int64_t{1} << 31)) return std::nullopt;  // negative as a signed 32-bit value
  if (length < 5) return std::nullopt;
  if (static_cast<uint64_t>(count) < static_cast<uint64_t>(length) + 1) return std::nullopt;
  const auto L = static_cast<std::size_t>(length);
  std::size_t start, end;
  if (p[0] == 'Q') {
    start = 5;
    end = L;  // the byte at L is the terminator, not part of the text
  } else {
    std::size_t first = 5;
    while (first <= L && p[first] != 0) ++first;
    if (first >= L) return std::nullopt;  // no name terminator, or nothing after it
    std::size_t second = first + 1;
    while (second <= L && p[second] != 0) ++second;
    if (second > L) return std::nullopt;
    start = first + 1;
    end = second;
  }
  std::string_view text(reinterpret_cast<const char*>(p) + start, end - start);
  if (!velmora_io::is_valid_utf8(text)) return std::nullopt;
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::optional<std::string_view> got = velmora_io::sql_extract::extract_pg_query(data, size);
  const std::optional<std::string_view> want = model(data, size);
  if (got.has_value() != want.has_value()) std::abort();
  if (!got) return 0;
  // Not just equal text: the very same bytes of the caller's buffer.
  if (got->data() != want->data() || got->size() != want->size()) std::abort();
  const auto* begin = reinterpret_cast<const char*>(data);
  if (got->data() < begin || got->data() + got->size() > begin + size) std::abort();
  if (!velmora_io::is_valid_utf8(*got)) std::abort();
  return 0;
}
