#include "lpctrie/cidr.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <string>

#include "store/layout.h"

namespace quillmap {
namespace {

int64_t parse(const std::string& text, Cidr* out) {
  // A copy without a terminator behind it, so reading past the length would be caught by sanitizers.
  std::unique_ptr<char[]> exact(new char[text.size() + 1]);
  std::memcpy(exact.get(), text.data(), text.size());
  exact[text.size()] = '/';  // a byte that would change the result if it were read
  return str_to_cidr(exact.get(), text.size(), out);
}

std::array<uint8_t, 4> bytes4(uint32_t network_order) {
  std::array<uint8_t, 4> b;
  std::memcpy(b.data(), &network_order, 4);
  return b;
}

struct V4Case {
  const char* text;
  int64_t result;
  std::array<uint8_t, 4> addr;
  std::array<uint8_t, 4> mask;
};

TEST(StrToCidr, IPv4Table) {
  const V4Case cases[] = {
      {"10.1.2.3", kDone, {10, 1, 2, 3}, {255, 255, 255, 255}},
      {"10.1.2.3/8", kNothingToDo, {10, 0, 0, 0}, {255, 0, 0, 0}},
      {"10.0.0.0/8", kDone, {10, 0, 0, 0}, {255, 0, 0, 0}},
      {"1.2.3.4/0", kNothingToDo, {0, 0, 0, 0}, {0, 0, 0, 0}},
      {"0.0.0.0/0", kDone, {0, 0, 0, 0}, {0, 0, 0, 0}},
      {"1.2.3.4/024", kNothingToDo, {1, 2, 3, 0}, {255, 255, 255, 0}},
      {"1.2.3.4/32", kDone, {1, 2, 3, 4}, {255, 255, 255, 255}},
      {"10.20.30.40/20", kNothingToDo, {10, 20, 16, 0}, {255, 255, 240, 0}},
      {"1..2.3", kDone, {1, 0, 2, 3}, {255, 255, 255, 255}},
      {"...", kDone, {0, 0, 0, 0}, {255, 255, 255, 255}},
      {"010.0.0.1", kDone, {10, 0, 0, 1}, {255, 255, 255, 255}},
      {"255.255.255.255", kDone, {255, 255, 255, 255}, {255, 255, 255, 255}},
      {"255.255.255.255/32", kDone, {255, 255, 255, 255}, {255, 255, 255, 255}},
      {"255.255.255.255/8", kNothingToDo, {255, 0, 0, 0}, {255, 0, 0, 0}},
  };
  for (const V4Case& c : cases) {
    SCOPED_TRACE(c.text);
    Cidr cidr{};
    ASSERT_EQ(parse(c.text, &cidr), c.result);
    EXPECT_EQ(cidr.family, kFamilyInet);
    EXPECT_EQ(bytes4(cidr.addr4), c.addr);
    EXPECT_EQ(bytes4(cidr.mask4), c.mask);
  }
}

TEST(StrToCidr, RejectedTexts) {
  const char* texts[] = {
      "",          "1.2.3.4/33",        "1.2.3.4/",         "1.2.3.4/+8",     "1.2.3.4/8/1",
      "/24",       "1.2.3",             "1.2.3.4.5",        "256.1.1.1",      "1.2.3.4 ",
      "1.2.3.4/ 8", "1.2.3.4/-1",       "1:2:3:4:5:6:7::",  "1:2:3:4:5:6:7:8:9", "1::2::3",
      "12345::",   "1:2:3:4:5:6:7",     "1:2:3:4:5:6:7:1.2.3.4", ":",        "::/129",
      "::.1",      "g::",               "1.2.3.4:",         "::1.2.3",        "::256.1.1.1",
      "255.255.255.256", "::/",
  };
  for (const char* t : texts) {
    Cidr cidr{};
    EXPECT_EQ(parse(t, &cidr), kFailed) << t;
  }
}

struct V6Case {
  const char* text;
  int64_t result;
  std::array<uint8_t, 16> addr;
  unsigned prefix;
};

TEST(StrToCidr, IPv6Table) {
  const V6Case cases[] = {
      {"::", kDone, {}, 128},
      {"::1", kDone, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 128},
      {"1::", kDone, {0, 1}, 128},
      {":1::", kDone, {0, 1}, 128},
      {"fe80::1/64", kNothingToDo, {0xfe, 0x80}, 64},
      {"fe80::1:0:0:0:0/64", kDone, {0xfe, 0x80, 0, 0, 0, 0, 0, 1}, 64},
      {"fe80::1/10", kNothingToDo, {0xfe, 0x80}, 10},
      {"::ffff:1.2.3.4", kDone, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 1, 2, 3, 4}, 128},
      {"1:2:3:4:5:6:7:8", kDone, {0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8}, 128},
      {"1:2:3:4:5:6:1.2.3.4", kDone, {0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 1, 2, 3, 4}, 128},
      {"2001:DB8::/32", kDone, {0x20, 0x01, 0x0d, 0xb8}, 32},
      {"2001:db8::/32", kDone, {0x20, 0x01, 0x0d, 0xb8}, 32},
      {"2001:db8:0:1::1/48", kNothingToDo, {0x20, 0x01, 0x0d, 0xb8}, 48},
      {"::/0", kDone, {}, 0},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/1", kNothingToDo, {0x80}, 1},
      {"a:b::c:d/127", kNothingToDo, {0, 0xa, 0, 0xb, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xc, 0, 0xc}, 127},
  };
  for (const V6Case& c : cases) {
    SCOPED_TRACE(c.text);
    Cidr cidr{};
    ASSERT_EQ(parse(c.text, &cidr), c.result);
    EXPECT_EQ(cidr.family, kFamilyInet6);
    EXPECT_EQ(0, std::memcmp(cidr.addr6, c.addr.data(), 16));
    for (unsigned bit = 0; bit < 128; ++bit) {
      bool one = (cidr.mask6[bit / 8] >> (7 - bit % 8)) & 1;
      ASSERT_EQ(one, bit < c.prefix) << "mask bit " << bit;
    }
  }
}

TEST(StrToCidr, HexCaseDoesNotMatter) {
  Cidr lower{}, upper{};
  ASSERT_EQ(parse("abcd:ef01::bcde:f/100", &lower), kNothingToDo);
  ASSERT_EQ(parse("ABCD:EF01::BCDE:F/100", &upper), kNothingToDo);
  EXPECT_EQ(0, std::memcmp(&lower, &upper, sizeof lower));
}

TEST(StrToCidr, AddressNeverHasBitsOutsideTheMask) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 2000; ++i) {
    std::string text;
    if (i % 2 == 0) {
      text = std::to_string(rng() % 256) + "." + std::to_string(rng() % 256) + "." + std::to_string(rng() % 256) +
             "." + std::to_string(rng() % 256) + "/" + std::to_string(rng() % 33);
    } else {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%x:%x::%x:%x/%u", unsigned(rng() % 65536), unsigned(rng() % 65536),
                    unsigned(rng() % 65536), unsigned(rng() % 65536), unsigned(rng() % 129));
      text = buf;
    }
    Cidr cidr{};
    int64_t r = parse(text, &cidr);
    ASSERT_TRUE(r == kDone || r == kNothingToDo) << text;
    if (cidr.family == kFamilyInet) {
      ASSERT_EQ(cidr.addr4 & ~cidr.mask4, 0u) << text;
    } else {
      for (int b = 0; b < 16; ++b) ASSERT_EQ(cidr.addr6[b] & ~cidr.mask6[b] & 0xFF, 0) << text;
    }
  }
}

