// The tries in a pool that runs out of memory: a failed insert changes neither the trie nor the
// allocator; an inflate or halve abandoned for want of memory leaves a valid trie; and whatever
// happened, deleting every prefix returns the allocator to where it started.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "lpctrie/testing/trie_fixture.h"
#include "util/host_params.h"
#include "util/testing/seed.h"

namespace quillmap {
namespace {

template <class Traits>
using TrieAllocTest = testing::TrieFixture<Traits, (256 << 10)>;
TYPED_TEST_SUITE(TrieAllocTest, testing::TrieWidths);

// Random prefixes until the pool is full, then churn at the edge of memory: every failed insert leaves
// the trie and the allocator exactly as they were, and rebalancing given up at any allocation leaves
// a valid trie.
TYPED_TEST(TrieAllocTest, RandomChangesInAFullPool) {
  const uint32_t seed = testing::test_seed(11);
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937_64 rng(seed);
  int failed = 0;
  for (int i = 0; i < 20000 || failed < 200; ++i) {
    ASSERT_LT(i, 30000) << "the pool never filled up";
    if (failed >= 200 && this->model_.size() > 0 && rng() % 2 == 0) {
      auto [k, len] = this->model_.keys()[rng() % this->model_.size()];
      ASSERT_NO_FATAL_FAILURE(this->erase(k, len));
    } else {
      unsigned len = rng() % 4 == 0 ? this->K : 8 + rng() % (this->K - 8);
      auto k = testing::random_key<TypeParam>(rng) & testing::prefix_mask<TypeParam>(len);
      auto before = this->allocator_state();
      int64_t r = this->insert(k, len, i);
      if (r == kDone) {
        this->model_.put(k, len, i);
      } else {
        ASSERT_EQ(r, kFailed);
        ASSERT_FALSE(this->model_.contains(k, len)) << "a value replacement failed, step " << i;
        ASSERT_TRUE(this->allocator_state() == before) << "a failed insert kept memory, step " << i;
        if (++failed <= 20 || failed % 50 == 0) {
          ASSERT_NO_FATAL_FAILURE(this->expect_model()) << "step " << i;
        }
      }
    }
    ASSERT_EQ(this->verify(), "") << "step " << i;
    if (i % 1000 == 0) {
      ASSERT_NO_FATAL_FAILURE(this->expect_model()) << "step " << i;
    }
  }
  ASSERT_NO_FATAL_FAILURE(this->expect_model());
  // A failed insert fails at one allocation; the other failures were rebalancing given up.
  EXPECT_GT(this->failures(), static_cast<uint64_t>(failed)) << "no inflate or halve ever lacked memory";
  ASSERT_NO_FATAL_FAILURE(this->delete_everything(rng));
}

// Exact failure points inside one restructuring, with 32-bit keys, whose nodes fall into different
// size classes: a one- or two-bit node takes 64 bytes, a three-bit node 128, a four-bit node 256.
class RestructuringTest : public TrieAllocTest<Trie32Traits> {
 protected:
  // Takes every free page (keeping one chunk of 32, 64 and 128 bytes, so that those class pages stay),
  // then every chunk of `scarce` bytes but `spare`.
  void starve(uint64_t scarce, int spare) {
    for (uint64_t bytes : {32, 64, 128}) taken_.push_back(slab_alloc_locked(pool(), bytes));
    take(page_size);
    take(scarce);
    for (int i = 0; i < spare; ++i, taken_.pop_back()) slab_free_locked(pool(), taken_.back());
  }
  void take(uint64_t bytes) {
    while (void* p = slab_alloc_locked(pool(), bytes)) taken_.push_back(p);
  }
  uint64_t class_failures(uint64_t bytes) {
    return class_stats_of(pool())[64 - __builtin_clzll(bytes - 1) - pool()->min_chunk_shift].failures;
  }
  void give_back_and_empty() {
    for (void* p : taken_) slab_free_locked(pool(), p);
    taken_.clear();
    std::mt19937_64 rng(1);
    ASSERT_NO_FATAL_FAILURE(delete_everything(rng));
  }
  std::vector<void*> taken_;
};

// 16 hosts make a four-bit node; a 17th makes a one-bit branch over it that wants to inflate into a
// two-bit node, splitting the four-bit node into two three-bit halves. With no 128-byte chunk left
// (spare 0) the upper half fails; with one (spare 1) the lower half fails after the upper was made.
TEST_F(RestructuringTest, InflateGivenUpWhileSplittingAChild) {
  for (int spare = 0; spare <= 1; ++spare) {
    SCOPED_TRACE(::testing::Message() << "spare " << spare);
    for (unsigned i = 0; i < 16; ++i) ASSERT_NO_FATAL_FAILURE(put(key(10, i), K, i));
    ASSERT_TRUE(top()->bits == 4 && top()->pos == 0);
    starve(128, spare);
    uint64_t failures_before = class_failures(128);
    ASSERT_NO_FATAL_FAILURE(put(key(10, 16), K, 16));
    EXPECT_EQ(class_failures(128), failures_before + 1);
    ASSERT_NO_FATAL_FAILURE(expect_model());
    EXPECT_TRUE(top()->bits == 1 && top()->pos == 4) << "the branch should have stayed as it was";
    ASSERT_NO_FATAL_FAILURE(give_back_and_empty());
  }
}

// 16 hosts, all but hosts 0 and 1 deleted: the four-bit node wants to halve into a three-bit node
// (128 bytes, available) holding a one-bit node for the pair (64 bytes, none left), and the halve is
// given up after the three-bit node was made.
TEST_F(RestructuringTest, HalveGivenUpWhilePairingChildren) {
  for (unsigned i = 0; i < 16; ++i) ASSERT_NO_FATAL_FAILURE(put(key(10, i), K, i));
  starve(64, 0);
  uint64_t failures_before = class_failures(64);
  for (unsigned i = 15; i >= 2; --i) {
    ASSERT_NO_FATAL_FAILURE(erase(key(10, i), K));
    take(page_size);  // pages emptied by the deletion must not feed the next halve
    ASSERT_NO_FATAL_FAILURE(expect_model()) << "host " << i;
  }
  EXPECT_GT(class_failures(64), failures_before);
  EXPECT_EQ(top()->bits, 4) << "the node should have stayed as it was";
  ASSERT_NO_FATAL_FAILURE(give_back_and_empty());
}

}  // namespace
}  // namespace quillmap
