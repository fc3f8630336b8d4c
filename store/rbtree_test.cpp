// The key tree: the checksum against a bitwise reference, and a seeded model test against a std::map in
// the tree's order (checksum, then bytes, then length; keys of one checksum included) that also covers
// present keys, the root with one or two children, emptying the tree, deleting an unlinked node, and
// walks and searches through a view that refuses.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "store/rbtree.h"
#include "store/slab.h"
#include "store/testing/pool_fixture.h"
#include "store/testing/rbtree_check.h"
#include "store/testing/slab_check.h"
#include "store/testing/tree_nodes.h"
#include "util/testing/seed.h"

namespace quillmap {
namespace {

using testing::key_of;
using testing::make_node;

TEST(Crc32Short, KnownVectorsAndBitwiseReference) {
  auto bitwise = [](const std::string& s) {
    uint32_t crc = 0xffffffffu;
    for (unsigned char b : s) {
      crc ^= b;
      for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
    }
    return ~crc;
  };
  // The model below relies on the two colliding keys.
  for (auto [text, crc] : {std::pair<const char*, uint32_t>{"", 0}, {"123456789", 0xcbf43926},
                           {"plumless", 0x4ddb0c25}, {"buckeroo", 0x4ddb0c25}})
    EXPECT_EQ(crc32_short(text, strlen(text)), crc) << text;
  const uint32_t seed = testing::test_seed(5);
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937 rng(seed);
  for (int i = 0; i < 200; ++i) {
    std::string s(rng() % 300, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    ASSERT_EQ(crc32_short(s.data(), s.size()), bitwise(s));
  }
}

// A view that admits a limited number of steps, and refuses one offset.
struct RefusingView {
  template <class T>
  const T* at(uint64_t off, uint64_t = sizeof(T)) { return off == refused ? nullptr : _lfof_<const T>(base_, off); }
  bool step() { return steps-- > 0; }
  const void* base() const { return base_; }
  const void* base_;
  int64_t steps;
  uint64_t refused;
};

// Keys of 0..max_key_len-1 letters from a six-letter alphabet; a full tree check every check_every steps.
struct ModelRun {
  uint32_t seed;
  int steps, max_key_len, check_every;
};

class RbtreeModelTest : public ::testing::TestWithParam<ModelRun> {
 protected:
  testing::PoolFixture fx_{4 << 20};
  SlabPool* pool() { return fx_.pool(); }
  TreeRoot* tree() { return key_tree_of(fx_.pool()); }
  RbtreeNode* get(const std::string& key) { return rbtree_get(pool(), tree(), key.data(), key.size()); }
};

INSTANTIATE_TEST_SUITE_P(Runs, RbtreeModelTest,
                         ::testing::Values(ModelRun{424242, 50000, 4, 1}, ModelRun{99, 30000, 7, 101},
                                           ModelRun{7, 10000, 2, 1}));  // tiny trees: root with 0-2 children

TEST_P(RbtreeModelTest, SeededModelAgainstStdMap) {
  const ModelRun run = GetParam();
  const uint32_t seed = testing::test_seed(run.seed);  // QUILLMAP_SEED replaces every run's seed
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937 rng(seed);
  auto tree_order = [](const std::string& a, const std::string& b) {
    const uint32_t ca = crc32_short(a.data(), a.size()), cb = crc32_short(b.data(), b.size());
    return ca != cb ? ca < cb : a < b;
  };
  std::map<std::string, RbtreeNode*, decltype(tree_order)> model(tree_order);
  auto check = [&](int step) {
    uint64_t count = 0;
    ASSERT_EQ(testing::rbtree_check(pool(), tree(), &count), "") << "step " << step;
    ASSERT_EQ(count, model.size()) << "step " << step;
    auto it = model.begin();  // the walk visits the model's keys in order
    TrustedView view(pool());
    const bool same = rbtree_walk_inorder(view, tree(), [&](const RbtreeNode* n) {
      return it != model.end() && (it++)->second == n;
    });
    ASSERT_TRUE(same && it == model.end()) << "step " << step;
    // The walk stops when the visitor says so, and a view's refusal ends the walk and the search: a
    // step budget short of the tree's size, or the root's offset refused.
    const int64_t n = static_cast<int64_t>(model.size()), budget = static_cast<int64_t>(rng() % (n + 2));
    int64_t visited = 0;
    ASSERT_EQ(rbtree_walk_inorder(view, tree(), [&](const RbtreeNode*) { return ++visited <= budget; }), budget >= n);
    ASSERT_EQ(visited, std::min(budget + 1, n));
    RefusingView short_of{pool(), budget, 0}, no_root{pool(), n, tree()->root};
    ASSERT_EQ(rbtree_walk_inorder(short_of, tree(), [](const RbtreeNode*) { return true; }), budget >= n);
    if (n > 0) {
      ASSERT_FALSE(rbtree_walk_inorder(no_root, tree(), [](const RbtreeNode*) { return true; }));
      ASSERT_EQ(rbtree_find(no_root, tree(), model.begin()->first.data(), model.begin()->first.size()), nullptr);
    }
  };
  for (int step = 0; step < run.steps; ++step) {
    const int op = static_cast<int>(rng() % 10);
    std::string key(rng() % run.max_key_len, 'a');
    for (char& c : key) c = static_cast<char>('a' + rng() % 6);
    static const char* const kFamily[] = {"plumless", "buckeroo", "plumless\xdb\xb4\x55\x54"};  // one checksum
    if (rng() % 50 == 0) key = kFamily[rng() % 3];
    auto it = model.find(key);
    if (op < 5) {
      RbtreeNode* n = make_node(pool(), key);
      ASSERT_NE(n, nullptr);
      rbtree_insert(pool(), tree(), n);
      if (it == model.end()) {
        model[key] = n;
      } else {  // a present key: the tree stays as it was, the offered node unlinked
        ASSERT_EQ(n->left | n->right | n->parent | n->color, 0u);
        slab_free_locked(pool(), n);
      }
    } else if (op < 9) {
      RbtreeNode* victim = it == model.end() ? nullptr : it->second;
      if (op == 8 && tree()->root != tree()->sentinel) {
        victim = _lfof_<RbtreeNode>(pool(), tree()->root);  // the root, often with two children
        it = model.find(key_of(victim));
      }
      if (victim != nullptr) {
        rbtree_delete(pool(), tree(), victim);
        // The links are cleared, the key bytes stay, and a second delete leaves the tree alone.
        const uint8_t zeros[32] = {};
        ASSERT_EQ(std::memcmp(victim, zeros, 32), 0);
        ASSERT_EQ(key_of(victim), it->first);
        rbtree_delete(pool(), tree(), victim);
        slab_free_locked(pool(), victim);
        model.erase(it);
      }
    } else {
      ASSERT_EQ(get(key), it == model.end() ? nullptr : it->second) << "step " << step << " key " << key;
    }
    if (step % run.check_every == 0 || step % 1000 == 0) {
      ASSERT_NO_FATAL_FAILURE(check(step));
    }
  }
  ASSERT_NO_FATAL_FAILURE(check(run.steps));
  for (auto& [k, n] : model) {
    ASSERT_EQ(get(k), n);
    rbtree_delete(pool(), tree(), n);
    slab_free_locked(pool(), n);
  }
  EXPECT_EQ(tree()->root, tree()->sentinel);
  testing::SlabCensus census;
  ASSERT_EQ(testing::slab_check(pool(), &census), "");
  EXPECT_EQ(std::accumulate(census.used.begin(), census.used.end(), uint64_t{0}), 2u);  // TreeRoot, sentinel
}

}  // namespace
}  // namespace quillmap
