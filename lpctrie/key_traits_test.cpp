#include "lpctrie/key_traits.h"

#include <gtest/gtest.h>

namespace quillmap {
namespace {

using T32 = Trie32Traits;
using T128 = Trie128Traits;
constexpr uint128_t kOnes128 = ~uint128_t{0};

TEST(KeyTraits, ChildIndexAtTheRootIsZero) {
  EXPECT_EQ(T32::child_index(0xFFFFFFFFu, 0, 32), 0u);
  EXPECT_EQ(T128::child_index(kOnes128, 0, 128), uint128_t{0});
}

TEST(KeyTraits, ChildIndexAtTheEdges) {
  EXPECT_EQ(T32::child_index(0x80000000u, 0, 31), 1u);
  EXPECT_EQ(T32::child_index(0x80000001u, 0x80000000u, 0), 1u);
  EXPECT_EQ(T32::child_index(0xFFFFFFFFu, 0, 0), 0xFFFFFFFFu);
  EXPECT_EQ(T128::child_index(uint128_t{1} << 127, 0, 127), uint128_t{1});
  EXPECT_EQ(T128::child_index(T128::make(0, 1), 0, 64), uint128_t{1});
  EXPECT_EQ(T128::child_index(T128::make(1, 0), 0, 0), uint128_t{1});
}

TEST(KeyTraits, IndexFitsAtFullWidth) {
  EXPECT_TRUE(T32::index_fits(0xFFFFFFFFu, 32));
  EXPECT_FALSE(T32::index_fits(uint64_t{1} << 32, 32));
  EXPECT_TRUE(T32::index_fits(0, 0));
  EXPECT_FALSE(T32::index_fits(1, 0));
  EXPECT_TRUE(T128::index_fits(kOnes128, 128));
  EXPECT_FALSE(T128::index_fits(uint128_t{1} << 64, 64));
}

TEST(KeyTraits, ClearBelowAtBothEnds) {
  EXPECT_EQ(T32::clear_below(0xFFFFFFFFu, 32), 0u);
  EXPECT_EQ(T32::clear_below(0xFFFFFFFFu, 0), 0xFFFFFFFFu);
  EXPECT_EQ(T32::clear_below(0xFFFFFFFFu, 31), 0x80000000u);
  EXPECT_EQ(T128::clear_below(kOnes128, 128), uint128_t{0});
  EXPECT_EQ(T128::clear_below(kOnes128, 0), kOnes128);
  EXPECT_EQ(T128::clear_below(kOnes128, 64), T128::make(0, ~uint64_t{0}));
  EXPECT_EQ(T128::clear_below(kOnes128, 127), uint128_t{1} << 127);
}

TEST(KeyTraits, HighestDifferingBit) {
  EXPECT_EQ(T32::highest_differing_bit(0, 1), 0u);
  EXPECT_EQ(T32::highest_differing_bit(0, 0x80000000u), 31u);
  EXPECT_EQ(T32::highest_differing_bit(0x0A000001u, 0x0A000002u), 1u);
  EXPECT_EQ(T128::highest_differing_bit(0, 1), 0u);
  EXPECT_EQ(T128::highest_differing_bit(0, uint128_t{1} << 63), 63u);
  EXPECT_EQ(T128::highest_differing_bit(0, uint128_t{1} << 64), 64u);
  EXPECT_EQ(T128::highest_differing_bit(0, uint128_t{1} << 127), 127u);
  EXPECT_EQ(T128::highest_differing_bit(T128::make(5, 7), T128::make(4, 7)), 0u);
}

TEST(KeyTraits, SuffixLengthOfMasks) {
  EXPECT_EQ(T32::suffix_length(0), 32u);
  EXPECT_EQ(T32::suffix_length(0xFFFFFFFFu), 0u);
  EXPECT_EQ(T32::suffix_length(0xFFFFFF00u), 8u);
  EXPECT_EQ(T128::suffix_length(0), 128u);
  EXPECT_EQ(T128::suffix_length(kOnes128), 0u);
  EXPECT_EQ(T128::suffix_length(T128::make(0, ~uint64_t{0})), 64u);
  EXPECT_EQ(T128::suffix_length(T128::make(0x8000000000000000u, ~uint64_t{0})), 63u);
}

TEST(KeyTraits, WithinSuffixAtFullWidth) {
  EXPECT_TRUE(T32::within_suffix(0xFFFFFFFFu, 32));
  EXPECT_FALSE(T32::within_suffix(0x80000000u, 31));
  EXPECT_TRUE(T32::within_suffix(0x7FFFFFFFu, 31));
  EXPECT_TRUE(T32::within_suffix(0, 0));
  EXPECT_FALSE(T32::within_suffix(1, 0));
  EXPECT_TRUE(T128::within_suffix(kOnes128, 128));
  EXPECT_FALSE(T128::within_suffix(uint128_t{1} << 64, 64));
  EXPECT_TRUE(T128::within_suffix(T128::make(~uint64_t{0}, 0), 64));
}

TEST(KeyTraits, PrefixMismatch) {
  // Key 0 has no lowest one-bit: nothing can mismatch it.
  EXPECT_FALSE(T32::prefix_mismatch(0xFFFFFFFFu, 0));
  EXPECT_FALSE(T128::prefix_mismatch(kOnes128, 0));
  // Key 10.0.0.0 (lowest one-bit 25): differing at bit 25 or above mismatches, below does not.
  EXPECT_TRUE(T32::prefix_mismatch(0x08000000u, 0x0A000000u));
  EXPECT_FALSE(T32::prefix_mismatch(0x0BFFFFFFu, 0x0A000000u));
  EXPECT_TRUE(T128::prefix_mismatch(0, uint128_t{1} << 127));
  EXPECT_FALSE(T128::prefix_mismatch(T128::make(~uint64_t{0}, 1), T128::make(0, 1)));
  EXPECT_TRUE(T128::prefix_mismatch(T128::make(0, 2), T128::make(0, 1)));
}

TEST(KeyTraits, Pow2AndBit) {
  EXPECT_EQ(T32::pow2(32), uint64_t{1} << 32);
  EXPECT_EQ(T32::bit(31), 0x80000000u);
  EXPECT_EQ(T128::bit(127), uint128_t{1} << 127);
  EXPECT_EQ(T128::count_shift_left(2, 127), uint128_t{0});
  EXPECT_EQ(T128::count_shift_left(2, 128), uint128_t{0});
  EXPECT_EQ(T32::count_shift_left(2, 32), uint64_t{1} << 33);
}

}  // namespace
}  // namespace quillmap