TEST(ShmInetAddr, FailureValueAndSeparateReport) {
  EXPECT_EQ(shm_inet_addr("1.2.3", 5), 0xFFFFFFFFu);
  EXPECT_EQ(shm_inet_addr("", 0), 0xFFFFFFFFu);
  EXPECT_EQ(shm_inet_addr("255.255.255.255", 15), 0xFFFFFFFFu);
  uint32_t out = 0;
  EXPECT_TRUE(shm_inet_addr_parse("255.255.255.255", 15, &out));
  EXPECT_EQ(out, 0xFFFFFFFFu);
  EXPECT_FALSE(shm_inet_addr_parse("1.2.3.4.", 8, &out));
  EXPECT_FALSE(shm_inet_addr_parse("1.2.3.999", 9, &out));
  EXPECT_EQ(bytes4(shm_inet_addr("192.168.0.1", 11)), (std::array<uint8_t, 4>{192, 168, 0, 1}));
  EXPECT_EQ(shm_inet_addr("1.2.3.45", 7), shm_inet_addr("1.2.3.4", 7));  // no byte past the length is read
}

TEST(ShmAtoi, Table) {
  struct Case {
    const char* text;
    int64_t value;
  } cases[] = {
      {"0", 0},
      {"024", 24},
      {"9223372036854775807", 9223372036854775807},
      {"9223372036854775808", -1},
      {"92233720368547758070", -1},
      {"", -1},
      {"+1", -1},
      {"-1", -1},
      {" 1", -1},
      {"1 ", -1},
      {"1a", -1},
  };
  for (const Case& c : cases) EXPECT_EQ(shm_atoi(c.text, std::strlen(c.text)), c.value) << c.text;
}

TEST(S6Addr, RoundTripAndByteOrder) {
  uint8_t bytes[16];
  for (int i = 0; i < 16; ++i) bytes[i] = static_cast<uint8_t>(i + 1);
  unsigned __int128 v = s6addr_to_uint128(bytes);
  EXPECT_EQ(static_cast<uint64_t>(v >> 64), 0x0102030405060708u);
  EXPECT_EQ(static_cast<uint64_t>(v), 0x090a0b0c0d0e0f10u);
  uint8_t back[16];
  uint128_to_s6addr(static_cast<uint64_t>(v), static_cast<uint64_t>(v >> 64), back);
  EXPECT_EQ(0, std::memcmp(bytes, back, 16));
}

}  // namespace
}  // namespace quillmap
