// Edge cases and the shape of small tries, for both key widths, and the invariant checks.
#include "lpctrie/lpctrie.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "lpctrie/testing/trie_fixture.h"
#include "lpctrie/trie_ops.h"
#include "util/log.h"
#include "util/settings.h"

namespace quillmap {
namespace {

template <class Traits>
using TrieTest = testing::TrieFixture<Traits>;
TYPED_TEST_SUITE(TrieTest, testing::TrieWidths);

// An empty trie; the same prefix stored twice (the second time allocates nothing); 10.0.0.0/8 and
// 10.0.0.0/16 on one leaf; host bits below the prefix ignored (10.1.2.3/8 is 10.0.0.0/8).
TYPED_TEST(TrieTest, SharedLeafAndValueReplacement) {
  using Key = typename TypeParam::Key;
  const unsigned K = this->K;
  Key ten = this->key(10);
  EXPECT_EQ(this->find(0), kLpcNotFound);
  EXPECT_EQ(this->remove(0, 0), kNothingToDo);
  ASSERT_EQ(this->insert(this->key(10, 0x10203), 8, 7), kDone);
  auto before = this->allocator_state();
  ASSERT_EQ(this->insert(ten, 8, 8), kDone);
  EXPECT_TRUE(this->allocator_state() == before);
  ASSERT_EQ(this->insert(ten, 16, 16), kDone);
  const auto* first = _lfof_<const LpcAlias>(this->pool(), node_slots(this->top())[0]);
  const auto* second = _lfof_<const LpcAlias>(this->pool(), first->next_off);
  EXPECT_TRUE(this->top()->bits == 0 && first->slen == K - 16 && second->slen == K - 8);
  EXPECT_EQ(second->next_off, kNoOffset);
  EXPECT_EQ(this->find(ten | (Key{5} << (K - 24)) | 1), 16u);  // 10.0.5.1
  EXPECT_EQ(this->find(ten | (Key{5} << (K - 16)) | 1), 8u);   // 10.5.0.1
  EXPECT_EQ(this->find(this->key(11) | 1), kLpcNotFound);     // 11.0.0.1
  EXPECT_EQ(this->remove(ten, 24), kNothingToDo);
  EXPECT_EQ(this->remove(this->key(10, 0x90909), 8), kDone);
  EXPECT_EQ(this->find(ten | (Key{5} << (K - 16))), kLpcNotFound);
  EXPECT_EQ(this->verify(), "");
}

// 0.0.0.0/0 and ::/0 match everything and lose to longer prefixes; the all-ones host
// (255.255.255.255) and hosts differing only in the first or the last bit stay separate.
TYPED_TEST(TrieTest, DefaultRouteAndHostsAtTheEdgesOfTheKey) {
  using Key = typename TypeParam::Key;
  const unsigned K = this->K;
  const Key ones = static_cast<Key>(~Key{0}), top_bit = TypeParam::bit(K - 1);
  ASSERT_EQ(this->insert(0, 0, 1), kDone);
  EXPECT_EQ(this->find(ones), 1u);
  ASSERT_EQ(this->insert(this->key(10), 8, 2), kDone);
  for (auto [k, v] : {std::pair<Key, uint64_t>{ones, 3}, {0, 4}, {1, 5}, {top_bit, 6}})
    ASSERT_EQ(this->insert(k, K, v), kDone);
  const std::pair<Key, uint64_t> lookups[] = {{ones, 3}, {ones - 1, 1}, {0, 4},           {1, 5},
                                              {2, 1},    {top_bit, 6},  {top_bit | 1, 1}, {this->key(10) | 77, 2},
                                              {this->key(11), 1}};
  for (auto [addr, value] : lookups) EXPECT_EQ(this->find(addr), value);
  ASSERT_EQ(this->verify(), "");
  EXPECT_EQ(this->remove(0, 0), kDone);
  EXPECT_EQ(this->remove(0, K), kDone);
  for (Key addr : {Key{0}, Key{2}, ones - 1, this->key(11)}) EXPECT_EQ(this->find(addr), kLpcNotFound);
  EXPECT_EQ(this->find(1), 5u);
  EXPECT_EQ(this->verify(), "");
}

// 10.0.0.1/32 and 10.0.0.2/32 make a one-bit node at pos 1, inflated once into a two-bit node at pos 0
// with the hosts in slots 1 and 2; deleting 10.0.0.2 collapses it, leaving the other leaf under the root.
TYPED_TEST(TrieTest, TwoHostsMakeOneTwoBitNodeThatCollapsesOnDelete) {
  auto base = this->key(10);
  ASSERT_EQ(this->insert(base | 1, this->K, 1), kDone);
  ASSERT_EQ(this->insert(base | 2, this->K, 2), kDone);
  ASSERT_EQ(this->verify(), "");
  const auto* n = this->top();
  const uint64_t* slots = node_slots(n);
  EXPECT_TRUE(n->key == base && n->pos == 0 && n->bits == 2 && n->empty_children == 2 && n->full_children == 0);
  EXPECT_TRUE(slots[0] == kNoOffset && slots[3] == kNoOffset);
  ASSERT_TRUE(slots[1] != kNoOffset && slots[2] != kNoOffset);
  EXPECT_TRUE(this->node_at(slots[1])->key == (base | 1) && this->node_at(slots[2])->key == (base | 2));

  ASSERT_EQ(this->remove(base | 2, this->K), kDone);
  ASSERT_EQ(this->verify(), "");
  EXPECT_TRUE(this->top()->bits == 0 && this->top()->key == (base | 1));
  EXPECT_EQ(this->top()->parent_off, offset_of_record(this->pool(), this->root_));
}

// Keys equal in one 64-bit half and different in the other stay separate; 2001:db8::/32 and /48
// share a leaf and win over ::/0.
TEST(Trie128, HalvesOfTheKeyAndDocumentationPrefixes) {
  testing::PoolFixture fixture;
  SlabPool* pool = fixture.pool();
  LpcNode128* root = lpctrie128_create(pool);
  const uint64_t ones = ~uint64_t{0}, net = 0x20010db800000000u;  // 2001:db8::, high half
  const uint64_t inserts[][5] = {{5, 7, ones, ones, 1}, {5, 8, ones, ones, 2}, {6, 7, ones, ones, 3},
                                 {0, 7, 0, ones, 4},  // the /64 of the first and third
                                 {0, 0, 0, 0, 10},    {0, net, 0, 0xFFFFFFFF00000000u, 32},
                                 {0, net, 0, 0xFFFFFFFFFFFF0000u, 48}};
  for (const auto& i : inserts) ASSERT_EQ(lpctrie128_insert(pool, root, i[0], i[1], i[2], i[3], i[4]), kDone);
  const uint64_t lookups[][3] = {{5, 7, 1},        {5, 8, 2},         {6, 7, 3},           {9, 7, 4},
                                 {6, 8, 10},       {1, net, 48},      {1, net | 0x1, 48},  // 2001:db8:0:1::1
                                 {1, net | 0x10000, 32},  // 2001:db8:1::1
                                 {1, 0x20010db900000000u, 10}};
  for (const auto& l : lookups) EXPECT_EQ(lpctrie128_find(pool, root, l[0], l[1]), l[2]) << l[0] << " " << l[1];
  testing::TrieCensus<Trie128Traits> census;
  ASSERT_EQ(testing::trie_verify<Trie128Traits>(pool, root, &census), "");
  EXPECT_EQ(census.leaves, 6u);  // one leaf for both 2001:db8:: prefixes
  EXPECT_EQ(lpctrie128_delete(pool, root, 5, 7, ones, ones), kDone);
  EXPECT_EQ(lpctrie128_find(pool, root, 5, 7), 4u);
  EXPECT_EQ(lpctrie128_find(pool, root, 5, 8), 2u);
}

// The three invariant checks abort with the condition's text, the module's path and the line.
TEST(TrieBugDeathTest, InvariantChecksAbortWithTheCondition) {
  testing::PoolFixture fixture;
  SlabPool* pool = fixture.pool();
  LpcNode32* root = lpctrie32_create(pool);
  ASSERT_EQ(lpctrie32_insert(pool, root, 0x0A000001, ~0u, 1), kDone);
  ASSERT_EQ(lpctrie32_insert(pool, root, 0x0A000002, ~0u, 2), kDone);
  LpcTrie<Trie32Traits> t32(pool, root);
  LpcTrie<Trie128Traits> t128(pool, lpctrie128_create(pool));
  LpcNode32* stray = t32.new_node(0x0A000000, 0, 2);  // a node its parent does not hold
  ASSERT_NE(stray, nullptr);
  stray->parent_off = offset_of_record(pool, root);
  const std::pair<std::function<void()>, const char*> cases[] = {
      {[&] { t32.put_child(stray, 4, nullptr); }, "i >= child_length\\(parent_node\\)"},
      {[&] { t128.new_node(0, 5, 0); }, "!bits \\|\\| \\(shift > KEYLENGTH\\)"},
      {[&] { t128.new_node(0, 127, 2); }, "!bits \\|\\| \\(shift > KEYLENGTH\\)"},
      {[&] { t32.resize(stray); }, "node != _lfof_\\(paddr, parent_node->children_off\\[cindex\\]\\)"},
  };
  settings.log_level = kLogDebug;
  log_setfp(stderr);
  for (const auto& [fault, condition] : cases)
    EXPECT_DEATH(fault(), std::string("\\[CRIT\\]: BUG! ") + condition + " \\(\\./shm_lpctrie, line [0-9]+\\)");
}

}  // namespace
}  // namespace quillmap
