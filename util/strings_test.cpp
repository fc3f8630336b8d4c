// The text helpers and UTF-8 validation. (The pointer list is covered by the store's sweep and purge
// tests, which gather more than one block of nodes and reuse a list after clearing it.)
#include "util/strings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <tuple>

#include "util/testing/seed.h"
#include "util/utf8.h"

namespace quillmap {
namespace {

// (The hex dump is checked by the digest vectors of the store's SHA-1 test.)
TEST(Strings, EndsWithAndMkstr) {
  // Rows: s, its length, t, its length, result. A length that counts a final NUL means strlen.
  for (auto [s, ls, t, lt, want] : {std::tuple{"/var/log/", 9, "/", 1, 0}, {"/var/log", 8, "/", 1, 1},
                                     {"ab", 2, "abc", 3, -1}, {"", 1, "/", 1, -1}, {"ab", 3, "b", 2, 0},
                                     {"a\0c", 3, "c", 1, 0}})  // the last counted byte is not NUL: length stays 3
    EXPECT_EQ(ends_with(s, ls, t, lt), want) << s << " / " << t;
  const char* empty = "";
  EXPECT_TRUE(mkstr(nullptr).ptr == nullptr && mkstr(nullptr).len == 0);
  EXPECT_TRUE(mkstr(empty).ptr == empty && mkstr(empty).len == 0);
}

// shm_cpystrn against a plain model: copy min(strlen(src), n - 1) characters and a NUL, return the NUL.
TEST(Strings, CpyStrnMatchesModel) {
  const uint32_t seed = testing::test_seed(20240611);
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937 rng(seed);
  for (int round = 0; round < 2000; ++round) {
    const std::string src = std::string("abcdefghijk").substr(rng() % 12);
    const size_t n = rng() % 16, copied = n == 0 ? 0 : std::min(src.size(), n - 1);
    char dst[32];
    memset(dst, '#', sizeof dst);
    ASSERT_EQ(shm_cpystrn(dst, src.c_str(), n), dst + copied) << "round " << round;
    ASSERT_EQ(std::string(dst, copied + 2), src.substr(0, copied) + std::string(n == 0 ? "#" : "\0", 1) + "#") << round;
  }
}

// A decoder that checks each sequence's shortest form and the scalar-value range.
bool reference_utf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return false;
    uint32_t cp = len == 1 ? c : c & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    const uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < shortest[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

// Random strings of bytes from every lead and continuation range (so every shortest and overlong
// form, surrogate and the neighbours of U+10FFFF) against the reference.
TEST(Utf8, RandomAgainstReference) {
  EXPECT_TRUE(is_valid_utf8(nullptr, 0));
  const std::string euro = "ab\xE2\x82\xAC";  // the length bounds the scan: a cut sequence is invalid
  for (uint64_t n = 0; n <= euro.size(); ++n) EXPECT_EQ(is_valid_utf8(euro.data(), n), n <= 2 || n == 5) << n;
  const uint32_t seed = testing::test_seed(20240611);
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937 rng(seed);
  const unsigned char interesting[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1,
                                       0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  for (int round = 0; round < 200000; ++round) {
    std::string s(rng() % 7, '\0');
    for (auto& ch : s) ch = static_cast<char>(interesting[rng() % sizeof(interesting)]);
    ASSERT_EQ(is_valid_utf8(s.data(), s.size()), reference_utf8(s)) << "round " << round;
  }
}

}  // namespace
}  // namespace quillmap
