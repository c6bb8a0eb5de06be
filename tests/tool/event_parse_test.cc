#include "event_parse.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace velmora::trace {
namespace {

using namespace std::string_literals;

ParseError parse(std::string_view line) {
  Event e;
  return parse_event_line(line, e);
}

TEST(EventParse, WellFormedLine) {
  Event e;
  ASSERT_EQ(parse_event_line("read\tfile:/etc/hosts\t3\t100\t101", e), ParseError::none);
  EXPECT_EQ(e.kind, Kind::read);
  EXPECT_EQ(e.detail, "file:/etc/hosts");
  EXPECT_EQ(e.fd, 3);
  EXPECT_EQ(e.pid, 100);
  EXPECT_EQ(e.tid, 101);
}

TEST(EventParse, EveryKind) {
  for (const char* kind : {"read", "write", "close", "connect", "sql_write"}) {
    Event e;
    ASSERT_EQ(parse_event_line(std::string(kind) + "\tx\t1\t2\t3", e), ParseError::none) << kind;
    EXPECT_EQ(kind_name(e.kind), kind);
  }
}

TEST(EventParse, UnknownKind) {
  EXPECT_EQ(parse("open\tfile:/x\t3\t1\t1"), ParseError::unknown_kind);
  EXPECT_EQ(parse("READ\tfile:/x\t3\t1\t1"), ParseError::unknown_kind);
  EXPECT_EQ(parse("\tfile:/x\t3\t1\t1"), ParseError::unknown_kind);
  EXPECT_EQ(parse("read \tfile:/x\t3\t1\t1"), ParseError::unknown_kind);
}

TEST(EventParse, FieldCount) {
  EXPECT_EQ(parse(""), ParseError::field_count);
  EXPECT_EQ(parse("read"), ParseError::field_count);
  EXPECT_EQ(parse("read\tfile:/x\t3\t1"), ParseError::field_count);
  EXPECT_EQ(parse("read\tfile:/x\t3\t1\t1\t"), ParseError::field_count);
  EXPECT_EQ(parse("read\tfile:/x\t3\t1\t1\textra"), ParseError::field_count);
  // A raw TAB inside the detail makes six fields.
  EXPECT_EQ(parse("read\tfile:/a\tb\t3\t1\t1"), ParseError::field_count);
}

TEST(EventParse, EmptyDetailAllowed) {
  Event e;
  ASSERT_EQ(parse_event_line("close\t\t4\t1\t1", e), ParseError::none);
  EXPECT_EQ(e.detail, "");
  EXPECT_EQ(e.kind, Kind::close);
}

TEST(EventParse, EscapesUndone) {
  Event e;
  ASSERT_EQ(parse_event_line("read\tfile:/a\\tb\\nc\\\\d\t3\t1\t1", e), ParseError::none);
  EXPECT_EQ(e.detail, "file:/a\tb\nc\\d");
  ASSERT_EQ(parse_event_line("sql_write\t\\\\\\\\\t3\t1\t1", e), ParseError::none);
  EXPECT_EQ(e.detail, "\\\\");
}

TEST(EventParse, BadEscapes) {
  EXPECT_EQ(parse("read\tfile:/a\\\t3\t1\t1"), ParseError::bad_escape);      // trailing backslash
  EXPECT_EQ(parse("read\t\\\t3\t1\t1"), ParseError::bad_escape);             // lone backslash
  EXPECT_EQ(parse("read\tfile:/a\\r\t3\t1\t1"), ParseError::bad_escape);     // unknown escape
  EXPECT_EQ(parse("read\tfile:/a\\x41\t3\t1\t1"), ParseError::bad_escape);
  EXPECT_EQ(parse("read\tfile:/a\\0\t3\t1\t1"), ParseError::bad_escape);
  EXPECT_EQ(parse("read\tfile:/a\\\\\\\t3\t1\t1"), ParseError::bad_escape);  // \\ then lone '\'
}

TEST(EventParse, RawBytesPassThrough) {
  Event e;
  const std::string detail = "file:/\r\x01\x7f\xff\xfe\xe2\x82\xac"s + '\0' + "z";
  ASSERT_EQ(parse_event_line("write\t" + detail + "\t3\t1\t1", e), ParseError::none);
  EXPECT_EQ(e.detail, detail);
}

TEST(EventParse, StrictNumbers) {
  EXPECT_EQ(parse("read\tx\t+3\t1\t1"), ParseError::bad_fd);
  EXPECT_EQ(parse("read\tx\t03\t1\t1"), ParseError::bad_fd);
  EXPECT_EQ(parse("read\tx\t00\t1\t1"), ParseError::bad_fd);
  EXPECT_EQ(parse("read\tx\t-0\t1\t1"), ParseError::bad_fd);
  EXPECT_EQ(parse("read\tx\t-\t1\t1"), ParseError::bad_fd);
  EXPECT_EQ(parse("read\tx\t\t1\t1"), ParseError::bad_fd);
  EXPECT_EQ(parse("read\tx\t 3\t1\t1"), ParseError::bad_fd);
  EXPECT_EQ(parse("read\tx\t3 \t1\t1"), ParseError::bad_fd);
  EXPECT_EQ(parse("read\tx\t0x3\t1\t1"), ParseError::bad_fd);
  EXPECT_EQ(parse("read\tx\t--3\t1\t1"), ParseError::bad_fd);
  EXPECT_EQ(parse("read\tx\t2147483648\t1\t1"), ParseError::bad_fd);
  EXPECT_EQ(parse("read\tx\t-2147483649\t1\t1"), ParseError::bad_fd);
  EXPECT_EQ(parse("read\tx\t99999999999999999999999\t1\t1"), ParseError::bad_fd);
  EXPECT_EQ(parse("read\tx\t3\t01\t1"), ParseError::bad_pid);
  EXPECT_EQ(parse("read\tx\t3\t+1\t1"), ParseError::bad_pid);
  EXPECT_EQ(parse("read\tx\t3\t4294967296\t1"), ParseError::bad_pid);
  EXPECT_EQ(parse("read\tx\t3\t1\t9223372036854775808"), ParseError::bad_tid);
  EXPECT_EQ(parse("read\tx\t3\t1\t-9223372036854775809"), ParseError::bad_tid);
  EXPECT_EQ(parse("read\tx\t3\t1\t007"), ParseError::bad_tid);
  EXPECT_EQ(parse("read\tx\t3\t1\t1\r"), ParseError::bad_tid);
}

TEST(EventParse, NumberLimits) {
  Event e;
  ASSERT_EQ(parse_event_line("read\tx\t-2147483648\t2147483647\t-9223372036854775808", e), ParseError::none);
  EXPECT_EQ(e.fd, INT32_MIN);
  EXPECT_EQ(e.pid, INT32_MAX);
  EXPECT_EQ(e.tid, INT64_MIN);
  ASSERT_EQ(parse_event_line("read\tx\t0\t-1\t9223372036854775807", e), ParseError::none);
  EXPECT_EQ(e.fd, 0);
  EXPECT_EQ(e.pid, -1);
  EXPECT_EQ(e.tid, INT64_MAX);
}

struct Collected {
  std::vector<Event> events;
};

void feed(LineParser& p, std::string_view bytes, Collected& c) {
  p.feed(bytes, [&](const Event& e) { c.events.push_back(e); });
}

TEST(LineParser, SplitsAcrossChunksAndCounts) {
  const std::string stream =
      "read\tfile:/a\t3\t1\t2\n"
      "garbage line\n"
      "write\tsocket:127.0.0.1:5432\t4\t1\t2\n"
      "\n"
      "close\tfile:/a\t3\t1\t2\n";
  // Every split point, and byte by byte.
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    LineParser p;
    Collected c;
    feed(p, std::string_view(stream).substr(0, cut), c);
    feed(p, std::string_view(stream).substr(cut), c);
    p.finish();
    ASSERT_EQ(c.events.size(), 3u) << cut;
    EXPECT_EQ(p.accepted(), 3u);
    EXPECT_EQ(p.rejected(), 2u);
    EXPECT_EQ(c.events[1].detail, "socket:127.0.0.1:5432");
    EXPECT_EQ(c.events[1].fd, 4);
  }
  LineParser p;
  Collected c;
  for (const char ch : stream) feed(p, std::string_view(&ch, 1), c);
  p.finish();
  EXPECT_EQ(c.events.size(), 3u);
  EXPECT_EQ(p.rejected(), 2u);
}

