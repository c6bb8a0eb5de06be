#include "utf8.h"

#include <cstdint>
#include <random>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace velmora_io {
namespace {

using namespace std::string_view_literals;

const std::string REPLACEMENT = "\xEF\xBF\xBD";

std::string lossy(std::string_view in) {
  std::string out(lossy_utf8_capacity(in.size()) + 8, '#');
  const std::size_t n = lossy_utf8(in, out.data());
  EXPECT_LE(n, lossy_utf8_capacity(in.size()));
  // Nothing written past the reported count.
  EXPECT_EQ(out.substr(n).find_first_not_of('#'), std::string::npos) << "input size " << in.size();
  out.resize(n);
  return out;
}

std::string repeat(std::string_view s, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += s;
  return out;
}

// A validity test and a lossy conversion built the other way round: from the encoder.
// Every scalar value is encoded once; a byte run is well formed when it is one of those
// encodings, and a maximal ill-formed subpart is the longest run that begins one of them.
class EncoderModel {
 public:
  EncoderModel() : prefix2_(1u << 16), prefix3_(1u << 24), whole2_(1u << 16), whole3_(1u << 24) {
    for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
      if (cp >= 0xD800 && cp <= 0xDFFF) continue;
      const std::string e = encode(cp);
      prefix1_[byte(e, 0)] = true;
      if (e.size() == 1) whole1_[byte(e, 0)] = true;
      if (e.size() >= 2) {
        prefix2_[key(e, 2)] = true;
        if (e.size() == 2) whole2_[key(e, 2)] = true;
      }
      if (e.size() >= 3) {
        prefix3_[key(e, 3)] = true;
        if (e.size() == 3) whole3_[key(e, 3)] = true;
      }
    }
  }

  // The length of the longest run at `s` that begins some encoding (0 if none), and
  // whether that run is a whole encoding.
  std::pair<std::size_t, bool> longest(std::string_view s) const {
    std::size_t best = 0;
    bool whole = false;
    for (std::size_t k = 1; k <= 4 && k <= s.size(); ++k) {
      bool is_prefix = false, is_whole = false;
      if (k == 1) is_prefix = prefix1_[byte(s, 0)], is_whole = whole1_[byte(s, 0)];
      if (k == 2) is_prefix = prefix2_[key(s, 2)], is_whole = whole2_[key(s, 2)];
      if (k == 3) is_prefix = prefix3_[key(s, 3)], is_whole = whole3_[key(s, 3)];
      // Four-byte encodings: the first three bytes begin one, the last is any continuation.
      if (k == 4) is_prefix = is_whole = prefix3_[key(s, 3)] && !whole3_[key(s, 3)] &&
                                         byte(s, 3) >= 0x80 && byte(s, 3) <= 0xBF;
      if (!is_prefix) break;
      best = k;
      whole = is_whole;
      if (is_whole) break;
    }
    return {best, whole};
  }

  bool valid(std::string_view s) const {
    while (!s.empty()) {
      auto [len, whole] = longest(s);
      if (!whole) return false;
      s.remove_prefix(len);
    }
    return true;
  }

  std::string lossy(std::string_view s) const {
    std::string out;
    while (!s.empty()) {
      auto [len, whole] = longest(s);
      if (whole) {
        out.append(s.substr(0, len));
      } else {
        out += REPLACEMENT;
        if (len == 0) len = 1;
      }
      s.remove_prefix(len);
    }
    return out;
  }

