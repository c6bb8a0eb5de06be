#include "sockaddr_name.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <ostream>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "guarded_bytes.h"

namespace velmora_io {
namespace {

using testing::GuardedBytes;
using namespace std::string_view_literals;

template <typename T>
std::string bytes_of(const T& value, std::size_t len = sizeof(T)) {
  std::string out(sizeof(T), '\0');
  std::memcpy(out.data(), &value, sizeof(T));
  out.resize(len, '\0');
  return out;
}

std::string family_bytes(sa_family_t family) { return bytes_of(family); }

// A Unix address exactly as the kernel would hand it over: family, then `path` bytes.
std::string unix_addr(std::string_view path) { return family_bytes(AF_UNIX) + std::string(path); }

std::string full_unix_addr(std::string_view path) {
  sockaddr_un sun{};
  sun.sun_family = AF_UNIX;
  std::memcpy(sun.sun_path, path.data(), path.size());
  return bytes_of(sun);
}

std::string inet_addr(const char* dotted, uint16_t port, std::size_t len = sizeof(sockaddr_in)) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  if (inet_pton(AF_INET, dotted, &sin.sin_addr) != 1) ADD_FAILURE() << dotted;
  return bytes_of(sin, len);
}

std::string inet6_addr(const char* text, uint16_t port, uint32_t flowinfo = 0, uint32_t scope = 0,
                       std::size_t len = sizeof(sockaddr_in6)) {
  sockaddr_in6 sin6{};
  sin6.sin6_family = AF_INET6;
  sin6.sin6_port = htons(port);
  sin6.sin6_flowinfo = htonl(flowinfo);
  sin6.sin6_scope_id = scope;
  if (inet_pton(AF_INET6, text, &sin6.sin6_addr) != 1) ADD_FAILURE() << text;
  return bytes_of(sin6, len);
}

// Names the address from a copy that ends exactly at an inaccessible page.
std::optional<std::string> name_of(std::string_view addr) {
  GuardedBytes guarded(addr);
  const auto name = sockaddr_to_resource(reinterpret_cast<const sockaddr*>(guarded.data()),
                                         static_cast<socklen_t>(guarded.size()));
  if (!name) return std::nullopt;
  return std::string(name->view());
}

std::string repeat(std::string_view s, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += s;
  return out;
}

struct NameCase {
  const char* name;
  std::string addr;
  std::optional<std::string> expected;
  friend void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }
};

class SockaddrName : public ::testing::TestWithParam<NameCase> {};

TEST_P(SockaddrName, NamesTheAddressFromItsValidBytesOnly) {
  EXPECT_EQ(name_of(GetParam().addr), GetParam().expected);
}

