// The tries in a pool that runs out of memory: a failed insert changes nothing and gives back what it
// took; an inflate or halve abandoned for want of memory leaves a valid trie; and whatever happened,
// deleting every prefix returns the allocator to where it started.
#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <vector>

#include "lpctrie/lpctrie.h"
#include "lpctrie/testing/trie_api.h"
#include "lpctrie/testing/trie_check.h"
#include "store/slab.h"
#include "store/testing/pool_fixture.h"
#include "store/testing/slab_check.h"
#include "util/host_params.h"

namespace quillmap {
namespace {

using testing::prefix_mask;
using testing::PrefixModel;
using testing::TrieApi;

template <class Traits>
class TrieAllocTest : public ::testing::Test {
 protected:
  using Api = TrieApi<Traits>;
  using Key = typename Traits::Key;
  using Node = LpcNode<Traits>;
  static constexpr unsigned K = Traits::kKeyLength;

  struct AllocatorState {
    std::vector<std::tuple<uint64_t, uint64_t>> classes;  // (total, used)
    uint64_t free_pages;
    bool operator==(const AllocatorState&) const = default;
  };

  AllocatorState allocator_state() {
    AllocatorState s{{}, pool()->free_pages};
    const ClassStats* stats = class_stats_of(pool());
    for (uint64_t c = 0; c < slab_class_count(pool()); ++c) s.classes.emplace_back(stats[c].total, stats[c].used);
    return s;
  }
  uint64_t failures() {
    uint64_t n = 0;
    const ClassStats* stats = class_stats_of(pool());
    for (uint64_t c = 0; c < slab_class_count(pool()); ++c) n += stats[c].failures;
    return n;
  }

  void SetUp() override {
    root_ = Api::create(pool());
    ASSERT_NE(root_, nullptr);
    start_ = allocator_state();
  }
  SlabPool* pool() { return fixture_.pool(); }
  static Key key(unsigned first, Key rest = 0) { return (Key{first} << (K - 8)) | rest; }

  int64_t insert(Key k, unsigned len, uint64_t v) { return Api::insert(pool(), root_, k, prefix_mask<Traits>(len), v); }
  int64_t remove(Key k, unsigned len) { return Api::remove(pool(), root_, k, prefix_mask<Traits>(len)); }

  // The trie is valid and holds exactly the model's prefixes, each found with its value.
  void expect_model() {
    testing::TrieCensus<Traits> census;
    ASSERT_EQ(testing::trie_verify<Traits>(pool(), root_, &census), "");
    ASSERT_EQ(census.prefixes.size(), model_.size());
    for (auto [k, len] : model_.keys()) ASSERT_EQ(Api::find(pool(), root_, k), model_.longest_match(k));
  }

  // Takes every free page, so that only chunks left in existing class pages can be had.
  void hoard_pages() {
    while (void* p = slab_alloc_locked(pool(), static_cast<uint64_t>(page_size))) hoard_.push_back(p);
  }
  void release_hoard() {
    for (void* p : hoard_) slab_free_locked(pool(), p);
    hoard_.clear();
  }

  void delete_everything() {
    std::vector<std::pair<Key, unsigned>> keys = model_.keys();
    for (auto [k, len] : keys) {
      ASSERT_EQ(remove(k, len), kDone);
      model_.erase(k, len);
    }
    ASSERT_NO_FATAL_FAILURE(expect_model());
    EXPECT_EQ(node_slots(root_)[0], kNoOffset);
    EXPECT_EQ(testing::slab_check(pool()), "");
    EXPECT_TRUE(allocator_state() == start_) << "memory of the trie was lost";
  }

