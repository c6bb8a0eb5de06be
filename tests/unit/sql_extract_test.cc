#include "sql_extract.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "guarded_bytes.h"

namespace velmora_io::sql_extract {
namespace {

using testing::GuardedBytes;
using namespace std::string_literals;
using namespace std::string_view_literals;

std::string be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

// A frontend message: type byte, then a length counting itself and the body.
std::string message(char type, std::string_view body) {
  return type + be32(static_cast<uint32_t>(4 + body.size())) + std::string(body);
}

std::string query(std::string_view text) { return message('Q', std::string(text) + '\0'); }

std::string parse(std::string_view name, std::string_view text, std::string_view param_types = "\0\0"sv) {
  return message('P', std::string(name) + '\0' + std::string(text) + '\0' + std::string(param_types));
}

// A header claiming length `length`, followed by `rest` as is.
std::string header(char type, uint32_t length, std::string_view rest = {}) {
  return type + be32(length) + std::string(rest);
}

// The extraction from a copy that ends exactly at an inaccessible page; checks that a
// result lies inside the buffer and that errno is left alone.
std::optional<std::string> extract(std::string_view buffer) {
  GuardedBytes guarded(buffer);
  errno = 4711;
  const std::optional<std::string_view> text = extract_pg_query(guarded.data(), guarded.size());
  EXPECT_EQ(errno, 4711);
  if (!text) return std::nullopt;
  EXPECT_TRUE(guarded.contains(*text)) << "result does not point into the input";
  return std::string(*text);
}

struct ExtractCase {
  const char* name;
  std::string buffer;
  std::optional<std::string> text;
  friend void PrintTo(const ExtractCase& c, std::ostream* os) { *os << c.name; }
};

class ExtractPgQuery : public ::testing::TestWithParam<ExtractCase> {};

TEST_P(ExtractPgQuery, FindsTheTextOfALeadingQueryOrParse) {
  EXPECT_EQ(extract(GetParam().buffer), GetParam().text);
}

const std::optional<std::string> NOTHING = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Query, ExtractPgQuery,
    ::testing::Values(
        ExtractCase{"simple", "Q\0\0\0\x0dSELECT 1\0"s, "SELECT 1"},
        ExtractCase{"followed_by_more_messages", query("SELECT 1") + query("SELECT 2") + "X\0\0\0\x04"s,
                    "SELECT 1"},
        ExtractCase{"followed_by_partial_message", query("SELECT 1") + "Q\0\0"s, "SELECT 1"},
        ExtractCase{"one_byte_short", query("SELECT 1").substr(0, 13), NOTHING},
        ExtractCase{"empty_text", "Q\0\0\0\x05\0"s, ""},
        ExtractCase{"multiline", query("SELECT a\n  FROM t\tWHERE b = 'x'"), "SELECT a\n  FROM t\tWHERE b = 'x'"},
        ExtractCase{"embedded_zero_kept", query("a\0b"sv), std::string("a\0b", 3)},
        ExtractCase{"last_byte_dropped_unexamined", header('Q', 7, "ab\xFF"), "ab"},
        ExtractCase{"last_byte_not_zero", header('Q', 7, "abc"), "ab"},
        ExtractCase{"utf8_text", query("SELECT 'caf\xC3\xA9', '\xF0\x9F\x98\x80'"),
                    "SELECT 'caf\xC3\xA9', '\xF0\x9F\x98\x80'"},
        ExtractCase{"latin1_text", query("SELECT 'caf\xE9'"), NOTHING},
        ExtractCase{"utf8_cut_by_length", header('Q', 6, "\xC3\xA9"), NOTHING},
        ExtractCase{"surrogate_in_text", query("\xED\xA0\x80"), NOTHING},
        ExtractCase{"length_4", header('Q', 4, "\0\0\0\0"s), NOTHING},
        ExtractCase{"length_0", header('Q', 0, "\0\0\0\0"s), NOTHING},
        ExtractCase{"length_negative", header('Q', 0x80000005u, std::string(16, 'a')), NOTHING},
        ExtractCase{"length_minus_one", header('Q', 0xFFFFFFFFu, std::string(16, 'a')), NOTHING},
        ExtractCase{"length_largest_positive", header('Q', 0x7FFFFFFFu, std::string(64, 'a')), NOTHING},
        ExtractCase{"length_beyond_buffer", header('Q', 100, std::string(50, 'a')), NOTHING},
        ExtractCase{"length_exactly_the_buffer", header('Q', 8, "abc\0"s), "abc"},
        ExtractCase{"long_text", query(std::string(70000, 's')), std::string(70000, 's')}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Parse, ExtractPgQuery,
    ::testing::Values(
        ExtractCase{"unnamed_with_one_parameter", "P\0\0\0\x15\0SELECT $1\0\0\x01\0\0\0\x17"s, "SELECT $1"},
        ExtractCase{"named_statement", parse("s1", "SELECT $1, $2", "\0\x02\0\0\0\x17\0\0\0\x19"sv),
                    "SELECT $1, $2"},
        ExtractCase{"empty_query", parse("", ""), ""},
        ExtractCase{"named_empty_query", parse("s1", ""), ""},
        ExtractCase{"followed_by_bind", parse("", "SELECT 1") + message('B', "\0\0\0\0\0\0\0"sv), "SELECT 1"},
        ExtractCase{"name_not_utf8_text_is", parse("s\xFF", "SELECT 1"), "SELECT 1"},
        ExtractCase{"text_not_utf8", parse("", "SELECT '\xE9'"), NOTHING},
        ExtractCase{"second_zero_at_the_last_byte", header('P', 14, "\0SELECT 1\0"s), "SELECT 1"},
        ExtractCase{"name_zero_at_the_last_byte", header('P', 7, "s1\0"s), NOTHING},
        ExtractCase{"name_zero_at_the_last_byte_more_follows", header('P', 7, "s1\0SELECT 1\0\0\0"s), NOTHING},
        ExtractCase{"no_zero_at_all", header('P', 9, "abcde"), NOTHING},
        ExtractCase{"name_zero_only_after_the_message", header('P', 9, "abcde\0SELECT 1\0"s), NOTHING},
        ExtractCase{"text_zero_only_after_the_message", header('P', 9, "\0abcdSELECT\0"s), NOTHING},
        ExtractCase{"one_byte_short", parse("", "SELECT 1").substr(0, parse("", "SELECT 1").size() - 1), NOTHING},
        ExtractCase{"length_4", header('P', 4, "\0\0\0\0"s), NOTHING},
        ExtractCase{"length_5", header('P', 5, "\0\0\0\0"s), NOTHING},
        ExtractCase{"length_6_two_zeros", header('P', 6, "\0\0"s), ""},
        ExtractCase{"length_negative", header('P', 0x80000010u, std::string(32, '\0')), NOTHING},
        ExtractCase{"length_largest_positive", header('P', 0x7FFFFFFFu, std::string(32, '\0')), NOTHING}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    OtherMessages, ExtractPgQuery,
    ::testing::Values(
        ExtractCase{"empty", "", NOTHING},
        ExtractCase{"type_only", "Q", NOTHING},
        ExtractCase{"header_only", "Q\0\0\0\x05"s, NOTHING},
        ExtractCase{"startup_packet_then_query", "\0\0\0\x08\x04\xd2\x16\x2f"s + query("SELECT 1"), NOTHING},
        ExtractCase{"bind_then_query", message('B', "\0\0\0\0\0\0\0"sv) + query("SELECT 1"), NOTHING},
        ExtractCase{"execute_then_query", message('E', "\0\0\0\0\0"sv) + query("SELECT 1"), NOTHING},
        ExtractCase{"sync_then_query", message('S', ""sv) + query("SELECT 1"), NOTHING},
        ExtractCase{"lowercase_q", message('q', "SELECT 1\0"sv), NOTHING},
        ExtractCase{"lowercase_p", message('p', "\0SELECT 1\0\0\0"sv), NOTHING},
        ExtractCase{"type_with_high_bit", message('\xD1', "SELECT 1\0"sv), NOTHING},
        ExtractCase{"plain_text", "SELECT 1"s, NOTHING},
        ExtractCase{"query_body_after_one_junk_byte", " " + query("SELECT 1"), NOTHING}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExtractPgQuery, NoBufferOfFiveBytesOrLessHasText) {
  // Every short prefix of a few messages, including ones that claim tiny lengths.
  const std::string candidates[] = {query(""), query("SELECT 1"), parse("", ""), header('Q', 5, "\0"s),
                                    header('P', 1, "\0\0"s)};
  for (const std::string& c : candidates) {
    for (std::size_t n = 0; n <= 5 && n <= c.size(); ++n) {
      EXPECT_EQ(extract(c.substr(0, n)), NOTHING) << ::testing::PrintToString(c.substr(0, n));
    }
  }
}

TEST(ExtractPgQuery, EveryCutOfAMessageIsNothingUntilItIsWhole) {
  // Cut a Query and a Parse at every length: text appears exactly when the whole
  // message (its length + 1 bytes) is present, and stays the same with more bytes.
  const std::string messages[] = {query("SELECT * FROM t WHERE x = 'caf\xC3\xA9'"),
                                  parse("stmt", "INSERT INTO t VALUES ($1)", "\0\x01\0\0\0\x17"sv)};
  const std::string texts[] = {"SELECT * FROM t WHERE x = 'caf\xC3\xA9'", "INSERT INTO t VALUES ($1)"};
  for (int m = 0; m < 2; ++m) {
    const std::string buffer = messages[m] + query("SELECT 2");
    for (std::size_t n = 0; n <= buffer.size(); ++n) {
      const std::optional<std::string> expected =
          n >= messages[m].size() ? std::optional<std::string>(texts[m]) : std::nullopt;
      EXPECT_EQ(extract(std::string_view(buffer).substr(0, n)), expected) << "message " << m << " cut at " << n;
    }
  }
}

TEST(ExtractPgQuery, ResultIsAViewIntoTheCallersBuffer) {
  const std::string buffer = parse("s1", "SELECT $1");
  const std::optional<std::string_view> text = extract_pg_query(buffer.data(), buffer.size());
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(text->data(), buffer.data() + 5 + 3);
  EXPECT_EQ(*text, "SELECT $1");
}

TEST(ExtractPgQuery, LeavesErrnoAloneWhenItFindsNothing) {
  const std::string inputs[] = {"", "Q", header('Q', 0x7FFFFFFFu, "abc"), parse("", "caf\xE9")};
  for (const std::string& in : inputs) {
    errno = EAGAIN;
    EXPECT_FALSE(extract_pg_query(in.data(), in.size()).has_value());
    EXPECT_EQ(errno, EAGAIN);
  }
}

// A message spread over buffers as writev or sendmsg pass them: each buffer ends at an
// inaccessible page, so a read past any of them faults.
struct Spread {
  std::vector<std::unique_ptr<GuardedBytes>> pieces;
  std::vector<iovec> iov;
  explicit Spread(const std::vector<std::string>& parts) {
    for (const std::string& part : parts) {
      pieces.push_back(std::make_unique<GuardedBytes>(part));
      iov.push_back({const_cast<unsigned char*>(pieces.back()->data()), part.size()});
    }
  }
};

std::optional<std::string> gathered_text(const Spread& spread, std::size_t scratch_size = 512) {
  std::vector<char> scratch(scratch_size);
  const std::optional<std::string_view> message =
      gather_first_message(spread.iov.data(), spread.iov.size(), scratch.data(), scratch.size());
  if (!message) return std::nullopt;
  const std::optional<std::string_view> text = extract_pg_query(message->data(), message->size());
  if (!text) return "(not a query)";
  return std::string(*text);
}

TEST(GatherFirstMessage, AParseSplitAtEveryPositionOverTwoAndThreeBuffers) {
  const std::string msg = parse("s1", "SELECT $1::int + 1", "\0\x01\0\0\0\x17"sv);
  const std::string bind = message('B', "\0s1\0\0\0\0\0\0\0"sv);  // follows it in the last buffer
  const std::string text = "SELECT $1::int + 1";
  for (std::size_t a = 0; a <= msg.size(); ++a) {
    Spread two({msg.substr(0, a), msg.substr(a) + bind});
    EXPECT_EQ(gathered_text(two), text) << "split at " << a;
    for (std::size_t b = a; b <= msg.size(); ++b) {
      Spread three({msg.substr(0, a), msg.substr(a, b - a), msg.substr(b) + bind});
      EXPECT_EQ(gathered_text(three), text) << "split at " << a << " and " << b;
      // The same buffers without the message's last byte hold no whole message.
      if (b < msg.size()) {
        Spread cut({msg.substr(0, a), msg.substr(a, b - a), msg.substr(b, msg.size() - b - 1)});
        EXPECT_EQ(gathered_text(cut), NOTHING) << "cut, split at " << a << " and " << b;
      }
    }
  }
}

TEST(GatherFirstMessage, CopiesOnlyWhatSpansBuffersAndOnlyIfScratchHoldsIt) {
  const std::string msg = query("SELECT 42 AS answer");
  // Whole in the first buffer: a view into it, the scratch untouched.
  Spread whole({msg + "tail", "more"});
  char scratch[64];
  std::memset(scratch, '#', sizeof(scratch));
  std::optional<std::string_view> got = gather_first_message(whole.iov.data(), 2, scratch, sizeof(scratch));
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(static_cast<const void*>(got->data()), whole.iov[0].iov_base);
  EXPECT_EQ(*got, msg);
  EXPECT_EQ(scratch[0], '#');
  // Whole in a buffer after empty ones: still no copy.
  Spread late({"", "", msg});
  got = gather_first_message(late.iov.data(), 3, scratch, sizeof(scratch));
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(static_cast<const void*>(got->data()), late.iov[2].iov_base);
  // Spread: exactly the message's bytes are copied, nothing after them.
  Spread split({msg.substr(0, 3), msg.substr(3) + "NEXT"});
  got = gather_first_message(split.iov.data(), 2, scratch, sizeof(scratch));
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->data(), scratch);
  EXPECT_EQ(*got, msg);
  EXPECT_EQ(scratch[msg.size()], '#');
  // A scratch one byte too small gives nothing.
  EXPECT_EQ(gathered_text(split, msg.size() - 1), NOTHING);
  EXPECT_EQ(gathered_text(split, msg.size()), "SELECT 42 AS answer");
  // Another message first, or none at all.
  EXPECT_EQ(gathered_text(Spread({message('S', ""sv), msg})), NOTHING);
  EXPECT_EQ(gathered_text(Spread({})), NOTHING);
  EXPECT_EQ(gathered_text(Spread({"", ""})), NOTHING);
  EXPECT_EQ(first_message_size(split.iov.data(), 2), msg.size());
}

// A message sent in pieces: its declared size from its first bytes (another protocol's
// "POST /" is none), and the text of a cut one up to its last whole character.
TEST(CutMessage, DeclaredSizeAndTheTextOfItsFirstBytes) {
  const std::string msg = parse("s1", "SELECT '\xc3\xa9t\xc3\xa9'");
  Spread first({msg.substr(0, 12)}), post({"POST / HTTP/1.1\r\n"});
  EXPECT_EQ(declared_message_size(first.iov.data(), 1), msg.size());
  EXPECT_EQ(declared_message_size(post.iov.data(), 1), 0u);
  EXPECT_EQ(extract_cut_pg_query(msg.data(), 19), std::optional<std::string_view>("SELECT '\xc3\xa9t"sv));
  EXPECT_EQ(extract_cut_pg_query(msg.data(), 18), std::optional<std::string_view>("SELECT '\xc3\xa9"sv));
  EXPECT_EQ(extract_cut_pg_query(msg.data(), 17), std::optional<std::string_view>("SELECT '"sv));  // half an é
}

}  // namespace
}  // namespace velmora_io::sql_extract
