#include "util/utf8.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

namespace quillmap {
namespace {

struct Utf8Case {
  const char* name;
  std::string bytes;
  bool valid;
};

TEST(Utf8, Table) {
  const Utf8Case cases[] = {
      {"empty", "", true},
      {"ascii", "10.0.0.0/8 key", true},
      {"nul byte", std::string("a\0b", 3), true},
      {"two-byte e-acute", "\xC3\xA9", true},
      {"three-byte euro", "\xE2\x82\xAC", true},
      {"four-byte emoji", "\xF0\x9F\x98\x80", true},
      {"largest code point U+10FFFF", "\xF4\x8F\xBF\xBF", true},
      {"U+D7FF before surrogates", "\xED\x9F\xBF", true},
      {"U+E000 after surrogates", "\xEE\x80\x80", true},
      {"U+FFFF", "\xEF\xBF\xBF", true},
      {"smallest three-byte U+0800", "\xE0\xA0\x80", true},
      {"smallest four-byte U+10000", "\xF0\x90\x80\x80", true},
      {"stray continuation", "\x80", false},
      {"overlong slash C0 AF", "\xC0\xAF", false},
      {"overlong C1 BF", "\xC1\xBF", false},
      {"overlong three-byte E0 80 AF", "\xE0\x80\xAF", false},
      {"overlong three-byte E0 9F BF", "\xE0\x9F\xBF", false},
      {"overlong four-byte F0 8F BF BF", "\xF0\x8F\xBF\xBF", false},
      {"surrogate U+D800", "\xED\xA0\x80", false},
      {"surrogate U+DFFF", "\xED\xBF\xBF", false},
      {"above U+10FFFF", "\xF4\x90\x80\x80", false},
      {"lead F5", "\xF5\x80\x80\x80", false},
      {"byte FF", "\xFF", false},
      {"truncated two-byte", "\xC3", false},
      {"truncated four-byte", "\xF0\x9F\x98", false},
      {"bad continuation", "\xE2\x28\xA1", false},
      {"latin-1 text", "caf\xE9", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_valid_utf8(c.bytes.data(), c.bytes.size()), c.valid) << c.name;
  }
  EXPECT_TRUE(is_valid_utf8(nullptr, 0));
}

// A length that cuts a valid sequence short makes it invalid; no byte beyond the length is read.
TEST(Utf8, LengthBoundsTheScan) {
  const std::string euro = "ab\xE2\x82\xAC";
  EXPECT_TRUE(is_valid_utf8(euro.data(), 2));
  EXPECT_FALSE(is_valid_utf8(euro.data(), 3));
  EXPECT_FALSE(is_valid_utf8(euro.data(), 4));
  EXPECT_TRUE(is_valid_utf8(euro.data(), 5));
}

// Encodes a code point the shortest way.
std::string encode(uint32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

// Every scalar value encodes to valid text, every surrogate's encoding is refused.
TEST(Utf8, EveryCodePoint) {
  for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    const std::string s = encode(cp);
    const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    ASSERT_EQ(is_valid_utf8(s.data(), s.size()), !surrogate) << std::hex << cp;
  }
}

// Random byte strings: the validator agrees with a decoder that re-encodes each code point and
// compares with the input (which catches overlongs) and checks the scalar-value range.
bool reference_valid(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return false;
    uint32_t cp = len == 1 ? c : c & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (encode(cp) != s.substr(i, len)) return false;
    i += len;
  }
  return true;
}

TEST(Utf8, RandomAgainstReference) {
  const uint32_t seed = 20240611;
  std::mt19937 rng(seed);
  const unsigned char interesting[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1,
                                       0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  for (int round = 0; round < 200000; ++round) {
    std::string s(rng() % 7, '\0');
    for (auto& ch : s) ch = static_cast<char>(interesting[rng() % sizeof(interesting)]);
    ASSERT_EQ(is_valid_utf8(s.data(), s.size()), reference_valid(s)) << "seed " << seed << " round " << round;
  }
}

}  // namespace
}  // namespace quillmap
