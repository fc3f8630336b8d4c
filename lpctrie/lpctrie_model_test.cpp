// Seeded model tests: random inserts and deletes of prefixes with lengths skewed like real tables,
// compared after every step with a brute-force longest-prefix model, and the trie's invariants checked
// after every step. Deleting everything must give the allocator back exactly what the trie took.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>
#include <vector>

#include "lpctrie/lpctrie.h"
#include "lpctrie/testing/trie_api.h"
#include "lpctrie/testing/trie_check.h"
#include "store/slab.h"
#include "store/testing/pool_fixture.h"
#include "store/testing/slab_check.h"

namespace quillmap {
namespace {

using testing::prefix_last;
using testing::prefix_mask;
using testing::PrefixModel;
using testing::TrieApi;

// Prefix lengths as real tables have them.
template <class Traits>
unsigned random_length(std::mt19937_64& rng);

template <>
unsigned random_length<Trie32Traits>(std::mt19937_64& rng) {
  unsigned r = rng() % 100;
  if (r < 50) return 24;
  if (r < 62) return 22 + rng() % 2;
  if (r < 80) return 16 + rng() % 6;
  if (r < 90) return 25 + rng() % 8;
  if (r < 97) return 8 + rng() % 8;
  return rng() % 8;
}

template <>
unsigned random_length<Trie128Traits>(std::mt19937_64& rng) {
  unsigned r = rng() % 100;
  if (r < 50) return 32 + rng() % 17;
  if (r < 65) return 49 + rng() % 16;
  if (r < 72) return 128;
  if (r < 82) return 65 + rng() % 63;
  if (r < 96) return 16 + rng() % 16;
  return rng() % 16;
}

template <class Traits>
typename Traits::Key random_key(std::mt19937_64& rng) {
  if constexpr (Traits::kKeyLength == 32) {
    return static_cast<uint32_t>(rng());
  } else {
    return Trie128Traits::make(rng(), rng());
  }
}

// Keys cluster in a few regions (sharing their upper bits), so that nodes grow wide and deep.
template <class Traits>
class KeySource {
 public:
  using Key = typename Traits::Key;
  static constexpr unsigned K = Traits::kKeyLength;

  explicit KeySource(std::mt19937_64& rng) : rng_(rng) {
    for (int i = 0; i < 16; ++i) regions_.push_back(random_key<Traits>(rng_));
  }
  // A random address: in a region (its upper 12 bits kept) or anywhere.
  Key address() {
    Key noise = random_key<Traits>(rng_);
    if (rng_() % 8 == 0) return noise;
    Key region = regions_[rng_() % regions_.size()];
    Key upper = prefix_mask<Traits>(12);
    return (region & upper) | (noise & ~upper);
  }

 private:
  std::mt19937_64& rng_;
  std::vector<Key> regions_;
};

template <class Traits>
class TrieModelTest : public ::testing::Test {
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

  void SetUp() override {
    root_ = Api::create(pool());
    ASSERT_NE(root_, nullptr);
    start_ = allocator_state();
  }
  SlabPool* pool() { return fixture_.pool(); }

  // Checks the trie's invariants and that it holds exactly the model's prefixes.
  void expect_same_prefixes() {
    testing::TrieCensus<Traits> census;
    ASSERT_EQ(testing::trie_verify<Traits>(pool(), root_, &census), "");
    ASSERT_EQ(census.prefixes.size(), model_.size());
    for (const auto& p : census.prefixes) {
      unsigned len = K - p.slen;
      ASSERT_TRUE(model_.contains(p.key, len));
      ASSERT_EQ(model_.value(p.key, len), p.value);
    }
  }

  void expect_lookup(Key addr) {
    ASSERT_EQ(Api::find(pool(), root_, addr), model_.longest_match(addr));
  }

  // Lookups of random addresses and of the first and last address of some stored prefixes.
  void check_lookups(KeySource<Traits>& source, std::mt19937_64& rng) {
    for (int i = 0; i < 3; ++i) ASSERT_NO_FATAL_FAILURE(expect_lookup(source.address()));
    if (model_.size() == 0) return;
    for (int i = 0; i < 2; ++i) {
      auto [key, len] = model_.keys()[rng() % model_.size()];
      ASSERT_NO_FATAL_FAILURE(expect_lookup(key));
      ASSERT_NO_FATAL_FAILURE(expect_lookup(prefix_last<Traits>(key, len)));
    }
  }