  testing::PoolFixture fixture_{256 << 10};
  Node* root_ = nullptr;
  PrefixModel<Traits> model_;
  AllocatorState start_;
  std::vector<void*> hoard_;
};

using Widths = ::testing::Types<Trie32Traits, Trie128Traits>;
TYPED_TEST_SUITE(TrieAllocTest, Widths);

// Random prefixes until the pool is full, then churn at the edge of memory: every failed insert leaves
// the trie and the allocator exactly as they were, inserts that fit still succeed, and rebalancing
// that runs short of memory (inflate or halve given up, at any allocation) leaves a valid trie.
TYPED_TEST(TrieAllocTest, RandomChangesInAFullPool) {
  using Key = typename TypeParam::Key;
  const uint64_t seed = 11;
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::mt19937_64 rng(seed);
  auto random_prefix = [&rng](unsigned* len) {
    *len = rng() % 4 == 0 ? TypeParam::kKeyLength : 8 + rng() % (TypeParam::kKeyLength - 8);
    Key k = static_cast<Key>(rng());
    if constexpr (TypeParam::kKeyLength == 128) k = TypeParam::make(rng(), rng());
    return static_cast<Key>(k & prefix_mask<TypeParam>(*len));
  };
  int failed = 0;
  for (int i = 0; i < 30000; ++i) {
    bool filling = failed < 200;
    if (!filling && this->model_.size() > 0 && rng() % 2 == 0) {
      auto [k, len] = this->model_.keys()[rng() % this->model_.size()];
      ASSERT_EQ(this->remove(k, len), kDone);
      this->model_.erase(k, len);
      ASSERT_EQ(testing::trie_verify<TypeParam>(this->pool(), this->root_), "") << "step " << i;
      continue;
    }
    if (!filling && i % 1000 == 0) {
      ASSERT_NO_FATAL_FAILURE(this->expect_model()) << "step " << i;
    }
    if (!filling && i > 20000) break;
    unsigned len;
    Key k = random_prefix(&len);
    auto before = this->allocator_state();
    int64_t r = this->insert(k, len, i);
    if (r == kFailed) {
      ++failed;
      ASSERT_FALSE(this->model_.contains(k, len));  // a replacement allocates nothing and cannot fail
      ASSERT_TRUE(this->allocator_state() == before) << "a failed insert kept memory, step " << i;
      ASSERT_EQ(testing::trie_verify<TypeParam>(this->pool(), this->root_), "") << "step " << i;
      if (failed <= 20 || failed % 50 == 0) {
        ASSERT_NO_FATAL_FAILURE(this->expect_model()) << "step " << i;
      }
      continue;
    }
    ASSERT_EQ(r, kDone);
    this->model_.put(k, len, i);
    ASSERT_EQ(testing::trie_verify<TypeParam>(this->pool(), this->root_), "") << "step " << i;
  }
  ASSERT_GE(failed, 200) << "the pool never filled up";
  ASSERT_NO_FATAL_FAILURE(this->expect_model());
  ASSERT_NO_FATAL_FAILURE(this->delete_everything());
}

// Hosts of one network with every free page taken: the branch nodes still fit in their class pages,
// but the wider nodes an inflate needs do not. The inserts succeed and the trie stays valid.
TYPED_TEST(TrieAllocTest, InflateAbandonedForWantOfMemory) {
  // Keep one chunk of each small size a node needs, so those class pages outlive the hoarding.
  std::vector<void*> keepers;
  for (uint64_t bytes : {uint64_t{32}, node_bytes<TypeParam>(0), node_bytes<TypeParam>(1)})
    keepers.push_back(slab_alloc_locked(this->pool(), bytes));
  this->hoard_pages();
  uint64_t failures_before = this->failures();

  int stored = 0;
  for (unsigned i = 0; i < 256; ++i) {
    auto host = this->key(10, i);
    int64_t r = this->insert(host, this->K, i);
    ASSERT_NE(r, kNothingToDo);
    if (r == kDone) {
      this->model_.put(host, this->K, i);
      ++stored;
    }
    ASSERT_EQ(testing::trie_verify<TypeParam>(this->pool(), this->root_), "") << "host " << i;
  }
  ASSERT_NO_FATAL_FAILURE(this->expect_model());
  EXPECT_GT(stored, 8);
  EXPECT_GT(this->failures(), failures_before) << "no allocation ever failed";

  // With memory back, the same trie keeps growing and rebalancing.
  this->release_hoard();
  for (void* p : keepers) slab_free_locked(this->pool(), p);
  for (unsigned i = 0; i < 256; ++i) {
    auto host = this->key(10, i);
    ASSERT_EQ(this->insert(host, this->K, 1000 + i), kDone);
    this->model_.put(host, this->K, 1000 + i);
  }
  ASSERT_NO_FATAL_FAILURE(this->expect_model());
  ASSERT_NO_FATAL_FAILURE(this->delete_everything());
}

// A wide node built while memory was plentiful, then emptied with every free page taken: the narrower
// nodes a halve needs cannot be had at first. Deletes succeed and the trie stays valid throughout.
TYPED_TEST(TrieAllocTest, HalveAbandonedForWantOfMemory) {
  for (unsigned i = 0; i < 256; ++i) {
    ASSERT_EQ(this->insert(this->key(10, i), this->K, i), kDone);
    this->model_.put(this->key(10, i), this->K, i);
  }
  ASSERT_NO_FATAL_FAILURE(this->expect_model());
  this->hoard_pages();
  uint64_t failures_before = this->failures();

  std::mt19937_64 rng(5);
  std::vector<std::pair<typename TypeParam::Key, unsigned>> keys = this->model_.keys();
  std::shuffle(keys.begin(), keys.end(), rng);
  for (size_t i = 0; i + 2 < keys.size(); ++i) {
    ASSERT_EQ(this->remove(keys[i].first, keys[i].second), kDone);
    this->model_.erase(keys[i].first, keys[i].second);
    ASSERT_EQ(testing::trie_verify<TypeParam>(this->pool(), this->root_), "") << "deletion " << i;
    if (i % 16 == 0) {
      ASSERT_NO_FATAL_FAILURE(this->expect_model());
    }
    this->hoard_pages();  // pages emptied by the deletion must not feed the next halve
  }
  ASSERT_NO_FATAL_FAILURE(this->expect_model());
  EXPECT_GT(this->failures(), failures_before) << "no halve ever lacked memory";
  this->release_hoard();
  ASSERT_NO_FATAL_FAILURE(this->delete_everything());
}

// Exact failure points inside a restructuring, with 32-bit keys, where the node sizes fall into
// different size classes: a one- or two-bit node takes 64 bytes, a three-bit node 128, a four-bit
// node 256.
class RestructuringTest : public TrieAllocTest<Trie32Traits> {
 protected:
  // Takes every chunk of `bytes` that can still be had (with no free page left).
  std::vector<void*> exhaust_class(uint64_t bytes) {
    std::vector<void*> taken;
    while (void* p = slab_alloc_locked(pool(), bytes)) taken.push_back(p);
    return taken;
  }
  uint64_t class_failures(uint64_t bytes) {
    uint64_t shift = 64 - __builtin_clzll(bytes - 1);
    return class_stats_of(pool())[shift - pool()->min_chunk_shift].failures;
  }
  void release(std::vector<void*>* chunks) {
    for (void* p : *chunks) slab_free_locked(pool(), p);
    chunks->clear();
  }
  void store_host(unsigned i) {
    ASSERT_EQ(insert(key(10, i), K, i), kDone);
    model_.put(key(10, i), K, i);
  }
};

// 16 hosts make a four-bit node; a 17th host makes a one-bit branch over it that wants to inflate
// into a two-bit node, splitting the four-bit node into two three-bit halves. With no 128-byte chunk
// (spare 0) the upper half fails; with one (spare 1) the lower half fails after the upper one was made.
TEST_F(RestructuringTest, InflateGivenUpWhileSplittingAChild) {
  for (int spare = 0; spare <= 1; ++spare) {
    SCOPED_TRACE(::testing::Message() << "spare " << spare);
    for (unsigned i = 0; i < 16; ++i) ASSERT_NO_FATAL_FAILURE(store_host(i));
    const LpcNode32* top = _lfof_<const LpcNode32>(pool(), node_slots(root_)[0]);
    ASSERT_EQ(top->bits, 4);
    ASSERT_EQ(top->pos, 0);

    // Class pages of 32, 64 and 128 bytes with room in them, and no free page.
    std::vector<void*> keepers{slab_alloc_locked(pool(), 32), slab_alloc_locked(pool(), 64),
                               slab_alloc_locked(pool(), 128)};
    hoard_pages();
    std::vector<void*> big = exhaust_class(128);
    ASSERT_FALSE(big.empty());
    for (int i = 0; i < spare; ++i) {
      slab_free_locked(pool(), big.back());
      big.pop_back();
    }
    uint64_t failures_before = class_failures(128);
    ASSERT_NO_FATAL_FAILURE(store_host(16));
    EXPECT_EQ(class_failures(128), failures_before + 1);
    ASSERT_NO_FATAL_FAILURE(expect_model());
    top = _lfof_<const LpcNode32>(pool(), node_slots(root_)[0]);
    EXPECT_EQ(top->bits, 1) << "the branch should have stayed as it was";
    EXPECT_EQ(top->pos, 4);

    release(&big);
    release(&keepers);
    release_hoard();
    ASSERT_NO_FATAL_FAILURE(delete_everything());
  }
}

// 16 hosts make a four-bit node under the root; deleting all but hosts 0 and 1 makes it want to halve
// into a three-bit node (128 bytes, available) holding a one-bit node for the pair (64 bytes, none
// left): the halve is given up after the three-bit node was made.
TEST_F(RestructuringTest, HalveGivenUpWhilePairingChildren) {
  for (unsigned i = 0; i < 16; ++i) ASSERT_NO_FATAL_FAILURE(store_host(i));
  std::vector<void*> keepers{slab_alloc_locked(pool(), 128)};
  hoard_pages();
  std::vector<void*> small = exhaust_class(64);
  uint64_t failures_before = class_failures(64);
  for (unsigned i = 15; i >= 2; --i) {
    ASSERT_EQ(remove(key(10, i), K), kDone);
    model_.erase(key(10, i), K);
    hoard_pages();
    ASSERT_NO_FATAL_FAILURE(expect_model()) << "host " << i;
  }
  EXPECT_GT(class_failures(64), failures_before);
  const LpcNode32* top = _lfof_<const LpcNode32>(pool(), node_slots(root_)[0]);
  EXPECT_EQ(top->bits, 4) << "the node should have stayed as it was";

  release(&small);
  release(&keepers);
  release_hoard();
  ASSERT_NO_FATAL_FAILURE(delete_everything());
}

}  // namespace
}  // namespace quillmap
