#include "util/strings.h"
#include "util/testing/seed.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace quillmap {
namespace {

TEST(EndsWith, Table) {
  const struct {
    const char* s;
    size_t ls;
    const char* t;
    size_t lt;
    int expected;
  } cases[] = {{"/var/log/", 9, "/", 1, 0}, {"/var/log", 8, "/", 1, 1}, {"ab", 2, "abc", 3, -1},
               {"", 1, "/", 1, -1},   // the only counted byte is NUL: length 0
               {"ab", 3, "b", 2, 0},  // both lengths count the NUL: strlen is used
               {"a\0c", 3, "c", 1, 0}};  // the last counted byte is not NUL: length stays 3
  for (const auto& c : cases) EXPECT_EQ(ends_with(c.s, c.ls, c.t, c.lt), c.expected) << c.s << " / " << c.t;
}

TEST(SmallHelpers, HexDumpMkstrStrllenChompl) {
  const unsigned char bytes[] = {0x00, 0xAB, 0xFF};
  char out[8];
  memset(out, '#', sizeof out);
  EXPECT_EQ(shm_hex_dump(out, bytes, 3), out + 6);
  EXPECT_EQ(std::string(out, 7), "00abff#");  // no terminator
  const char* empty = "";
  EXPECT_TRUE(mkstr(nullptr).ptr == nullptr && mkstr(nullptr).len == 0);
  EXPECT_TRUE(mkstr(empty).ptr == empty && mkstr(empty).len == 0);
  EXPECT_EQ((std::vector<size_t>{strllen("abc", 0), strllen("", 5), strllen("abc", 2), strllen("abc", 10)}),
            (std::vector<size_t>{0, 0, 2, 3}));
  char text[] = "ab\ncd\n";
  EXPECT_STREQ(chompl(text, 0), "ab\ncd\n");
  EXPECT_STREQ(chompl(text, 2), "ab\ncd\n");  // the newline lies beyond the length
  EXPECT_STREQ(chompl(text, sizeof text - 1), "ab");
}

// shm_cpystrn against a plain model: copy min(strlen(src), n - 1) characters and a NUL, return the NUL.
TEST(CpyStrn, MatchesModelOnRandomInputs) {
  const uint32_t seed = testing::test_seed(20240611);
  std::mt19937 rng(seed);
  for (int round = 0; round < 2000; ++round) {
    SCOPED_TRACE(testing::seed_trace(seed) + " round " + std::to_string(round));
    std::string src(rng() % 12, 'x');
    for (char& ch : src) ch = static_cast<char>('a' + rng() % 26);
    const size_t n = rng() % 16;
    char dst[32];
    memset(dst, '#', sizeof dst);
    char* end = shm_cpystrn(dst, src.c_str(), n);
    const size_t copied = n == 0 ? 0 : std::min(src.size(), n - 1);
    ASSERT_EQ(end, dst + copied);
    ASSERT_EQ(std::string(dst, copied), src.substr(0, copied));
    ASSERT_EQ(dst[copied], n == 0 ? '#' : '\0');
    ASSERT_EQ(dst[copied + 1], '#') << "wrote past its NUL";
  }
}

}  // namespace
}  // namespace quillmap
