#include "display_text.h"
#include "json_writer.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora::trace {
namespace {

using namespace std::string_literals;

TEST(Display, PrintableAndUtf8PassThrough) {
  EXPECT_EQ(to_display("file:/tmp/a b.txt"), "file:/tmp/a b.txt");
  EXPECT_EQ(to_display("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"), "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80");
}

TEST(Display, ControlBytesEscaped) {
  EXPECT_EQ(to_display("a\tb\nc\rd"), "a\\tb\\nc\\rd");
  EXPECT_EQ(to_display("\x1b[31mred"), "\\x1b[31mred");
  EXPECT_EQ(to_display("\x7f"s + '\0'), "\\x7f\\x00");
  EXPECT_EQ(to_display("back\\slash"), "back\\\\slash");
}

TEST(Display, MalformedUtf8Escaped) {
  EXPECT_EQ(to_display("\xff\xfe"), "\\xff\\xfe");
  EXPECT_EQ(to_display("\xc3"), "\\xc3");                  // truncated
  EXPECT_EQ(to_display("\xc0\xaf"), "\\xc0\\xaf");         // overlong
  EXPECT_EQ(to_display("\xed\xa0\x80"), "\\xed\\xa0\\x80"); // surrogate
  EXPECT_EQ(to_display("\xf4\x90\x80\x80"), "\\xf4\\x90\\x80\\x80");  // above U+10FFFF
}

TEST(Display, HazardousCharactersEscaped) {
  EXPECT_EQ(to_display("\xc2\x9b" "31m"), "\\u009b31m");             // C1 CSI
  EXPECT_EQ(to_display("a\xe2\x80\xae" "b"), "a\\u202eb");           // right-to-left override
  EXPECT_EQ(to_display("\xef\xbb\xbfx"), "\\ufeffx");                 // byte order mark
}

TEST(Display, WidthAndShortening) {
  EXPECT_EQ(display_width("abc"), 3u);
  EXPECT_EQ(display_width("\xe4\xb8\xad"), 2u);  // wide CJK character
  EXPECT_EQ(display_width("e\xcc\x81"), 1u);     // combining accent
  EXPECT_EQ(shorten_middle("short", 10), "short");
  const std::string s = shorten_middle("abcdefghijklmnopqrstuvwxyz", 11);
  EXPECT_EQ(s, "abcde\u2026vwxyz");
  EXPECT_EQ(display_width(s), 11u);
}

TEST(Display, ShorteningKeepsEscapesWhole) {
  const std::string shown = to_display("\x01\x02\x03\x04\x05\x06\x07\x08");  // 32 columns
  for (std::size_t w = 1; w < 32; ++w) {
    const std::string s = shorten_middle(shown, w);
    EXPECT_LE(display_width(s), w);
    // Every backslash starts a whole \xNN.
    for (std::size_t i = s.find('\\'); i != std::string::npos; i = s.find('\\', i + 1)) {
      ASSERT_LE(i + 4, s.size()) << s;
      EXPECT_EQ(s[i + 1], 'x') << s;
    }
  }
}

TEST(Json, EscapesAndValidUtf8) {
  std::string out;
  EXPECT_TRUE(append_json_string(out, "a\"b\\c\td\ne\x01\x7f\xc3\xa9"));
  EXPECT_EQ(out, "\"a\\\"b\\\\c\\td\\ne\\u0001\\u007f\xc3\xa9\"");
}

TEST(Json, InvalidBytesReplacedAndFlagged) {
  std::string out;
  EXPECT_FALSE(append_json_string(out, "a\xff" "b"));
  EXPECT_EQ(out, "\"a\\ufffdb\"");
}

TEST(Json, LineSeparatorsEscaped) {
  std::string out;
  EXPECT_TRUE(append_json_string(out, "\xe2\x80\xa8"));
  EXPECT_EQ(out, "\"\\u2028\"");
}

TEST(Base64, Padding) {
  const auto b64 = [](std::string_view s) {
    std::string out;
    append_base64(out, s);
    return out;
  };
  EXPECT_EQ(b64(""), "");
  EXPECT_EQ(b64("f"), "Zg==");
  EXPECT_EQ(b64("fo"), "Zm8=");
  EXPECT_EQ(b64("foo"), "Zm9v");
  EXPECT_EQ(b64("\xff\xfe\xfd\xfc"), "//79/A==");
}

}  // namespace
}  // namespace velmora::trace
