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

// The length bounds the scan: a sequence cut by it is invalid. The shortest forms next to the overlong
// ones and the last lead byte. (Random texts are checked against the client's own validator by
// TextEncoding.JsonRoundTripModel.)
TEST(Utf8, BoundariesAndTheLength) {
  EXPECT_TRUE(is_valid_utf8(nullptr, 0));
  for (auto [text, valid] : {std::pair{"\xE0\x9F\xBF", false}, {"\xE0\xA0\x80", true}, {"\xF0\x8F\xBF\xBF", false},
                             {"\xF0\x90\x80\x80", true}, {"\xF4\x8F\xBF\xBF", true}, {"\xF5\x80\x80\x80", false}})
    EXPECT_EQ(is_valid_utf8(text, strlen(text)), valid) << text;
  const std::string euro = "ab\xE2\x82\xAC";
  for (uint64_t n = 0; n <= euro.size(); ++n) EXPECT_EQ(is_valid_utf8(euro.data(), n), n <= 2 || n == 5) << n;
}

}  // namespace
}  // namespace quillmap
