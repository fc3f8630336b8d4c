// The key tree: checksum vectors, the walk through a refusing view, and a seeded model test against a
// std::map in the tree's order (checksum, then bytes, then length; keys of one checksum included) that
// also covers the insertion and deletion edge cases (present keys, the root with one or two children,
// emptying the tree, deleting an unlinked node).
#include <gtest/gtest.h>

#include <cstring>
#include <map>
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

using testing::PoolFixture;
using testing::rbtree_check;

using testing::key_of;
using testing::make_node;

std::vector<std::string> keys_in_order(SlabPool* pool) {
  std::vector<std::string> out;
  TrustedView view(pool);
  rbtree_walk_inorder(view, key_tree_of(pool), [&](const RbtreeNode* n, const uint8_t* key) {
    out.emplace_back(reinterpret_cast<const char*>(key), n->key_len);
    return true;
  });
  return out;
}

uint32_t crc32_bitwise(const std::string& s) {
  uint32_t crc = 0xffffffffu;
  for (unsigned char b : s) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
  }
  return ~crc;
}

TEST(Crc32Short, KnownVectorsAndBitwiseAgreement) {
  const struct {
    const char* text;
    uint32_t crc;
  } rows[] = {{"", 0}, {"a", 0xe8b7be43}, {"abc", 0x352441c2}, {"123456789", 0xcbf43926},
              {"The quick brown fox jumps over the lazy dog", 0x414fa339}, {"plumless", 0x4ddb0c25},
              {"buckeroo", 0x4ddb0c25}};
  for (const auto& r : rows) EXPECT_EQ(crc32_short(r.text, strlen(r.text)), r.crc) << r.text;
  const uint32_t crc_seed = testing::test_seed(5);
  SCOPED_TRACE(testing::seed_trace(crc_seed));
  std::mt19937 rng(crc_seed);
  for (int i = 0; i < 200; ++i) {
    std::string s(rng() % 300, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    ASSERT_EQ(crc32_short(s.data(), s.size()), crc32_bitwise(s));
  }
}

class RbtreeTest : public ::testing::Test {
 protected:
  PoolFixture fx_{4 << 20};
  SlabPool* pool() { return fx_.pool(); }
  TreeRoot* tree() { return key_tree_of(fx_.pool()); }
  RbtreeNode* add(const std::string& key) {
    RbtreeNode* n = make_node(pool(), key);
    rbtree_insert(pool(), tree(), n);
    return n;
  }
  RbtreeNode* get(const std::string& key) { return rbtree_get(pool(), tree(), key.data(), key.size()); }
};

// A view that admits a limited number of steps, or refuses one offset.
struct RefusingView {
  template <class T>
  const T* at(uint64_t off, uint64_t bytes = sizeof(T)) {
    return off == refused || bytes == 0xffffffff ? nullptr : _lfof_<const T>(base_, off);
  }
  bool step() { return steps-- > 0; }
  const void* base() const { return base_; }
  const void* base_;
  int steps;
  uint64_t refused;
};

TEST_F(RbtreeTest, WalkAndFindStopWhenTheViewRefuses) {
  for (int i = 0; i < 100; ++i) add("n" + std::to_string(i));
  int visited = 0;
  auto count = [&](const RbtreeNode*) { return ++visited, true; };
  RefusingView few{pool(), 10, 0}, all{pool(), 100, 0}, no_root{pool(), 1000, tree()->root}, ok{pool(), 1000, 0};
  EXPECT_FALSE(rbtree_walk_inorder(few, tree(), count));
  EXPECT_LT(visited, 10);
  visited = 0;
  EXPECT_TRUE(rbtree_walk_inorder(all, tree(), count));
  EXPECT_EQ(visited, 100);
  EXPECT_FALSE(rbtree_walk_inorder(no_root, tree(), count));
  EXPECT_EQ(rbtree_find(no_root, tree(), "n5", 2), nullptr);
  EXPECT_EQ(rbtree_find(ok, tree(), "n5", 2), get("n5"));
  visited = 0;
  TrustedView trusted(pool());
  EXPECT_FALSE(rbtree_walk_inorder(trusted, tree(), [&](const RbtreeNode*) { return ++visited < 5; }));
  EXPECT_EQ(visited, 5);
}

// Keys of 0..max_key_len-1 letters from a six-letter alphabet; a full tree check every check_every steps.
struct ModelRun {
  uint32_t seed;
  int steps, max_key_len, check_every;
};

class RbtreeModelTest : public RbtreeTest, public ::testing::WithParamInterface<ModelRun> {};

INSTANTIATE_TEST_SUITE_P(Runs, RbtreeModelTest,
                         ::testing::Values(ModelRun{424242, 60000, 4, 1}, ModelRun{99, 40000, 7, 101},
                                           ModelRun{7, 20000, 2, 1}));  // tiny trees: root with 0-2 children

TEST_P(RbtreeModelTest, SeededModelAgainstStdMap) {
  const ModelRun run = GetParam();
  // QUILLMAP_SEED replaces the seed of every run (each keeps its shape).
  const uint32_t seed = testing::test_seed(run.seed);
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937 rng(seed);
  // The order the tree must keep, which its digest depends on.
  auto tree_order = [](const std::string& a, const std::string& b) {
    const uint32_t ca = crc32_short(a.data(), a.size()), cb = crc32_short(b.data(), b.size());
    return ca != cb ? ca < cb : a < b;
  };
  std::map<std::string, RbtreeNode*, decltype(tree_order)> model(tree_order);
  auto expect_order = [&] {
    std::vector<std::string> want;
    for (const auto& kv : model) want.push_back(kv.first);
    return keys_in_order(pool()) == want;
  };
  auto random_key = [&] {
    // Short keys from a small alphabet, so that look-ups hit and keys repeat; a few collide in checksum.
    static const char* const kFamily[] = {"plumless", "buckeroo", "plumless\xdb\xb4\x55\x54"};
    if (rng() % 50 == 0) return std::string(kFamily[rng() % 3]);
    std::string k(rng() % run.max_key_len, 'a');
    for (char& c : k) c = static_cast<char>('a' + rng() % 6);
    return k;
  };
  for (int step = 0; step < run.steps; ++step) {
    const int op = static_cast<int>(rng() % 10);
    const std::string key = random_key();
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
      RbtreeNode* victim = nullptr;
      if (op == 8 && tree()->root != tree()->sentinel) {
        victim = _lfof_<RbtreeNode>(pool(), tree()->root);  // the root, often with two children
        it = model.find(key_of(victim));
      } else if (it != model.end()) {
        victim = it->second;
      }
      if (victim != nullptr) {
        rbtree_delete(pool(), tree(), victim);
        // The links are cleared, the key bytes stay for the caller's messages, and a second delete
        // of the unlinked node leaves the tree alone.
        const uint8_t zeros[32] = {};
        ASSERT_EQ(std::memcmp(victim, zeros, 32), 0);
        ASSERT_EQ(key_of(victim), it->first);
        rbtree_delete(pool(), tree(), victim);
        slab_free_locked(pool(), victim);
        model.erase(it);
      }
    } else {
      RbtreeNode* found = get(key);
      ASSERT_EQ(found, it == model.end() ? nullptr : it->second) << "step " << step << " key " << key;
    }
    if (step % 1000 == 0) {
      ASSERT_TRUE(expect_order()) << "step " << step;
    }
    if (step % run.check_every != 0) continue;
    uint64_t count = 0;
    ASSERT_EQ(rbtree_check(pool(), tree(), &count), "") << "step " << step;
    ASSERT_EQ(count, model.size()) << "step " << step;
  }
  uint64_t count = 0;
  ASSERT_EQ(rbtree_check(pool(), tree(), &count), "");
  ASSERT_EQ(count, model.size());
  ASSERT_TRUE(expect_order());
  for (const auto& [k, n] : model) ASSERT_EQ(get(k), n);
  for (auto& [k, n] : model) {
    rbtree_delete(pool(), tree(), n);
    slab_free_locked(pool(), n);
  }
  EXPECT_EQ(tree()->root, tree()->sentinel);
  testing::SlabCensus census;
  ASSERT_EQ(testing::slab_check(pool(), &census), "");
  uint64_t used = 0;
  for (uint64_t u : census.used) used += u;
  EXPECT_EQ(used, 2u);  // only the TreeRoot and the sentinel are left
}

}  // namespace
}  // namespace quillmap