  // One random change: insert (new, a longer prefix of a stored network, or a value replacement) or
  // delete (stored or not).
  void random_step(KeySource<Traits>& source, std::mt19937_64& rng, unsigned insert_percent) {
    uint64_t value = next_value_++;
    if (model_.size() == 0 || rng() % 100 < insert_percent) {
      Key key;
      unsigned len;
      unsigned kind = rng() % 100;
      if (kind < 15 && model_.size() > 0) {
        std::tie(key, len) = model_.keys()[rng() % model_.size()];  // replace the value
      } else if (kind < 40 && model_.size() > 0) {
        std::tie(key, len) = model_.keys()[rng() % model_.size()];  // same network, longer prefix
        if (len < K) len += 1 + rng() % (K - len);
      } else {
        len = random_length<Traits>(rng);
        key = source.address() & prefix_mask<Traits>(len);
      }
      ASSERT_EQ(Api::insert(pool(), root_, key, prefix_mask<Traits>(len), value), kDone);
      model_.put(key, len, value);
      ASSERT_NO_FATAL_FAILURE(expect_lookup(key));
      return;
    }
    Key key;
    unsigned len;
    if (rng() % 10 == 0) {
      len = random_length<Traits>(rng);
      key = source.address() & prefix_mask<Traits>(len);
    } else {
      std::tie(key, len) = model_.keys()[rng() % model_.size()];
    }
    int64_t expected = model_.contains(key, len) ? kDone : kNothingToDo;
    ASSERT_EQ(Api::remove(pool(), root_, key, prefix_mask<Traits>(len)), expected);
    model_.erase(key, len);
    ASSERT_NO_FATAL_FAILURE(expect_lookup(key));
  }

  void delete_everything(std::mt19937_64& rng) {
    std::vector<std::pair<Key, unsigned>> keys = model_.keys();
    std::shuffle(keys.begin(), keys.end(), rng);
    for (size_t i = 0; i < keys.size(); ++i) {
      ASSERT_EQ(Api::remove(pool(), root_, keys[i].first, prefix_mask<Traits>(keys[i].second)), kDone);
      model_.erase(keys[i].first, keys[i].second);
      if (i % 256 == 0) {
        ASSERT_NO_FATAL_FAILURE(expect_same_prefixes()) << "deletion " << i;
      }
    }
    EXPECT_EQ(node_slots(root_)[0], kNoOffset);
    EXPECT_EQ(testing::slab_check(pool()), "");
    EXPECT_TRUE(allocator_state() == start_) << "the trie kept memory after its last prefix was deleted";
  }

  testing::PoolFixture fixture_{64 << 20};
  Node* root_ = nullptr;
  PrefixModel<Traits> model_;
  AllocatorState start_;
  uint64_t next_value_ = 1;
};

using Widths = ::testing::Types<Trie32Traits, Trie128Traits>;
TYPED_TEST_SUITE(TrieModelTest, Widths);

// A trie of around a thousand prefixes that grows, churns and shrinks, verified after every step.
TYPED_TEST(TrieModelTest, RandomChangesMatchTheModel) {
  for (uint64_t seed : {1u, 2u}) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937_64 rng(seed);
    KeySource<TypeParam> source(rng);
    const int kSteps = 12000;
    for (int step = 0; step < kSteps; ++step) {
      unsigned insert_percent = step < kSteps / 3 ? 80 : step < 2 * kSteps / 3 ? 50 : 30;
      ASSERT_NO_FATAL_FAILURE(this->random_step(source, rng, insert_percent)) << "step " << step;
      ASSERT_EQ(testing::trie_verify<TypeParam>(this->pool(), this->root_), "") << "step " << step;
      ASSERT_NO_FATAL_FAILURE(this->check_lookups(source, rng)) << "step " << step;
      if (step % 1000 == 0) {
        ASSERT_NO_FATAL_FAILURE(this->expect_same_prefixes());
      }
    }
    ASSERT_NO_FATAL_FAILURE(this->expect_same_prefixes());
    ASSERT_NO_FATAL_FAILURE(this->delete_everything(rng));
  }
}

// A large table: every prefix's first and last address is found after loading, then the table is
// emptied in random order.
TYPED_TEST(TrieModelTest, LargeTableLoadsAndEmpties) {
  const uint64_t seed = 3;
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::mt19937_64 rng(seed);
  KeySource<TypeParam> source(rng);
  for (int i = 0; i < 30000; ++i) {
    unsigned len = random_length<TypeParam>(rng);
    typename TypeParam::Key key = source.address() & prefix_mask<TypeParam>(len);
    ASSERT_EQ(TestFixture::Api::insert(this->pool(), this->root_, key, prefix_mask<TypeParam>(len), i), kDone);
    this->model_.put(key, len, i);
    if (i % 5000 == 0) {
      ASSERT_NO_FATAL_FAILURE(this->expect_same_prefixes());
    }
  }
  ASSERT_NO_FATAL_FAILURE(this->expect_same_prefixes());
  for (auto [key, len] : this->model_.keys()) {
    ASSERT_NO_FATAL_FAILURE(this->expect_lookup(key));
    ASSERT_NO_FATAL_FAILURE(this->expect_lookup(prefix_last<TypeParam>(key, len)));
  }
  for (int i = 0; i < 20000; ++i) ASSERT_NO_FATAL_FAILURE(this->expect_lookup(source.address()));
  ASSERT_NO_FATAL_FAILURE(this->delete_everything(rng));
}

}  // namespace
}  // namespace quillmap
