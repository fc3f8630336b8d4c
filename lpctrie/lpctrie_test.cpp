// Edge cases and the shape of small tries, for both key widths.
#include "lpctrie/lpctrie.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "lpctrie/testing/trie_api.h"
#include "lpctrie/testing/trie_check.h"
#include "lpctrie/trie_ops.h"
#include "store/slab.h"
#include "store/testing/pool_fixture.h"
#include "util/log.h"
#include "util/settings.h"

namespace quillmap {
namespace {

using testing::prefix_last;
using testing::prefix_mask;
using testing::TrieApi;
using testing::TrieCensus;

template <class Traits>
class TrieTest : public ::testing::Test {
 protected:
  using Api = TrieApi<Traits>;
  using Key = typename Traits::Key;
  using Node = LpcNode<Traits>;
  static constexpr unsigned K = Traits::kKeyLength;

  void SetUp() override {
    root_ = Api::create(pool());
    ASSERT_NE(root_, nullptr);
  }
  SlabPool* pool() { return fixture_.pool(); }

  // A key whose first byte is `first` and whose following bits are `rest` (right-aligned below it).
  static Key key(unsigned first, Key rest = 0) { return (Key{first} << (K - 8)) | rest; }

  int64_t insert(Key k, unsigned len, uint64_t v) { return Api::insert(pool(), root_, k, prefix_mask<Traits>(len), v); }
  int64_t remove(Key k, unsigned len) { return Api::remove(pool(), root_, k, prefix_mask<Traits>(len)); }
  uint64_t find(Key addr) { return Api::find(pool(), root_, addr); }
  std::string verify(TrieCensus<Traits>* census = nullptr) {
    return testing::trie_verify<Traits>(pool(), root_, census);
  }
  uint64_t chunks_in_use() {
    uint64_t used = 0;
    const ClassStats* stats = class_stats_of(pool());
    for (uint64_t c = 0; c < slab_class_count(pool()); ++c) used += stats[c].used;
    return used;
  }
  const Node* node_at(uint64_t off) { return _lfof_<const Node>(pool(), off); }
  const Node* top() { return node_at(node_slots(root_)[0]); }