  static std::string encode(uint32_t cp) {
    std::string e;
    if (cp < 0x80) {
      e += static_cast<char>(cp);
    } else if (cp < 0x800) {
      e += static_cast<char>(0xC0 | (cp >> 6));
      e += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      e += static_cast<char>(0xE0 | (cp >> 12));
      e += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      e += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      e += static_cast<char>(0xF0 | (cp >> 18));
      e += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      e += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      e += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return e;
  }

 private:
  static unsigned byte(std::string_view s, std::size_t i) { return static_cast<unsigned char>(s[i]); }
  static uint32_t key(std::string_view s, std::size_t k) {
    uint32_t v = 0;
    for (std::size_t i = 0; i < k; ++i) v = (v << 8) | byte(s, i);
    return v;
  }

  bool prefix1_[256] = {};
  bool whole1_[256] = {};
  std::vector<bool> prefix2_, prefix3_, whole2_, whole3_;
};

const EncoderModel& model() {
  static const EncoderModel m;
  return m;
}

struct ValidityCase {
  const char* name;
  std::string_view bytes;
  bool valid;
  friend void PrintTo(const ValidityCase& c, std::ostream* os) { *os << c.name; }
};

class Utf8Validity : public ::testing::TestWithParam<ValidityCase> {};

TEST_P(Utf8Validity, MatchesUnicodeWellFormedness) {
  EXPECT_EQ(is_valid_utf8(GetParam().bytes), GetParam().valid);
  // Well-formed input passes through the lossy conversion unchanged, and only it does.
  EXPECT_EQ(lossy(GetParam().bytes) == GetParam().bytes, GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8Validity,
    ::testing::Values(
        ValidityCase{"empty", ""sv, true},
        ValidityCase{"ascii", "SELECT 1"sv, true},
        ValidityCase{"embedded_zero", "a\0b"sv, true},
        ValidityCase{"del", "\x7F"sv, true},
        ValidityCase{"two_byte_lowest", "\xC2\x80"sv, true},
        ValidityCase{"e_acute", "caf\xC3\xA9"sv, true},
        ValidityCase{"two_byte_highest", "\xDF\xBF"sv, true},
        ValidityCase{"three_byte_lowest", "\xE0\xA0\x80"sv, true},
        ValidityCase{"before_surrogates", "\xED\x9F\xBF"sv, true},
        ValidityCase{"after_surrogates", "\xEE\x80\x80"sv, true},
        ValidityCase{"three_byte_highest", "\xEF\xBF\xBF"sv, true},
        ValidityCase{"four_byte_lowest", "\xF0\x90\x80\x80"sv, true},
        ValidityCase{"plane_one_emoji", "\xF0\x9F\x98\x80"sv, true},
        ValidityCase{"highest_scalar", "\xF4\x8F\xBF\xBF"sv, true},
        ValidityCase{"lone_continuation", "\x80"sv, false},
        ValidityCase{"last_continuation", "\xBF"sv, false},
        ValidityCase{"overlong_c0", "\xC0\x80"sv, false},
        ValidityCase{"overlong_c1", "\xC1\xBF"sv, false},
        ValidityCase{"overlong_slash", "\xC0\xAF"sv, false},
        ValidityCase{"overlong_three_byte", "\xE0\x80\x80"sv, false},
        ValidityCase{"overlong_three_byte_highest", "\xE0\x9F\xBF"sv, false},
        ValidityCase{"surrogate_lowest", "\xED\xA0\x80"sv, false},
        ValidityCase{"surrogate_highest", "\xED\xBF\xBF"sv, false},
        ValidityCase{"surrogate_pair", "\xED\xA0\xBD\xED\xB8\x80"sv, false},
        ValidityCase{"overlong_four_byte", "\xF0\x80\x80\x80"sv, false},
        ValidityCase{"overlong_four_byte_highest", "\xF0\x8F\xBF\xBF"sv, false},
        ValidityCase{"above_max", "\xF4\x90\x80\x80"sv, false},
        ValidityCase{"lead_f5", "\xF5\x80\x80\x80"sv, false},
        ValidityCase{"lead_f8_five_byte", "\xF8\x88\x80\x80\x80"sv, false},
        ValidityCase{"lead_fe", "\xFE"sv, false},
        ValidityCase{"lead_ff", "\xFF"sv, false},
        ValidityCase{"latin1_e_acute", "caf\xE9"sv, false},
        ValidityCase{"truncated_two_byte", "\xC3"sv, false},
        ValidityCase{"truncated_three_byte", "\xE1\x80"sv, false},
        ValidityCase{"truncated_four_byte", "\xF1\x80\x80"sv, false},
        ValidityCase{"ascii_after_lead", "\xC3\x41"sv, false},
        ValidityCase{"ascii_inside_three_byte", "\xE1\x80\x41"sv, false},
        ValidityCase{"continuation_after_whole", "\xC3\xA9\x80"sv, false},
        ValidityCase{"bad_byte_after_long_ascii_run", "0123456789abcdef0123456789abcdef\xFF"sv, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct LossyCase {
  const char* name;
  std::string_view in;
  std::string out;
  friend void PrintTo(const LossyCase& c, std::ostream* os) { *os << c.name; }
};

class Utf8Lossy : public ::testing::TestWithParam<LossyCase> {};

TEST_P(Utf8Lossy, ReplacesEachMaximalIllFormedSubpart) {
  EXPECT_EQ(lossy(GetParam().in), GetParam().out);
}

const std::string R = REPLACEMENT;

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8Lossy,
    ::testing::Values(
        LossyCase{"empty", ""sv, ""},
        LossyCase{"well_formed_unchanged", "/tmp/caf\xC3\xA9 \xF0\x9F\x98\x80"sv, "/tmp/caf\xC3\xA9 \xF0\x9F\x98\x80"},
        LossyCase{"lone_ff", "\xFF"sv, R},
        LossyCase{"ff_between_ascii", "a\xFF" "b"sv, "a" + R + "b"},
        LossyCase{"truncated_four_byte_then_ascii", "\xF1\x80\x80\x41"sv, R + "A"},
        LossyCase{"overlong_is_two_subparts", "\xC0\xAF"sv, R + R},
        LossyCase{"surrogate_is_three_subparts", "\xED\xA0\x80"sv, R + R + R},
        LossyCase{"above_max_is_four_subparts", "\xF4\x90\x80\x80"sv, R + R + R + R},
        LossyCase{"overlong_three_byte_is_three_subparts", "\xE0\x80\x80"sv, R + R + R},
        LossyCase{"truncated_at_end", "\xE1\x80"sv, R},
        LossyCase{"truncated_four_byte_at_end", "\xF0\x90\x80"sv, R},
        LossyCase{"lead_then_lead", "\xC3\xC3\xA9"sv, R + "\xC3\xA9"},
        LossyCase{"two_continuations", "\x80\xBF"sv, R + R},
        LossyCase{"embedded_zero_kept", "a\0\xFF"sv, std::string("a\0", 2) + R},
        LossyCase{"latin1_path", "/tmp/caf\xE9.txt"sv, "/tmp/caf" + R + ".txt"},
        // The Unicode Standard's own worked example of U+FFFD substitution.
        LossyCase{"standard_example", "\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64"sv,
                  "a" + R + R + R + "b" + R + "c" + R + R + "d"},
        LossyCase{"every_byte_bad", "\xFF\xFE\xFD"sv, R + R + R},
        LossyCase{"long_bad_run", std::string_view("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 10), repeat(R, 10)}),
    [](const auto& info) { return std::string(info.param.name); });

// Random byte strings drawn mostly from the bytes where the rules have edges.
std::string random_bytes(std::mt19937& rng, std::size_t max_len) {
  static constexpr unsigned char INTERESTING[] = {
      0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
      0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
  std::uniform_int_distribution<std::size_t> len_dist(0, max_len);
  std::uniform_int_distribution<int> choose(0, 3);
  std::uniform_int_distribution<std::size_t> pick(0, sizeof(INTERESTING) - 1);
  std::uniform_int_distribution<int> any(0, 255);
  std::string s(len_dist(rng), '\0');
  for (char& c : s) c = static_cast<char>(choose(rng) == 0 ? any(rng) : INTERESTING[pick(rng)]);
  return s;
}

TEST(Utf8Property, AgreesWithEncoderBuiltModel) {
  std::mt19937 rng(20240611);
  for (int i = 0; i < 20000; ++i) {
    const std::string in = random_bytes(rng, 12);
    const bool valid = model().valid(in);
    ASSERT_EQ(is_valid_utf8(in), valid) << ::testing::PrintToString(in);
    const std::string out = lossy(in);
    ASSERT_EQ(out, model().lossy(in)) << ::testing::PrintToString(in);
    ASSERT_TRUE(is_valid_utf8(out)) << ::testing::PrintToString(in);
  }
}

TEST(Utf8Property, EveryScalarValueIsValidAndEverySurrogateIsNot) {
  for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    const std::string e = EncoderModel::encode(cp);
    const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    ASSERT_EQ(is_valid_utf8(e), !surrogate) << std::hex << cp;
    // The host's display decides on code points: each one decodes to itself.
    if (surrogate) continue;
    const Utf8Step step = next_utf8(e);
    ASSERT_TRUE(step.valid && step.length == e.size() && step.code_point == cp) << std::hex << cp;
  }
}

TEST(Utf8Property, EveryTwoByteInputAgreesWithModel) {
  for (unsigned a = 0; a < 256; ++a) {
    for (unsigned b = 0; b < 256; ++b) {
      const char bytes[2] = {static_cast<char>(a), static_cast<char>(b)};
      const std::string_view in(bytes, 2);
      ASSERT_EQ(is_valid_utf8(in), model().valid(in)) << std::hex << a << " " << b;
      ASSERT_EQ(lossy(in), model().lossy(in)) << std::hex << a << " " << b;
    }
  }
}

}  // namespace
}  // namespace velmora_io
