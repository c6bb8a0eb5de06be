#include "pipe_fd_env.h"
#include "pipe_fd_model.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <ostream>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace velmora_io {
namespace {

using namespace std::string_view_literals;

struct ParseCase {
  const char* name;
  std::string_view text;
  std::optional<int32_t> value;
  friend void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }
};

class ParsePipeFd : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParsePipeFd, AcceptsExactlyASignedDecimal) {
  EXPECT_EQ(parse_pipe_fd(GetParam().text), GetParam().value);
}

constexpr std::optional<int32_t> NONE = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Table, ParsePipeFd,
    ::testing::Values(
        ParseCase{"plain", "5"sv, 5},
        ParseCase{"plus_sign", "+5"sv, 5},
        ParseCase{"leading_zeros", "005"sv, 5},
        ParseCase{"many_leading_zeros", "0000000000000000000000000000005"sv, 5},
        ParseCase{"zero", "0"sv, 0},
        ParseCase{"one", "1"sv, 1},
        ParseCase{"two", "2"sv, 2},
        ParseCase{"multi_digit", "1023"sv, 1023},
        ParseCase{"negative", "-5"sv, -5},
        ParseCase{"minus_zero", "-0"sv, 0},
        ParseCase{"plus_zero", "+0"sv, 0},
        ParseCase{"int_max", "2147483647"sv, INT32_MAX},
        ParseCase{"int_min", "-2147483648"sv, INT32_MIN},
        ParseCase{"int_min_leading_zeros", "-0002147483648"sv, INT32_MIN},
        ParseCase{"leading_blank", " 3"sv, NONE},
        ParseCase{"trailing_blank", "3 "sv, NONE},
        ParseCase{"trailing_newline", "3\n"sv, NONE},
        ParseCase{"leading_tab", "\t3"sv, NONE},
        ParseCase{"trailing_letter", "3x"sv, NONE},
        ParseCase{"hex_prefix", "0x3"sv, NONE},
        ParseCase{"decimal_point", "3.0"sv, NONE},
        ParseCase{"exponent", "3e1"sv, NONE},
        ParseCase{"embedded_zero", "3\0"sv, NONE},
        ParseCase{"zero_then_digit", "\0" "3"sv, NONE},
        ParseCase{"int_max_plus_one", "2147483648"sv, NONE},
        ParseCase{"plus_int_max_plus_one", "+2147483648"sv, NONE},
        ParseCase{"int_min_minus_one", "-2147483649"sv, NONE},
        ParseCase{"two_to_the_32_plus_5", "4294967301"sv, NONE},
        ParseCase{"empty", ""sv, NONE},
        ParseCase{"plus_only", "+"sv, NONE},
        ParseCase{"minus_only", "-"sv, NONE},
        ParseCase{"plus_minus", "+-3"sv, NONE},
        ParseCase{"double_minus", "--3"sv, NONE},
        ParseCase{"double_plus", "++3"sv, NONE},
        ParseCase{"sign_after_digits", "3-"sv, NONE},
        ParseCase{"twenty_nines", "99999999999999999999"sv, NONE},
        ParseCase{"wraps_to_small_in_64_bits", "18446744073709551621"sv, NONE},
        ParseCase{"fullwidth_digit", "\xEF\xBC\x93"sv, NONE},
        ParseCase{"arabic_indic_digit", "\xD9\xA3"sv, NONE}),
    [](const auto& info) { return std::string(info.param.name); });

using velmora_test::strtoll_model;

TEST(ParsePipeFdProperty, AgreesWithStrtollModel) {
  std::mt19937 rng(99);
  static constexpr char ALPHABET[] = "0123456789+- x\t\0";
  std::uniform_int_distribution<std::size_t> len_dist(0, 24);
  std::uniform_int_distribution<std::size_t> pick(0, sizeof(ALPHABET) - 1);  // includes the zero
  std::uniform_int_distribution<int> mostly_digits(0, 9);
  for (int i = 0; i < 50000; ++i) {
    std::string s(len_dist(rng), '0');
    for (char& c : s) c = mostly_digits(rng) < 7 ? static_cast<char>('0' + mostly_digits(rng)) : ALPHABET[pick(rng)];
    ASSERT_EQ(parse_pipe_fd(s), strtoll_model(s)) << ::testing::PrintToString(s);
  }
}

TEST(ParsePipeFdProperty, EveryValueNearTheLimitsRoundTrips) {
  // Numbers around zero and both ends of the range, printed and parsed back, with and
  // without an explicit plus sign.
  const int64_t centres[] = {0, INT32_MAX, INT32_MIN};
  for (int64_t centre : centres) {
    for (int64_t v = centre - 1000; v <= centre + 1000; ++v) {
      const std::string text = std::to_string(v);
      const bool fits = v >= INT32_MIN && v <= INT32_MAX;
      const std::optional<int32_t> expected = fits ? std::optional<int32_t>(static_cast<int32_t>(v)) : std::nullopt;
      ASSERT_EQ(parse_pipe_fd(text), expected) << text;
      if (v >= 0) {
        ASSERT_EQ(parse_pipe_fd("+" + text), expected) << text;
      }
    }
  }
}

// The pipe's identity as a host states it: DEV:INO, two unsigned 64-bit decimals.
TEST(ParsePipeIdentity, AcceptsExactlyTwoUnsignedDecimals) {
  EXPECT_EQ(parse_pipe_identity("14:123456"), (PipeIdentity{14, 123456}));
  EXPECT_EQ(parse_pipe_identity("0:18446744073709551615"), (PipeIdentity{0, UINT64_MAX}));
  for (std::string_view bad : {""sv, ":"sv, "14"sv, "14:"sv, ":5"sv, "1:2:3"sv, "-1:2"sv, "+1:2"sv, " 1:2"sv,
                               "1:2 "sv, "0x1:2"sv, "1:18446744073709551616"sv}) {
    EXPECT_EQ(parse_pipe_identity(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace velmora_io