  testing::PoolFixture fixture_;
  Node* root_ = nullptr;
};

using Widths = ::testing::Types<Trie32Traits, Trie128Traits>;
TYPED_TEST_SUITE(TrieTest, Widths);

TYPED_TEST(TrieTest, CreatedRootIsEmpty) {
  EXPECT_EQ(this->root_->pos, this->K);
  EXPECT_EQ(this->root_->slen, this->K);
  EXPECT_EQ(this->root_->bits, 0);
  EXPECT_EQ(this->root_->parent_off, kNoOffset);
  EXPECT_EQ(node_slots(this->root_)[0], kNoOffset);
  EXPECT_EQ(this->find(0), kLpcNotFound);
  EXPECT_EQ(this->remove(0, 0), kNothingToDo);
  EXPECT_EQ(this->verify(), "");
}

TYPED_TEST(TrieTest, SecondInsertOnlyReplacesTheValue) {
  auto k = this->key(10);
  ASSERT_EQ(this->insert(k, 8, 100), kDone);
  uint64_t used = this->chunks_in_use();
  uint64_t free_pages = this->pool()->free_pages;
  ASSERT_EQ(this->insert(k, 8, 200), kDone);
  EXPECT_EQ(this->chunks_in_use(), used);
  EXPECT_EQ(this->pool()->free_pages, free_pages);
  EXPECT_EQ(this->find(k | 5), 200u);
}

TYPED_TEST(TrieTest, PrefixesOfOneNetworkShareALeaf) {
  using Key = typename TypeParam::Key;
  const unsigned K = this->K;
  Key ten = this->key(10);
  ASSERT_EQ(this->insert(ten, 8, 8), kDone);
  ASSERT_EQ(this->insert(ten, 16, 16), kDone);
  const auto* leaf = this->top();
  ASSERT_EQ(leaf->bits, 0);
  const auto* first = _lfof_<const LpcAlias>(this->pool(), node_slots(leaf)[0]);
  const auto* second = _lfof_<const LpcAlias>(this->pool(), first->next_off);
  EXPECT_EQ(first->slen, K - 16);
  EXPECT_EQ(second->slen, K - 8);
  EXPECT_EQ(second->next_off, kNoOffset);

  EXPECT_EQ(this->find(ten | (Key{5} << (K - 24)) | 1), 16u);  // 10.0.5.1
  EXPECT_EQ(this->find(ten | (Key{5} << (K - 16)) | 1), 8u);   // 10.5.0.1
  EXPECT_EQ(this->find(this->key(11) | 1), kLpcNotFound);     // 11.0.0.1
  EXPECT_EQ(this->remove(ten, 24), kNothingToDo);
  EXPECT_EQ(this->verify(), "");
}

TYPED_TEST(TrieTest, DefaultRouteMatchesEverythingAndLosesToLongerPrefixes) {
  using Key = typename TypeParam::Key;
  ASSERT_EQ(this->insert(0, 0, 1), kDone);
  Key all_ones = static_cast<Key>(~Key{0});
  EXPECT_EQ(this->find(0), 1u);
  EXPECT_EQ(this->find(all_ones), 1u);
  EXPECT_EQ(this->find(this->key(10) | 77), 1u);
  ASSERT_EQ(this->insert(this->key(10), 8, 2), kDone);
  EXPECT_EQ(this->find(this->key(10) | 77), 2u);
  EXPECT_EQ(this->find(this->key(11)), 1u);
  ASSERT_EQ(this->insert(all_ones, this->K, 3), kDone);
  EXPECT_EQ(this->find(all_ones), 3u);
  EXPECT_EQ(this->find(all_ones - 1), 1u);
  EXPECT_EQ(this->verify(), "");
  EXPECT_EQ(this->remove(0, 0), kDone);
  EXPECT_EQ(this->find(this->key(11)), kLpcNotFound);
  EXPECT_EQ(this->verify(), "");
}

TYPED_TEST(TrieTest, HostPrefixMatchesOnlyItsOwnAddress) {
  auto host = this->key(192, 0x1234);
  ASSERT_EQ(this->insert(host, this->K, 9), kDone);
  EXPECT_EQ(this->find(host), 9u);
  EXPECT_EQ(this->find(host + 1), kLpcNotFound);
  EXPECT_EQ(this->find(host - 1), kLpcNotFound);
}

TYPED_TEST(TrieTest, HostsDifferingInTheLastOrTheFirstBitStaySeparate) {
  using Key = typename TypeParam::Key;
  const unsigned K = this->K;
  Key top_bit = TypeParam::bit(K - 1);
  ASSERT_EQ(this->insert(0, K, 1), kDone);
  ASSERT_EQ(this->insert(1, K, 2), kDone);
  ASSERT_EQ(this->insert(top_bit, K, 3), kDone);
  EXPECT_EQ(this->find(0), 1u);
  EXPECT_EQ(this->find(1), 2u);
  EXPECT_EQ(this->find(top_bit), 3u);
  EXPECT_EQ(this->find(2), kLpcNotFound);
  EXPECT_EQ(this->find(top_bit | 1), kLpcNotFound);
  EXPECT_EQ(this->verify(), "");
  EXPECT_EQ(this->remove(0, K), kDone);
  EXPECT_EQ(this->find(0), kLpcNotFound);
  EXPECT_EQ(this->find(1), 2u);
  EXPECT_EQ(this->verify(), "");
}

TYPED_TEST(TrieTest, HostBitsBelowThePrefixAreIgnored) {
  ASSERT_EQ(this->insert(this->key(10, 0x10203), 8, 7), kDone);  // 10.1.2.3/8 stored as 10.0.0.0/8
  EXPECT_EQ(this->find(this->key(10, 0x50505)), 7u);
  EXPECT_EQ(this->find(this->key(10)), 7u);
  ASSERT_EQ(this->verify(), "");
  EXPECT_EQ(this->remove(this->key(10, 0x90909), 8), kDone);
  EXPECT_EQ(this->find(this->key(10)), kLpcNotFound);
}

// Inserting two hosts that differ in the last two bits makes a one-bit node at pos 1, which is
// inflated once into a two-bit node at pos 0; deleting one host collapses it again.
TYPED_TEST(TrieTest, TwoHostsMakeOneTwoBitNodeThatCollapsesOnDelete) {
  auto base = this->key(10);
  ASSERT_EQ(this->insert(base | 1, this->K, 1), kDone);
  ASSERT_EQ(this->insert(base | 2, this->K, 2), kDone);
  ASSERT_EQ(this->verify(), "");
  const auto* n = this->top();
  EXPECT_EQ(n->key, base);
  EXPECT_EQ(n->pos, 0);
  EXPECT_EQ(n->bits, 2);
  const uint64_t* slots = node_slots(n);
  EXPECT_EQ(slots[0], kNoOffset);
  EXPECT_EQ(slots[3], kNoOffset);
  ASSERT_NE(slots[1], kNoOffset);
  ASSERT_NE(slots[2], kNoOffset);
  EXPECT_EQ(this->node_at(slots[1])->key, base | 1);
  EXPECT_EQ(this->node_at(slots[2])->key, base | 2);
  EXPECT_EQ(n->empty_children, 2u);
  EXPECT_EQ(n->full_children, 0u);

  ASSERT_EQ(this->remove(base | 2, this->K), kDone);
  ASSERT_EQ(this->verify(), "");
  const auto* leaf = this->top();
  EXPECT_EQ(leaf->bits, 0);
  EXPECT_EQ(leaf->key, base | 1);
  EXPECT_EQ(leaf->parent_off, offset_of_record(this->pool(), this->root_));
}

TYPED_TEST(TrieTest, NestedPrefixesOfEveryLength) {
  using Key = typename TypeParam::Key;
  const unsigned K = this->K;
  // One prefix per length along the key 0101...: every length gives a different network.
  Key full = static_cast<Key>(~Key{0} / 3);
  testing::PrefixModel<TypeParam> model;
  for (unsigned len = 0; len <= K; ++len) {
    Key net = full & prefix_mask<TypeParam>(len);
    ASSERT_EQ(this->insert(net, len, len), kDone) << len;
    model.put(net, len, len);
  }
  ASSERT_EQ(this->verify(), "");
  for (unsigned len = 0; len < K; ++len) {
    Key net = full & prefix_mask<TypeParam>(len);
    // Inside this prefix but outside the next longer one: the bit after the prefix flipped.
    Key next_bit = TypeParam::bit(K - len - 1);
    Key inside_not_longer = net | (~full & next_bit);
    EXPECT_EQ(this->find(inside_not_longer), len) << len;
    EXPECT_EQ(this->find(net), model.longest_match(net)) << len;
    Key last = prefix_last<TypeParam>(net, len);
    EXPECT_EQ(this->find(last), model.longest_match(last)) << len;
  }
  EXPECT_EQ(this->find(full), K);
}

TEST(Trie128, KeysDifferingOnlyInOneHalfStaySeparate) {
  testing::PoolFixture fixture;
  SlabPool* pool = fixture.pool();
  LpcNode128* root = lpctrie128_create(pool);
  const uint64_t ones = ~uint64_t{0};
  // Same low half, different high halves; same high half, different low halves.
  ASSERT_EQ(lpctrie128_insert(pool, root, 5, 7, ones, ones, 1), kDone);
  ASSERT_EQ(lpctrie128_insert(pool, root, 5, 8, ones, ones, 2), kDone);
  ASSERT_EQ(lpctrie128_insert(pool, root, 6, 7, ones, ones, 3), kDone);
  ASSERT_EQ(lpctrie128_insert(pool, root, 0, 7, 0, ones, 4), kDone);  // the /64 of the first and third
  EXPECT_EQ(lpctrie128_find(pool, root, 5, 7), 1u);
  EXPECT_EQ(lpctrie128_find(pool, root, 5, 8), 2u);
  EXPECT_EQ(lpctrie128_find(pool, root, 6, 7), 3u);
  EXPECT_EQ(lpctrie128_find(pool, root, 9, 7), 4u);
  EXPECT_EQ(lpctrie128_find(pool, root, 6, 8), kLpcNotFound);
  EXPECT_EQ(testing::trie_verify<Trie128Traits>(pool, root), "");
  EXPECT_EQ(lpctrie128_delete(pool, root, 5, 7, ones, ones), kDone);
  EXPECT_EQ(lpctrie128_find(pool, root, 5, 7), 4u);
  EXPECT_EQ(lpctrie128_find(pool, root, 5, 8), 2u);
}

TEST(Trie128, DocumentationPrefixes) {
  testing::PoolFixture fixture;
  SlabPool* pool = fixture.pool();
  LpcNode128* root = lpctrie128_create(pool);
  const uint64_t net = 0x20010db800000000u;  // 2001:db8::, high half
  ASSERT_EQ(lpctrie128_insert(pool, root, 0, 0, 0, 0, 1), kDone);                      // ::/0
  ASSERT_EQ(lpctrie128_insert(pool, root, 0, net, 0, 0xFFFFFFFF00000000u, 32), kDone);  // /32
  ASSERT_EQ(lpctrie128_insert(pool, root, 0, net, 0, 0xFFFFFFFFFFFF0000u, 48), kDone);  // /48
  EXPECT_EQ(lpctrie128_find(pool, root, 1, net), 48u);                  // 2001:db8::1
  EXPECT_EQ(lpctrie128_find(pool, root, 1, net | 0x1), 48u);            // 2001:db8:0:1::1
  EXPECT_EQ(lpctrie128_find(pool, root, 1, net | 0x10000), 32u);        // 2001:db8:1::1
  EXPECT_EQ(lpctrie128_find(pool, root, 1, 0x20010db900000000u), 1u);  // 2001:db9::1
  testing::TrieCensus<Trie128Traits> census;
  ASSERT_EQ(testing::trie_verify<Trie128Traits>(pool, root, &census), "");
  EXPECT_EQ(census.leaves, 2u);  // ::/0, and one leaf for both 2001:db8:: prefixes
}

// The three invariant checks abort with the condition's text after a newline on standard output.
class TrieBugDeathTest : public ::testing::Test {
 protected:
  static void log_to_stderr() {
    settings.log_level = kLogDebug;
    log_setfp(stderr);
  }
  testing::PoolFixture fixture_;
};

TEST_F(TrieBugDeathTest, PutChildOutsideTheNode) {
  LpcNode32* root = lpctrie32_create(fixture_.pool());
  LpcTrie<Trie32Traits> trie(fixture_.pool(), root);
  LpcNode32* n = trie.new_node(0, 30, 2);
  ASSERT_NE(n, nullptr);
  EXPECT_DEATH((log_to_stderr(), trie.put_child(n, 4, nullptr)),
               "\\[CRIT\\]: BUG! i >= child_length\\(parent_node\\) \\(\\./shm_lpctrie, line [0-9]+\\)");
}

TEST_F(TrieBugDeathTest, NewNodeWithoutBitsOrBeyondTheKey) {
  LpcNode128* root = lpctrie128_create(fixture_.pool());
  LpcTrie<Trie128Traits> trie(fixture_.pool(), root);
  EXPECT_DEATH((log_to_stderr(), trie.new_node(0, 5, 0)),
               "BUG! !bits \\|\\| \\(shift > KEYLENGTH\\) \\(\\./shm_lpctrie, line [0-9]+\\)");
  EXPECT_DEATH((log_to_stderr(), trie.new_node(0, 127, 2)), "BUG! !bits \\|\\| \\(shift > KEYLENGTH\\)");
}

TEST_F(TrieBugDeathTest, ResizeOfANodeItsParentDoesNotHold) {
  LpcNode32* root = lpctrie32_create(fixture_.pool());
  ASSERT_EQ(lpctrie32_insert(fixture_.pool(), root, 0x0A000001, ~0u, 1), kDone);
  ASSERT_EQ(lpctrie32_insert(fixture_.pool(), root, 0x0A000002, ~0u, 2), kDone);
  LpcTrie<Trie32Traits> trie(fixture_.pool(), root);
  LpcNode32* stray = trie.new_node(0x0A000000, 0, 2);
  ASSERT_NE(stray, nullptr);
  stray->parent_off = offset_of_record(fixture_.pool(), root);
  EXPECT_DEATH((log_to_stderr(), trie.resize(stray)),
               "BUG! node != _lfof_\\(paddr, parent_node->children_off\\[cindex\\]\\) \\(\\./shm_lpctrie, line");
}

}  // namespace
}  // namespace quillmap
