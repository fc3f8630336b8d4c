// Test support: a GoogleTest fixture holding one trie of either key width in a private pool, a model of
// its prefixes kept in step with it, and the checks the trie tests share: the invariant walk, the
// trie's prefixes against the model, and the allocator state before and after.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "lpctrie/lpctrie_find.h"
#include "lpctrie/testing/bounded_view.h"
#include "lpctrie/testing/trie_api.h"
#include "lpctrie/testing/trie_check.h"
#include "store/slab.h"
#include "store/testing/pool_fixture.h"
#include "store/testing/slab_check.h"

namespace quillmap::testing {

template <class Traits>
typename Traits::Key random_key(std::mt19937_64& rng) {
  if constexpr (Traits::kKeyLength == 32) {
    return static_cast<uint32_t>(rng());
  } else {
    return Trie128Traits::make(rng(), rng());
  }
}

template <class Traits, int64_t kPoolBytes = (10 << 20)>
class TrieFixture : public ::testing::Test {
 protected:
  using Api = TrieApi<Traits>;
  using Key = typename Traits::Key;
  using Node = LpcNode<Traits>;
  static constexpr unsigned K = Traits::kKeyLength;

  struct AllocatorState {
    std::vector<std::tuple<uint64_t, uint64_t>> classes;  // (total, used) per size class
    uint64_t free_pages;
    bool operator==(const AllocatorState&) const = default;
  };

  void SetUp() override {
    root_ = Api::create(pool());
    ASSERT_NE(root_, nullptr);
    start_ = allocator_state();
  }
  SlabPool* pool() { return fixture_.pool(); }
  AllocatorState allocator_state() {
    AllocatorState s{{}, pool()->free_pages};
    const ClassStats* stats = class_stats_of(pool());
    for (uint64_t c = 0; c < slab_class_count(pool()); ++c) s.classes.emplace_back(stats[c].total, stats[c].used);
    return s;
  }
  uint64_t failures() {
    uint64_t n = 0;
    for (uint64_t c = 0; c < slab_class_count(pool()); ++c) n += class_stats_of(pool())[c].failures;
    return n;
  }

  // A key whose first byte is `first` and whose lower bits are `rest`.
  static Key key(unsigned first, Key rest = 0) { return (Key{first} << (K - 8)) | rest; }
  int64_t insert(Key k, unsigned len, uint64_t v) { return Api::insert(pool(), root_, k, prefix_mask<Traits>(len), v); }
  int64_t remove(Key k, unsigned len) { return Api::remove(pool(), root_, k, prefix_mask<Traits>(len)); }
  uint64_t find(Key addr) { return Api::find(pool(), root_, addr); }
  std::string verify(TrieCensus<Traits>* census = nullptr) { return trie_verify<Traits>(pool(), root_, census); }
  const Node* node_at(uint64_t off) { return _lfof_<const Node>(pool(), off); }
  const Node* top() { return node_at(node_slots(root_)[0]); }

  // Insert and delete, in the trie and in the model.
  void put(Key k, unsigned len, uint64_t v) {
    ASSERT_EQ(insert(k, len, v), kDone);
    model_.put(k, len, v);
  }
  void erase(Key k, unsigned len) {
    ASSERT_EQ(remove(k, len), model_.contains(k, len) ? kDone : kNothingToDo);
    model_.erase(k, len);
  }
  // The daemon's search and an outside reader's (through a checked view) both agree with the model.
  void expect_lookup(Key addr) {
    uint64_t expected = model_.longest_match(addr);
    ASSERT_EQ(find(addr), expected);
    BoundedView checked(pool(), 1 << 20);
    ASSERT_EQ(lpctrie_find_in<Traits>(checked, offset_of_record(pool(), root_), addr), expected);
    ASSERT_FALSE(checked.failed_);
  }

  // The trie is valid and holds exactly the model's prefixes and values, one leaf per distinct key.
  void expect_prefixes() {
    TrieCensus<Traits> census;
    ASSERT_EQ(verify(&census), "");
    ASSERT_EQ(census.prefixes.size(), model_.size());
    std::set<Key> keys;
    for (const auto& p : census.prefixes) {
      ASSERT_TRUE(model_.contains(p.key, K - p.slen));
      ASSERT_EQ(model_.value(p.key, K - p.slen), p.value);
      keys.insert(p.key);
    }
    ASSERT_EQ(census.leaves, keys.size()) << "prefixes of one key on more than one leaf";
  }
  // As expect_prefixes, and the first and last address of every prefix is found.
  void expect_model() {
    ASSERT_NO_FATAL_FAILURE(expect_prefixes());
    for (auto [k, len] : model_.keys()) {
      ASSERT_NO_FATAL_FAILURE(expect_lookup(k));
      ASSERT_NO_FATAL_FAILURE(expect_lookup(prefix_last<Traits>(k, len)));
    }
  }

  // Deletes every prefix in random order: the trie ends as an empty root and the allocator exactly as
  // it was before the first insert.
  void delete_everything(std::mt19937_64& rng) {
    std::vector<std::pair<Key, unsigned>> keys = model_.keys();
    std::shuffle(keys.begin(), keys.end(), rng);
    for (size_t i = 0; i < keys.size(); ++i) {
      ASSERT_NO_FATAL_FAILURE(erase(keys[i].first, keys[i].second));
      ASSERT_NO_FATAL_FAILURE(expect_lookup(keys[i].first));
      if (i % 256 == 0) {
        ASSERT_NO_FATAL_FAILURE(expect_prefixes()) << "deletion " << i;
      }
    }
    EXPECT_EQ(node_slots(root_)[0], kNoOffset);
    EXPECT_EQ(slab_check(pool()), "");
    EXPECT_TRUE(allocator_state() == start_) << "the trie kept memory after its last prefix was deleted";
  }

  PoolFixture fixture_{kPoolBytes};
  Node* root_ = nullptr;
  PrefixModel<Traits> model_;
  AllocatorState start_;
};

using TrieWidths = ::testing::Types<Trie32Traits, Trie128Traits>;

}  // namespace quillmap::testing