TEST(LineParser, UnterminatedTailIsRejected) {
  LineParser p;
  Collected c;
  feed(p, "read\tfile:/a\t3\t1\t2\nread\tfile:/b\t3\t1\t2", c);
  EXPECT_EQ(c.events.size(), 1u);
  p.finish();
  EXPECT_EQ(p.rejected(), 1u);
  EXPECT_EQ(p.accepted(), 1u);
}

TEST(LineParser, InterleavedLongLinesRejectedCleanly) {
  // Two long writes torn into each other, as can happen past the pipe's
  // atomic write size.
  const std::string a = "sql_write\t" + std::string(6000, 'a') + "\t5\t10\t11\n";
  const std::string b = "sql_write\t" + std::string(6000, 'b') + "\t6\t10\t12\n";
  const std::string torn = a.substr(0, 4096) + b.substr(0, 4096) + a.substr(4096) + b.substr(4096);
  LineParser p;
  Collected c;
  feed(p, torn + "read\tfile:/ok\t3\t1\t2\n", c);
  p.finish();
  ASSERT_EQ(c.events.size(), 1u);
  EXPECT_EQ(c.events[0].detail, "file:/ok");
  EXPECT_EQ(p.rejected(), 2u);
}

TEST(LineParser, OverlongLineDroppedAndRecovers) {
  LineParser p;
  Collected c;
  const std::string chunk(1 << 20, 'q');
  for (std::size_t sent = 0; sent <= LineParser::kMaxLineBytes; sent += chunk.size()) feed(p, chunk, c);
  feed(p, "tail\nread\tfile:/after\t3\t1\t2\n", c);
  p.finish();
  ASSERT_EQ(c.events.size(), 1u);
  EXPECT_EQ(c.events[0].detail, "file:/after");
  EXPECT_EQ(p.rejected(), 1u);
}

TEST(LineParser, RandomBytesNeverCrash) {
  std::mt19937 rng(12345);
  const std::string alphabet = "read\twrite\tsql_write\t\\tn0123456789-+\n\xff\x00 x"s;
  for (int round = 0; round < 2000; ++round) {
    std::string bytes(rng() % 300, '\0');
    for (char& ch : bytes) ch = alphabet[rng() % alphabet.size()];
    LineParser p;
    std::uint64_t seen = 0;
    p.feed(bytes, [&](const Event&) { ++seen; });
    p.finish();
    EXPECT_EQ(seen, p.accepted());
  }
}

}  // namespace
}  // namespace velmora::trace