const std::optional<std::string> NOTHING = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Unix, SockaddrName,
    ::testing::Values(
        NameCase{"unnamed_socketpair_peer", family_bytes(AF_UNIX), "socket:unix:"},
        NameCase{"path_with_terminating_zero", unix_addr("/tmp/app.sock\0"sv), "socket:unix:/tmp/app.sock"},
        NameCase{"path_without_terminating_zero", unix_addr("/tmp/app.sock"sv), "socket:unix:/tmp/app.sock"},
        NameCase{"full_struct_stops_at_zero", full_unix_addr("/tmp/app.sock"), "socket:unix:/tmp/app.sock"},
        NameCase{"bytes_after_the_zero_ignored", unix_addr("/run/a\0garbage"sv), "socket:unix:/run/a"},
        NameCase{"length_cuts_the_path", unix_addr("/tmp/app.sock"sv).substr(0, 2 + 4), "socket:unix:/tmp"},
        NameCase{"one_path_byte", unix_addr("x"sv), "socket:unix:x"},
        NameCase{"path_escaped", unix_addr("/tmp/a b\\c\n\xE9\x7F~"sv),
                 "socket:unix:/tmp/a b\\\\c\\x0a\\xe9\\x7f~"},
        NameCase{"path_of_108_bytes", unix_addr(std::string(108, 'p')), "socket:unix:" + std::string(108, 'p')},
        NameCase{"path_beyond_108_bytes_ignored", unix_addr(std::string(126, 'p')),
                 "socket:unix:" + std::string(108, 'p')},
        NameCase{"path_all_high_bytes", unix_addr(std::string(108, '\xFF')), "socket:unix:" + repeat("\\xff", 108)},
        NameCase{"path_all_backslashes", unix_addr(std::string(108, '\\')), "socket:unix:" + repeat("\\\\", 108)},
        NameCase{"abstract", unix_addr("\0db"sv), "socket:unix:abstract:db"},
        NameCase{"abstract_empty", unix_addr("\0"sv), "socket:unix:abstract:"},
        NameCase{"abstract_keeps_inner_zeros", unix_addr("\0a\0b"sv), "socket:unix:abstract:a\\x00b"},
        NameCase{"abstract_full_struct_keeps_trailing_zeros", full_unix_addr("\0db"sv),
                 "socket:unix:abstract:db" + repeat("\\x00", 105)},
        NameCase{"abstract_beyond_108_bytes_ignored", unix_addr(std::string(1, '\0') + std::string(126, 'a')),
                 "socket:unix:abstract:" + std::string(107, 'a')},
        NameCase{"abstract_longest_escaped", unix_addr(std::string(1, '\0') + std::string(107, '\x01')),
                 "socket:unix:abstract:" + repeat("\\x01", 107)}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Inet, SockaddrName,
    ::testing::Values(
        NameCase{"loopback", inet_addr("127.0.0.1", 5432), "socket:127.0.0.1:5432"},
        NameCase{"port_zero", inet_addr("10.0.0.255", 0), "socket:10.0.0.255:0"},
        NameCase{"all_ones", inet_addr("255.255.255.255", 65535), "socket:255.255.255.255:65535"},
        NameCase{"any", inet_addr("0.0.0.0", 1), "socket:0.0.0.0:1"},
        NameCase{"port_byte_order", inet_addr("192.168.1.20", 0x0102), "socket:192.168.1.20:258"},
        NameCase{"length_15", inet_addr("127.0.0.1", 5432, 15), NOTHING},
        NameCase{"length_8", inet_addr("127.0.0.1", 5432, 8), NOTHING},
        NameCase{"length_2", family_bytes(AF_INET), NOTHING},
        NameCase{"longer_than_needed", inet_addr("127.0.0.1", 80, sizeof(sockaddr_storage)), "socket:127.0.0.1:80"},
        NameCase{"padding_ignored",
                 [] {
                   std::string a = inet_addr("1.2.3.4", 5);
                   std::memset(a.data() + 8, 0xFF, 8);
                   return a;
                 }(),
                 "socket:1.2.3.4:5"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Inet6, SockaddrName,
    ::testing::Values(
        NameCase{"loopback", inet6_addr("::1", 5432), "socket:[0000:0000:0000:0000:0000:0000:0000:0001]:5432"},
        NameCase{"mapped_ipv4_not_dotted", inet6_addr("::ffff:10.0.0.1", 80),
                 "socket:[0000:0000:0000:0000:0000:ffff:0a00:0001]:80"},
        NameCase{"lowercase_full_groups", inet6_addr("2001:db8:abcd:ef01:2:3:4:5", 443),
                 "socket:[2001:0db8:abcd:ef01:0002:0003:0004:0005]:443"},
        NameCase{"scope_and_flowinfo_not_shown", inet6_addr("fe80::1", 22, 0xABCDE, 3),
                 "socket:[fe80:0000:0000:0000:0000:0000:0000:0001]:22"},
        NameCase{"all_ones", inet6_addr("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 65535),
                 "socket:[ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff]:65535"},
        NameCase{"any_port_zero", inet6_addr("::", 0), "socket:[0000:0000:0000:0000:0000:0000:0000:0000]:0"},
        NameCase{"without_scope_field", inet6_addr("::1", 7, 0, 0, 24), NOTHING},
        NameCase{"length_27", inet6_addr("::1", 5432, 0, 0, 27), NOTHING},
        NameCase{"length_16", inet6_addr("::1", 5432, 0, 0, 16), NOTHING},
        NameCase{"longer_than_needed", inet6_addr("::1", 9, 0, 0, sizeof(sockaddr_storage)),
                 "socket:[0000:0000:0000:0000:0000:0000:0000:0001]:9"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    OtherFamilies, SockaddrName,
    ::testing::Values(
        NameCase{"netlink", bytes_of(sockaddr_nl{AF_NETLINK, 0, 1234, 0}), NOTHING},
        NameCase{"unspecified", family_bytes(AF_UNSPEC) + std::string(14, '\0'), NOTHING},
        NameCase{"packet", family_bytes(AF_PACKET) + std::string(18, '\0'), NOTHING},
        NameCase{"empty", "", NOTHING},
        NameCase{"one_byte_unix", std::string(1, AF_UNIX), NOTHING},
        // Both bytes of the family count: 0x0101 is not a Unix address, nor 0x0102 IPv4.
        NameCase{"family_high_byte_unix", family_bytes(0x0100 | AF_UNIX) + "/tmp/a", NOTHING},
        NameCase{"family_high_byte_inet", family_bytes(0x0100 | AF_INET) + std::string(14, '\0'), NOTHING},
        NameCase{"family_high_byte_inet6", family_bytes(0x0100 | AF_INET6) + std::string(26, '\0'), NOTHING}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SockaddrName, NullAddress) {
  EXPECT_FALSE(sockaddr_to_resource(nullptr, 0).has_value());
  EXPECT_FALSE(sockaddr_to_resource(nullptr, sizeof(sockaddr_in)).has_value());
}

TEST(SockaddrName, LengthBelowTwoReadsNothing) {
  // A zero-length address may point at nothing readable at all.
  GuardedBytes empty("");
  EXPECT_FALSE(sockaddr_to_resource(reinterpret_cast<const sockaddr*>(empty.data()), 0).has_value());
}

TEST(SockaddrName, EveryUnixLengthNamesThePrefixOfThePath) {
  // A 110-byte address whose path is 108 distinct non-zero bytes: each length shows
  // exactly the bytes it covers.
  std::string path;
  for (int i = 0; i < 108; ++i) path += static_cast<char>('A' + i % 26);
  const std::string addr = unix_addr(path);
  for (std::size_t len = 2; len <= addr.size(); ++len) {
    EXPECT_EQ(name_of(std::string_view(addr).substr(0, len)), "socket:unix:" + path.substr(0, len - 2)) << len;
  }
}

struct EscapeCase {
  const char* name;
  std::string_view in;
  std::string_view out;
  friend void PrintTo(const EscapeCase& c, std::ostream* os) { *os << c.name; }
};

class HexEscapeBytes : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(HexEscapeBytes, KeepsPrintableAsciiAndSpellsOutTheRest) {
  const std::string_view in = GetParam().in;
  std::string out(4 * in.size() + 8, '#');
  const std::size_t n = hex_escape_bytes(reinterpret_cast<const unsigned char*>(in.data()), in.size(), out.data());
  EXPECT_EQ(out.substr(n), std::string(8 + 4 * in.size() - n, '#'));
  out.resize(n);
  EXPECT_EQ(out, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HexEscapeBytes,
    ::testing::Values(
        EscapeCase{"empty", ""sv, ""sv},
        EscapeCase{"printable", "/tmp/a b~"sv, "/tmp/a b~"sv},
        EscapeCase{"backslash_doubled", "a\\b"sv, "a\\\\b"sv},
        EscapeCase{"space_kept", " "sv, " "sv},
        EscapeCase{"tilde_kept", "~"sv, "~"sv},
        EscapeCase{"newline", "\n"sv, "\\x0a"sv},
        EscapeCase{"tab", "\t"sv, "\\x09"sv},
        EscapeCase{"zero", "\0"sv, "\\x00"sv},
        EscapeCase{"unit_separator", "\x1F"sv, "\\x1f"sv},
        EscapeCase{"del", "\x7F"sv, "\\x7f"sv},
        EscapeCase{"high_bit", "\x80"sv, "\\x80"sv},
        EscapeCase{"latin1_e_acute", "\xE9"sv, "\\xe9"sv},
        EscapeCase{"ff", "\xFF"sv, "\\xff"sv},
        EscapeCase{"utf8_spelled_bytewise", "\xC3\xA9"sv, "\\xc3\\xa9"sv},
        EscapeCase{"looks_like_an_escape", "\\x41"sv, "\\\\x41"sv}),
    [](const auto& info) { return std::string(info.param.name); });

// Undoes hex_escape_bytes; nothing when the text is not something it could produce.
std::optional<std::string> unescape_hex(std::string_view s) {
  std::string out;
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < s.size();) {
    if (s[i] != '\\') {
      out += s[i++];
      continue;
    }
    if (i + 1 < s.size() && s[i + 1] == '\\') {
      out += '\\';
      i += 2;
      continue;
    }
    if (i + 3 >= s.size() || s[i + 1] != 'x' || hex(s[i + 2]) < 0 || hex(s[i + 3]) < 0) return std::nullopt;
    out += static_cast<char>(hex(s[i + 2]) * 16 + hex(s[i + 3]));
    i += 4;
  }
  return out;
}

TEST(SockaddrNameProperty, RandomAddressesGivePrintableBoundedNames) {
  std::mt19937 rng(4242);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> len_dist(0, 130);
  std::uniform_int_distribution<int> family_pick(0, 5);
  std::uniform_int_distribution<int> sparse(0, 7);
  const sa_family_t families[] = {AF_UNIX, AF_UNIX, AF_INET, AF_INET6, AF_NETLINK};
  for (int i = 0; i < 20000; ++i) {
    std::string addr(static_cast<std::size_t>(len_dist(rng)), '\0');
    // Zero bytes are common in real addresses; make them common here too.
    for (char& c : addr) c = sparse(rng) == 0 ? '\0' : static_cast<char>(byte(rng));
    const int f = family_pick(rng);
    sa_family_t family = 0;
    if (f < 5 && addr.size() >= 2) {
      family = families[f];
      std::memcpy(addr.data(), &family, sizeof(family));
    } else if (addr.size() >= 2) {
      std::memcpy(&family, addr.data(), sizeof(family));
    }

    const std::optional<std::string> name = name_of(addr);  // faults on an over-read
    const bool known = family == AF_UNIX || family == AF_INET || family == AF_INET6;
    if (!known || addr.size() < 2) {
      EXPECT_FALSE(name.has_value()) << ::testing::PrintToString(addr);
      continue;
    }
    const bool long_enough = family == AF_UNIX || (family == AF_INET && addr.size() >= sizeof(sockaddr_in)) ||
                             (family == AF_INET6 && addr.size() >= sizeof(sockaddr_in6));
    ASSERT_EQ(name.has_value(), long_enough) << ::testing::PrintToString(addr);
    if (!name) continue;
    ASSERT_LE(name->size(), SOCKET_NAME_CAPACITY);
    for (char c : *name) ASSERT_TRUE(c >= 0x20 && c <= 0x7E) << ::testing::PrintToString(*name);

    if (family == AF_UNIX) {
      // The escaped bytes decode back to exactly what the address held.
      const std::string body(std::string_view(addr).substr(2, 108));
      std::string expected;
      std::string_view shown(*name);
      ASSERT_TRUE(shown.starts_with("socket:unix:"));
      shown.remove_prefix(12);
      if (!body.empty() && body[0] == '\0') {
        ASSERT_TRUE(shown.starts_with("abstract:")) << *name;
        shown.remove_prefix(9);
        expected = body.substr(1);
      } else {
        expected = body.substr(0, body.find('\0'));
      }
      EXPECT_EQ(unescape_hex(shown), expected) << ::testing::PrintToString(addr);
    }
  }
}

}  // namespace
}  // namespace velmora_io
