#include "util/strings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

namespace quillmap {
namespace {

TEST(EndsWith, Table) {
  struct Case {
    const char* s;
    size_t ls;
    const char* t;
    size_t lt;
    int expected;
  };
  const Case kCases[] = {
      {"/var/log/", 9, "/", 1, 0},
      {"/var/log", 8, "/", 1, 1},
      {"", 1, "/", 1, -1},            // the only counted byte is NUL: length 0
      {"ab", 3, "b", 2, 0},           // both lengths count the NUL: strlen is used
      {"abc", 3, "abc", 3, 0},
      {"abc", 3, "abd", 3, 1},
      {"ab", 2, "abc", 3, -1},
      {"xabc", 4, "bc", 2, 0},
      {"a\0c", 3, "c", 1, 0},         // the last counted byte is not NUL: length stays 3
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(ends_with(c.s, c.ls, c.t, c.lt), c.expected) << c.s << " / " << c.t;
  }
}

TEST(HexDump, WritesTwoDigitsPerByteWithoutTerminator) {
  const unsigned char bytes[] = {0x00, 0xAB, 0xFF};
  char out[8];
  memset(out, '#', sizeof out);
  char* end = shm_hex_dump(out, bytes, 3);
  EXPECT_EQ(end, out + 6);
  EXPECT_EQ(std::string(out, 7), "00abff#");
  EXPECT_EQ(shm_hex_dump(out, bytes, 0), out);
}

TEST(MkStr, NullAndEmpty) {
  StrRef null_ref = mkstr(nullptr);
  EXPECT_EQ(null_ref.ptr, nullptr);
  EXPECT_EQ(null_ref.len, 0u);
  const char* empty = "";
  StrRef empty_ref = mkstr(empty);
  EXPECT_EQ(empty_ref.ptr, empty);
  EXPECT_EQ(empty_ref.len, 0u);
  EXPECT_EQ(mkstr("key").len, 3u);
}

TEST(StrlLen, Table) {
  EXPECT_EQ(strllen("abc", 0), 0u);
  EXPECT_EQ(strllen("", 5), 0u);
  EXPECT_EQ(strllen("abc", 2), 2u);
  EXPECT_EQ(strllen("abc", 10), 3u);
}

TEST(Chompl, CutsAtFirstNewlineWithinLength) {
  char a[] = "ab\ncd\n";
  EXPECT_STREQ(chompl(a, sizeof a - 1), "ab");
  char b[] = "ab\ncd";
  EXPECT_STREQ(chompl(b, 2), "ab\ncd");  // the newline lies beyond the length
  char c[] = "abc";
  EXPECT_STREQ(chompl(c, 0), "abc");
}

// shm_cpystrn against a plain model: copy min(strlen(src), n - 1) characters and a NUL.
TEST(CpyStrn, MatchesModelOnRandomInputs) {
  const unsigned seed = 20240611;
  std::mt19937 rng(seed);
  for (int round = 0; round < 2000; ++round) {
    std::string src(rng() % 12, 'x');
    for (char& ch : src) ch = static_cast<char>('a' + rng() % 26);
    size_t n = rng() % 16;
    char dst[32];
    memset(dst, '#', sizeof dst);
    char* end = shm_cpystrn(dst, src.c_str(), n);
    if (n == 0) {
      ASSERT_EQ(end, dst) << "seed " << seed << " round " << round;
      ASSERT_EQ(dst[0], '#');
      continue;
    }
    size_t copied = std::min(src.size(), n - 1);
    ASSERT_EQ(end, dst + copied) << "seed " << seed << " round " << round;
    ASSERT_EQ(std::string(dst, copied), src.substr(0, copied));
    ASSERT_EQ(dst[copied], '\0');
    ASSERT_EQ(dst[copied + 1], '#') << "wrote past its NUL";
  }
}

TEST(CpyStrn, AppendsAtReturnedNul) {
  char buf[16];
  char* p = shm_cpystrn(buf, "quillmap: ", sizeof buf);
  p = shm_cpystrn(p, "worker", static_cast<size_t>(buf + sizeof buf - p));
  EXPECT_STREQ(buf, "quillmap: worke");  // cut so that the NUL lands on the last byte
  EXPECT_EQ(p, buf + 15);
}

}  // namespace
}  // namespace quillmap
