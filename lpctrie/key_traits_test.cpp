// The bit arithmetic at the edges of a key: shifts by the full width, the root's child index, the
// boundary between the two 64-bit halves of a 128-bit key. Every shift amount passes through rt(), so
// that the compiler cannot fold the call: a shift by the full width then runs as the machine's shift
// does (which takes the amount modulo the width), as it does in the trie. (Amounts inside the key are
// the model test's.)
#include "lpctrie/key_traits.h"

#include <gtest/gtest.h>

namespace quillmap {
namespace {

using T32 = Trie32Traits;
using T128 = Trie128Traits;
constexpr uint128_t kOnes = ~uint128_t{0};
constexpr uint64_t kLow = ~uint64_t{0};
constexpr uint128_t bit128(unsigned n) { return uint128_t{1} << n; }

// `v`, read back at run time.
unsigned rt(unsigned v) {
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
  EXPECT_EQ(T128::child_index(T128::make(0, 1), 0, rt(64)), 1u);
  EXPECT_EQ(T128::child_index(T128::make(1, 0), 0, rt(0)), 1u);
  EXPECT_TRUE(T128::index_fits(kOnes, rt(128)) && !T128::index_fits(bit128(64), rt(64)));
  for (auto [n, cleared] : {std::pair{128u, uint128_t{0}}, {0u, kOnes}, {64u, T128::make(0, kLow)}})
    EXPECT_TRUE(T128::clear_below(kOnes, rt(n)) == cleared) << n;
  for (unsigned b : {0u, 63u, 64u, 127u}) EXPECT_EQ(T128::highest_differing_bit(0, bit128(b)), b);
  EXPECT_TRUE(T128::suffix_length(0) == 128 && T128::suffix_length(T128::make(0x8000000000000000u, kLow)) == 63);
  EXPECT_TRUE(T128::within_suffix(kOnes, rt(128)) && T128::within_suffix(T128::make(kLow, 0), rt(64)));
  EXPECT_FALSE(T128::within_suffix(bit128(64), rt(64)));
  EXPECT_FALSE(T128::prefix_mismatch(kOnes, 0) || T128::prefix_mismatch(T128::make(kLow, 1), T128::make(0, 1)));
  EXPECT_TRUE(T128::prefix_mismatch(0, bit128(127)) && T128::prefix_mismatch(T128::make(0, 2), T128::make(0, 1)));
  EXPECT_TRUE(T128::bit(rt(127)) == bit128(127) && T128::count_shift_left(2, rt(127)) == 0);
  EXPECT_EQ(T128::count_shift_left(2, rt(128)), 0u);
}

}  // namespace
}  // namespace quillmap
