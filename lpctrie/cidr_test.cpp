// Address keys as text, and the bit arithmetic at the edges of a key.
#include "lpctrie/cidr.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "lpctrie/key_traits.h"
#include "store/layout.h"

namespace quillmap {
namespace {

int64_t parse(const std::string& text, Cidr* out) {
  std::string padded = text + '/';  // a byte that would change the result if it were read past the length
  return str_to_cidr(padded.data(), text.size(), out);
}

// Accepted texts (result, the address with the bits below the prefix cleared, the mask bit by bit), then refused.
TEST(StrToCidr, AcceptedAndRejectedTexts) {
  const struct {
    const char* text;
    int64_t result;
    std::array<uint8_t, 16> addr;  // IPv4: the first four bytes
    unsigned prefix;
  } cases[] = {
      {"10.1.2.3", kDone, {10, 1, 2, 3}, 32},
      {"10.1.2.3/8", kNothingToDo, {10}, 8},
      {"10.0.0.0/8", kDone, {10}, 8},
      {"1.2.3.4/0", kNothingToDo, {}, 0},
      {"1.2.3.4/024", kNothingToDo, {1, 2, 3}, 24},
      {"10.20.30.40/20", kNothingToDo, {10, 20, 16}, 20},
      {"1..2.3", kDone, {1, 0, 2, 3}, 32},
      {"...", kDone, {}, 32},
      {"010.0.0.1", kDone, {10, 0, 0, 1}, 32},
      {"255.255.255.255/8", kNothingToDo, {255}, 8},
      {"::", kDone, {}, 128},
      {"::1", kDone, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 128},
      {":1::", kDone, {0, 1}, 128},
      {"fe80::1:0:0:0:0/64", kDone, {0xfe, 0x80, 0, 0, 0, 0, 0, 1}, 64},
      {"fe80::1/10", kNothingToDo, {0xfe, 0x80}, 10},
      {"::ffff:1.2.3.4", kDone, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 1, 2, 3, 4}, 128},
      {"1:2:3:4:5:6:7:8", kDone, {0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8}, 128},
      {"1:2:3:4:5:6:1.2.3.4", kDone, {0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 1, 2, 3, 4}, 128},
      {"2001:DB8:ABCD:EF00::/56", kDone, {0x20, 0x01, 0x0d, 0xb8, 0xab, 0xcd, 0xef}, 56},
      {"::/0", kDone, {}, 0},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/1", kNothingToDo, {0x80}, 1},
      {"a:b::c:d/127", kNothingToDo, {0, 0xa, 0, 0xb, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xc, 0, 0xc}, 127},
  };
  for (const auto& c : cases) {
    Cidr cidr{};
    ASSERT_EQ(parse(c.text, &cidr), c.result) << c.text;
    const bool v4 = std::strchr(c.text, ':') == nullptr;
    EXPECT_EQ(cidr.family, v4 ? kFamilyInet : kFamilyInet6) << c.text;
    const auto* addr = v4 ? reinterpret_cast<const uint8_t*>(&cidr.addr4) : cidr.addr6;
    const auto* mask = v4 ? reinterpret_cast<const uint8_t*>(&cidr.mask4) : cidr.mask6;
    EXPECT_EQ(0, std::memcmp(addr, c.addr.data(), v4 ? 4 : 16)) << c.text;
    for (unsigned bit = 0; bit < (v4 ? 32u : 128u); ++bit)
      ASSERT_EQ((mask[bit / 8] >> (7 - bit % 8)) & 1, bit < c.prefix ? 1 : 0) << c.text << " mask bit " << bit;
  }
  for (const char* t : {"", "1.2.3.4/33", "1.2.3.4/", "1.2.3.4/+8", "1.2.3.4/8/1", "/24", "1.2.3", "1.2.3.4.5",
                        "256.1.1.1", "1.2.3.4 ", "1.2.3.4/ 8", "1.2.3.4/-1", "1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:8:9",
                        "1::2::3", "12345::", "1:2:3:4:5:6:7", "1:2:3:4:5:6:7:1.2.3.4", ":", "::/129", "::.1", "g::",
                        "1.2.3.4:", "::1.2.3", "::256.1.1.1", "255.255.255.256", "::/", "::5:", "1::2:",
                        ":1::2:", "::1:2:3:4:5:6:7:1.2.3.4", "1::2:3:4:5:6:7:1.2.3.4"}) {
    Cidr cidr{};
    EXPECT_EQ(parse(t, &cidr), kFailed) << t;
  }
}

// shm_inet_addr: the all-ones address is valid, although it reports failure with the same value (which
// shm_inet_addr_parse tells apart); no byte past the length is read. shm_atoi. (The s6addr conversions
// meet EntryModel: its stored prefixes, and the prefix tables asked at addresses the tries are asked at.)
TEST(SmallParsers, Tables) {
  uint32_t out = 0;
  EXPECT_TRUE(shm_inet_addr_parse("255.255.255.255", 15, &out) && out == 0xFFFFFFFFu);
  EXPECT_FALSE(shm_inet_addr_parse("1.2.3.4.", 8, &out) || shm_inet_addr_parse("1.2.3.999", 9, &out));
  EXPECT_TRUE(shm_inet_addr("1.2.3", 5) == 0xFFFFFFFFu && shm_inet_addr("", 0) == 0xFFFFFFFFu);
  out = shm_inet_addr("192.168.0.1", 11);
  EXPECT_EQ(0, std::memcmp(&out, "\xc0\xa8\x00\x01", 4));
  EXPECT_EQ(shm_inet_addr("1.2.3.45", 7), shm_inet_addr("1.2.3.4", 7));
  const std::pair<const char*, int64_t> cases[] = {
      {"0", 0},   {"024", 24}, {"9223372036854775807", 9223372036854775807}, {"9223372036854775808", -1},
      {"", -1},   {"+1", -1},  {"92233720368547758070", -1},                 {"-1", -1},
      {" 1", -1}, {"1 ", -1},  {"1a", -1}};
  for (auto [text, value] : cases) EXPECT_EQ(shm_atoi(text, std::strlen(text)), value) << text;
}

// The bit arithmetic at the edges of a key (full-width shifts, the root's child index, the boundary of a
// 128-bit key's halves). Every amount passes through rt() so that the compiler cannot fold the call and a
// full-width shift runs as the machine's (amount modulo the width), as in the trie.

using T32 = Trie32Traits;
using T128 = Trie128Traits;
constexpr uint128_t kOnes = ~uint128_t{0};
constexpr uint64_t kLow = ~uint64_t{0};
constexpr uint128_t bit128(unsigned n) { return uint128_t{1} << n; }

unsigned rt(unsigned v) {  // `v`, read back at run time
  volatile unsigned x = v;
  return x;
}

TEST(KeyTraits, BoundaryPositions32) {
  EXPECT_EQ(T32::child_index(0xFFFFFFFFu, 0, rt(32)), 0u);  // at the trie root
  EXPECT_EQ(T32::child_index(0xFFFFFFFFu, 0, rt(0)), 0xFFFFFFFFu);
  EXPECT_TRUE(T32::index_fits(0xFFFFFFFFu, rt(32)) && T32::index_fits(0, rt(0)));
  EXPECT_FALSE(T32::index_fits(uint64_t{1} << 32, rt(32)) || T32::index_fits(1, rt(0)));
  EXPECT_TRUE(T32::clear_below(0xFFFFFFFFu, rt(32)) == 0 && T32::clear_below(0xFFFFFFFFu, rt(0)) == 0xFFFFFFFFu);
  EXPECT_TRUE(T32::highest_differing_bit(0, 1) == 0 && T32::highest_differing_bit(0, 0x80000000u) == 31);
  EXPECT_TRUE(T32::suffix_length(0) == 32 && T32::suffix_length(0xFFFFFFFFu) == 0);
  EXPECT_TRUE(T32::within_suffix(0xFFFFFFFFu, rt(32)) && T32::within_suffix(0, rt(0)));
  EXPECT_FALSE(T32::within_suffix(0x80000000u, rt(31)) || T32::within_suffix(1, rt(0)));
  EXPECT_FALSE(T32::prefix_mismatch(0xFFFFFFFFu, 0));          // key 0 has no lowest one-bit
  EXPECT_TRUE(T32::prefix_mismatch(0x08000000u, 0x0A000000u));  // 10.0.0.0: bit 25 and above count
  EXPECT_TRUE(T32::pow2(rt(32)) == uint64_t{1} << 32 && T32::bit(rt(31)) == 0x80000000u);
  EXPECT_EQ(T32::count_shift_left(2, rt(32)), uint64_t{1} << 33);
}

TEST(KeyTraits, BoundaryPositions128) {
  EXPECT_EQ(T128::child_index(kOnes, 0, rt(128)), 0u);  // at the trie root
  EXPECT_TRUE(T128::index_fits(kOnes, rt(128)) && T128::within_suffix(kOnes, rt(128)));
  for (auto [n, cleared] : {std::pair{128u, uint128_t{0}}, {0u, kOnes}, {64u, T128::make(0, kLow)}})
    EXPECT_TRUE(T128::clear_below(kOnes, rt(n)) == cleared) << n;
  EXPECT_EQ(T128::count_shift_left(2, rt(128)), 0u);
  for (unsigned b : {0u, 63u, 64u, 127u}) EXPECT_EQ(T128::highest_differing_bit(0, bit128(b)), b);
  EXPECT_TRUE(T128::suffix_length(0) == 128 && T128::suffix_length(T128::make(0x8000000000000000u, kLow)) == 63);
}

}  // namespace
}  // namespace quillmap
