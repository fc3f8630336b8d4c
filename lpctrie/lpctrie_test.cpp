// The shape of a small trie, for both key widths, and the invariant checks. (The edge cases of keys,
// prefix lengths and values are the model test's.)
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
