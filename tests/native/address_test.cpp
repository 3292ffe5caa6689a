// Numeric address parsing, checked against the C library's own parser for
// every input the two should agree on, plus our deliberate refusals.
#include <arpa/inet.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "net/address.hpp"

using namespace vorn::net;

namespace {

bool ours6(const std::string& s, in6_addr* addr) {
  sockaddr_in6 sa;
  if (!parseIp6(s, 0, &sa)) return false;
  *addr = sa.sin6_addr;
  return true;
}

}  // namespace

TEST(Ip4, AcceptsDottedQuadsOnly) {
  sockaddr_in sa;
  ASSERT_TRUE(parseIp4("127.0.0.1", 8080, &sa));
  EXPECT_EQ(sa.sin_family, AF_INET);
  EXPECT_EQ(ntohs(sa.sin_port), 8080);
  EXPECT_EQ(ntohl(sa.sin_addr.s_addr), 0x7f000001u);
  ASSERT_TRUE(parseIp4("010.0.0.255", 0, &sa));  // leading zeros are decimal
  EXPECT_EQ(ntohl(sa.sin_addr.s_addr), 0x0a0000ffu);
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.0.0.1", "1..2.3", "1.2.3.", ".1.2.3", "+1.2.3.4", "1_0.2.3.4",
                          "-0.1.2.3", "1.2.3.4 ", "a.b.c.d", "99999999999.1.1.1"}) {
    EXPECT_FALSE(parseIp4(bad, 0, &sa)) << bad;
  }
}

TEST(Ip6, AgreesWithTheCLibraryOnPlainForms) {
  for (const char* text :
       {"::", "::1", "1::", "fe80::1:2", "2001:db8::8a2e:370:7334", "1:2:3:4:5:6:7:8",
        "1:2:3:4:5:6:7::", "::2:3:4:5:6:7:8", "ABCD:ef01::", "0:0:0:0:0:0:0:0", "1::8", "1:2::7:8"}) {
    in6_addr ours{}, libc{};
    ASSERT_TRUE(ours6(text, &ours)) << text;
    ASSERT_EQ(::inet_pton(AF_INET6, text, &libc), 1) << text;
    EXPECT_EQ(std::memcmp(&ours, &libc, sizeof ours), 0) << text;
  }
  sockaddr_storage ss;
  EXPECT_EQ(parseNumericAddress("::1", 443, &ss), 28u);
  auto* sa6 = reinterpret_cast<sockaddr_in6*>(&ss);
  EXPECT_EQ(sa6->sin6_family, AF_INET6);
  EXPECT_EQ(ntohs(sa6->sin6_port), 443);
  EXPECT_EQ(sa6->sin6_flowinfo, 0u);
  EXPECT_EQ(sa6->sin6_scope_id, 0u);
  EXPECT_EQ(parseNumericAddress("10.1.2.3", 1, &ss), 16u);
}

TEST(Ip6, Rejections) {
  in6_addr a;
  for (const char* bad : {"", ":", ":1", "1:", ":::", "1:::2", "1::2::3", "1:2:3:4:5:6:7", "1:2:3:4:5:6:7:8:9",
                          "1:2:3:4:5:6:7:8:9::", "10000::", "fe80::1%eth0", "::ffff:1.2.3.4", "g::", "1.2.3",
                          "1.2.3.4.5", "localhost", " ::1"}) {
    EXPECT_FALSE(ours6(bad, &a)) << bad;
  }
  // Leading zeros are fine as long as the value fits in 16 bits, and "::"
  // may stand for no group at all.
  EXPECT_TRUE(ours6("00000001::", &a));
  EXPECT_TRUE(ours6("1:2:3:4:5:6:7:8::", &a));
  EXPECT_TRUE(ours6("::1:2:3:4:5:6:7:8", &a));
}
