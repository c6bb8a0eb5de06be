#include "event_line.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <random>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);

namespace velmora_io {
namespace {

using namespace std::string_view_literals;

constexpr char UNWRITTEN = '\x5A';

std::string escape(std::string_view detail) {
  const std::size_t size = escaped_size(detail);
  std::string out(size + 8, UNWRITTEN);
  char* end = escape_detail(detail, out.data());
  EXPECT_EQ(static_cast<std::size_t>(end - out.data()), size);
  EXPECT_EQ(out.substr(size), std::string(8, UNWRITTEN));
  out.resize(size);
  return out;
}

std::string format(std::string_view kind, std::string_view detail, int32_t fd, int32_t pid, int64_t tid) {
  const std::size_t esc = escaped_size(detail);
  const std::size_t capacity = event_line_capacity(kind.size(), esc);
  // Exactly the advertised capacity on the heap, so a sanitizer run sees any overflow.
  std::vector<char> buffer(capacity, UNWRITTEN);
  const std::size_t n = format_event_line(buffer.data(), kind, detail, esc, fd, pid, tid);
  EXPECT_LE(n, capacity);
  for (std::size_t i = n; i < capacity; ++i) EXPECT_EQ(buffer[i], UNWRITTEN) << "byte " << i;
  return std::string(buffer.data(), std::min(n, capacity));
}

// The detail back from its escaped form, read the way every reader reads it; nothing
// when the codec refuses the form.
std::optional<std::string> unescape(std::string_view escaped) {
  const std::string line = "write\t" + std::string(escaped) + "\t3\t1\t1";
  ParsedLine parsed;
  if (parse_event_line(line, parsed) != LineError::none) return std::nullopt;
  std::string out(parsed.detail_size, '\0');
  EXPECT_EQ(unescape_detail(parsed.escaped_detail, out.data()), out.data() + out.size());
  return out;
}

struct EscapeCase {
  const char* name;
  std::string_view detail;
  std::string_view escaped;
  friend void PrintTo(const EscapeCase& c, std::ostream* os) { *os << c.name; }
};

class EscapeDetail : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeDetail, EscapesOnlyTabNewlineAndBackslash) {
  EXPECT_EQ(escaped_size(GetParam().detail), GetParam().escaped.size());
  EXPECT_EQ(escape(GetParam().detail), GetParam().escaped);
  EXPECT_EQ(unescape(GetParam().escaped), std::string(GetParam().detail));
}

INSTANTIATE_TEST_SUITE_P(
    Table, EscapeDetail,
    ::testing::Values(
        EscapeCase{"empty", ""sv, ""sv},
        EscapeCase{"plain", "file:/tmp/a.txt"sv, "file:/tmp/a.txt"sv},
        EscapeCase{"tab_and_backslash", "a\tb\\c"sv, "a\\tb\\\\c"sv},
        EscapeCase{"newline", "SELECT 1\nFROM t"sv, "SELECT 1\\nFROM t"sv},
        EscapeCase{"trailing_newline", "x\n"sv, "x\\n"sv},
        EscapeCase{"literal_backslash_n", "\\n"sv, "\\\\n"sv},
        EscapeCase{"only_escapes", "\t\n\\"sv, "\\t\\n\\\\"sv},
        EscapeCase{"carriage_return_kept", "a\r\nb"sv, "a\r\\nb"sv},
        EscapeCase{"control_and_del_kept", "\x01\x1B\x7F"sv, "\x01\x1B\x7F"sv},
        EscapeCase{"zero_byte_kept", "a\0b"sv, "a\0b"sv},
        EscapeCase{"non_ascii_kept", "caf\xC3\xA9 \xEF\xBF\xBD \xFF"sv, "caf\xC3\xA9 \xEF\xBF\xBD \xFF"sv},
        EscapeCase{"vertical_tab_and_form_feed_kept", "\v\f"sv, "\v\f"sv}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EscapeDetail, EscapedSizeOfAnExample) {
  // "a\tb\\c" is five bytes in memory; its escaped form spells both escapes out.
  EXPECT_EQ(escaped_size("a\tb\\c"), 7u);
}

struct LineCase {
  const char* name;
  std::string_view kind;
  std::string_view detail;
  int32_t fd;
  int32_t pid;
  int64_t tid;
  std::string_view line;
  friend void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }
};

class FormatEventLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(FormatEventLine, ProducesFiveTabSeparatedFieldsAndOneNewline) {
  const LineCase& c = GetParam();
  const std::string line = format(c.kind, c.detail, c.fd, c.pid, c.tid);
  EXPECT_EQ(line, c.line);
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  ParsedLine parsed;
  EXPECT_EQ(parse_event_line(std::string_view(line).substr(0, line.size() - 1), parsed), LineError::none);
}

constexpr int32_t I32_MIN = std::numeric_limits<int32_t>::min();
constexpr int32_t I32_MAX = std::numeric_limits<int32_t>::max();
constexpr int64_t I64_MIN = std::numeric_limits<int64_t>::min();
constexpr int64_t I64_MAX = std::numeric_limits<int64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Table, FormatEventLine,
    ::testing::Values(
        LineCase{"plain", "read", "file:/tmp/a", 3, 1234, 1235, "read\tfile:/tmp/a\t3\t1234\t1235\n"},
        LineCase{"zeros", "close", "x", 0, 0, 0, "close\tx\t0\t0\t0\n"},
        LineCase{"escaped_detail", "write", "a\tb\\c", 7, 10, 11, "write\ta\\tb\\\\c\t7\t10\t11\n"},
        LineCase{"detail_ending_in_newline", "sql_write", "SELECT 1\n", 5, 1, 2, "sql_write\tSELECT 1\\n\t5\t1\t2\n"},
        LineCase{"empty_detail", "read", "", 4, 5, 6, "read\t\t4\t5\t6\n"},
        LineCase{"negative_numbers", "connect", "socket:unix:", -1, -2, -3, "connect\tsocket:unix:\t-1\t-2\t-3\n"},
        LineCase{"extremes_low", "read", "d", I32_MIN, I32_MIN, I64_MIN,
                 "read\td\t-2147483648\t-2147483648\t-9223372036854775808\n"},
        LineCase{"extremes_high", "read", "d", I32_MAX, I32_MAX, I64_MAX,
                 "read\td\t2147483647\t2147483647\t9223372036854775807\n"},
        LineCase{"tens_without_leading_zeros", "read", "d", 10, 100, 1000, "read\td\t10\t100\t1000\n"},
        LineCase{"carriage_return_kept", "read", "a\rb", 3, 1, 1, "read\ta\rb\t3\t1\t1\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FormatEventLine, WidestLineFillsCapacityExactly) {
  // The widest numbers with a detail that is all escapes: the capacity is no larger
  // than needed, and nothing is written past it.
  const std::string detail(64, '\\');
  const std::string line = format("sql_write", detail, I32_MIN, I32_MIN, I64_MIN);
  EXPECT_EQ(line.size(), event_line_capacity(9, 128));
}

TEST(FormatEventLine, UnescapedFastPathWhenNothingNeedsEscaping) {
  // The caller passes escaped_size; equal sizes mean the detail is copied as is.
  const std::string detail = "file:/tmp/\x01\x7F\xC3\xA9";
  EXPECT_EQ(format("read", detail, 3, 4, 5), "read\t" + detail + "\t3\t4\t5\n");
}

TEST(FormatEventLine, LongDetail) {
  std::string detail(100000, 'q');
  detail[50000] = '\n';
  const std::string line = format("sql_write", detail, 3, 4, 5);
  EXPECT_EQ(line.size(), 9 + 1 + 100001 + 1 + 1 + 1 + 1 + 1 + 1 + 1);
  EXPECT_EQ(line.find('\n'), line.size() - 1);
}

TEST(EventLineProperty, RoundTripsRandomKindsDetailsAndNumbers) {
  // The fuzzer's round trip (both ways), on seeded inputs drawn from the bytes where
  // the escaping and the number spelling have their edges.
  std::mt19937_64 rng(7);
  static constexpr char ALPHABET[] = {'\t', '\n', '\\', 'n', 't', '\r', '\0', 'a', ' ', '\x7F', '\xFF',
                                      '\xC3', '-', '0', '1', '9', '+'};
  std::uniform_int_distribution<std::size_t> len_dist(0, 40);
  std::uniform_int_distribution<std::size_t> pick(0, sizeof(ALPHABET) - 1);
  for (int i = 0; i < 5000; ++i) {
    std::string input(17, '\0');
    for (char& c : input) c = static_cast<char>(rng());
    std::string detail(len_dist(rng), '\0');
    for (char& c : detail) c = ALPHABET[pick(rng)];
    input += detail;
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
    // The same bytes as a line of their own: mostly refused, sometimes a line.
    const std::string line = "read\t" + detail + "\t" + detail.substr(0, 3) + "\t1\t2";
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(line.data()), line.size());
  }
}

TEST(EventLineProperty, SeedCorpusAndTheVerdictsItsNamesGive) {
  // The fuzzer's seeds; the whole lines among them are named by what every parser must
  // do (line_*: accept, refused_*: refuse), and the Python package's parser reads them too.
  std::size_t lines = 0;
  for (const auto& entry : std::filesystem::directory_iterator(VELMORA_EVENT_LINE_CORPUS)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    const std::string name = entry.path().filename().string();
    const bool accept = name.starts_with("line");
    if (!accept && !name.starts_with("refused")) continue;
    ParsedLine parsed;
    EXPECT_EQ(parse_event_line(bytes, parsed) == LineError::none, accept) << name;
    ++lines;
  }
  EXPECT_GT(lines, 10u);
}

}  // namespace
}  // namespace velmora_io
