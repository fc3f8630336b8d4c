#include "util/utf8.h"
#include "util/testing/seed.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace quillmap {
namespace {

TEST(Utf8, Table) {
  const struct {
    std::string bytes;
    bool valid;
  } cases[] = {
      {"", true}, {"10.0.0.0/8 key", true}, {std::string("a\0b", 3), true}, {"\xC3\xA9", true},
      {"\xE2\x82\xAC", true}, {"\xF0\x9F\x98\x80", true}, {"\xF4\x8F\xBF\xBF", true},  // U+10FFFF
      {"\xED\x9F\xBF", true}, {"\xEE\x80\x80", true},  // U+D7FF and U+E000, around the surrogates
      {"\xE0\xA0\x80", true}, {"\xF0\x90\x80\x80", true},  // smallest three- and four-byte forms
      {"\x80", false}, {"\xC0\xAF", false}, {"\xC1\xBF", false}, {"\xE0\x80\xAF", false},  // overlong
      {"\xE0\x9F\xBF", false}, {"\xF0\x8F\xBF\xBF", false}, {"\xED\xA0\x80", false}, {"\xED\xBF\xBF", false},
      {"\xF4\x90\x80\x80", false}, {"\xF5\x80\x80\x80", false}, {"\xFF", false}, {"\xC3", false},
      {"\xF0\x9F\x98", false}, {"\xE2\x28\xA1", false}, {"caf\xE9", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_valid_utf8(c.bytes.data(), c.bytes.size()), c.valid) << c.bytes;
  EXPECT_TRUE(is_valid_utf8(nullptr, 0));
  // The length bounds the scan: cutting a sequence short makes it invalid.
  const std::string euro = "ab\xE2\x82\xAC";
  for (uint64_t n = 0; n <= euro.size(); ++n) EXPECT_EQ(is_valid_utf8(euro.data(), n), n <= 2 || n == 5) << n;
}

// A decoder that checks each sequence's shortest form and the scalar-value range.
bool reference_valid(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return false;
    uint32_t cp = len == 1 ? c : c & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    const uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < shortest[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

TEST(Utf8, RandomAgainstReference) {
  const uint32_t seed = testing::test_seed(20240611);
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937 rng(seed);
  const unsigned char interesting[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1,
                                       0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  for (int round = 0; round < 200000; ++round) {
    std::string s(rng() % 7, '\0');
    for (auto& ch : s) ch = static_cast<char>(interesting[rng() % sizeof(interesting)]);
    ASSERT_EQ(is_valid_utf8(s.data(), s.size()), reference_valid(s)) << "round " << round;
  }
}

}  // namespace
}  // namespace quillmap
