// The key tree: checksum vectors, the order, insertion and deletion edge cases, the walk through a
// refusing view, and a seeded model test against std::map.
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

namespace quillmap {
namespace {

using testing::PoolFixture;
using testing::rbtree_check;

// A zero-filled node for `key`, as the entry layer creates one.
RbtreeNode* make_node(SlabPool* pool, const std::string& key, const std::string& value = "") {
  auto* n = static_cast<RbtreeNode*>(slab_calloc_locked(pool, kNodeHeaderSize + key.size() + value.size()));
  if (n == nullptr) return nullptr;
  n->key_crc = crc32_short(key.data(), key.size());
  n->key_len = static_cast<uint16_t>(key.size());
  n->value_len = static_cast<uint32_t>(value.size());
  std::memcpy(node_key(n), key.data(), key.size());
  std::memcpy(node_value(n), value.data(), value.size());
  return n;
}

std::string key_of(const RbtreeNode* n) { return std::string(reinterpret_cast<const char*>(node_key(n)), n->key_len); }

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
  struct Row {
    const char* text;
    uint32_t crc;
  };
  const Row rows[] = {{"", 0},
                      {"a", 0xe8b7be43},
                      {"abc", 0x352441c2},
                      {"123456789", 0xcbf43926},
                      {"The quick brown fox jumps over the lazy dog", 0x414fa339},
                      {"plumless", 0x4ddb0c25},
                      {"buckeroo", 0x4ddb0c25}};
  for (const Row& r : rows) EXPECT_EQ(crc32_short(r.text, strlen(r.text)), r.crc) << r.text;
  std::mt19937 rng(5);
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

TEST_F(RbtreeTest, OrderIsChecksumThenBytesThenLength) {
  const std::string forged = std::string("plumless") + "\xdb\xb4\x55\x54";  // same checksum as "plumless"
  ASSERT_EQ(crc32_short(forged.data(), forged.size()), 0x4ddb0c25u);
  for (const std::string& k : {std::string("a"), std::string("ab"), forged, std::string("plumless"),
                               std::string("buckeroo"), std::string()})
    add(k);
  EXPECT_EQ(rbtree_check(pool(), tree()), "");
  // "" (0) < "plumless"-family (0x4ddb0c25) < "ab" (0x9e83486d) < "a" (0xe8b7be43).
  const std::vector<std::string> want = {"", "buckeroo", "plumless", forged, "ab", "a"};
  EXPECT_EQ(keys_in_order(pool()), want);
  for (const std::string& k : want) {
    RbtreeNode* n = get(k);
    ASSERT_NE(n, nullptr) << k;
    EXPECT_EQ(key_of(n), k);
  }
  EXPECT_EQ(get("plumles"), nullptr);
  EXPECT_EQ(get(std::string("plumless") + "\xdb"), nullptr);
  EXPECT_EQ(get(""), rbtree_get(pool(), tree(), nullptr, 0));
}

TEST_F(RbtreeTest, InsertingAPresentKeyChangesNothing) {
  for (int i = 0; i < 20; ++i) add("key" + std::to_string(i));
  RbtreeNode* original = get("key7");
  const TreeRoot before = *tree();
  RbtreeNode* dup = make_node(pool(), "key7");
  rbtree_insert(pool(), tree(), dup);
  EXPECT_EQ(get("key7"), original);
  EXPECT_EQ(tree()->root, before.root);
  EXPECT_EQ(dup->left | dup->right | dup->parent, 0u);
  EXPECT_EQ(dup->color, 0);
  EXPECT_EQ(rbtree_check(pool(), tree()), "");
}

TEST_F(RbtreeTest, DeletingTheOnlyNodeEmptiesTheTree) {
  RbtreeNode* n = add("only");
  EXPECT_EQ(tree()->root, offset_of_record(pool(), n));
  rbtree_delete(pool(), tree(), n);
  EXPECT_EQ(tree()->root, tree()->sentinel);
  EXPECT_EQ(get("only"), nullptr);
  const uint8_t zeros[32] = {};
  EXPECT_EQ(std::memcmp(n, zeros, 32), 0);
  EXPECT_EQ(key_of(n), "only");  // the key bytes stay for the caller's messages
  // Deleting it again leaves the tree alone.
  add("other");
  rbtree_delete(pool(), tree(), n);
  EXPECT_EQ(keys_in_order(pool()), std::vector<std::string>{"other"});
  EXPECT_EQ(rbtree_check(pool(), tree()), "");
}

TEST_F(RbtreeTest, RootWithOneChildHandsOverWithSentinelParent) {
  RbtreeNode* a = add("a");
  RbtreeNode* b = add("b");
  RbtreeNode* root = _lfof_<RbtreeNode>(pool(), tree()->root);
  RbtreeNode* child = root == a ? b : a;
  rbtree_delete(pool(), tree(), root);
  EXPECT_EQ(tree()->root, offset_of_record(pool(), child));
  EXPECT_EQ(child->parent, tree()->sentinel);
  EXPECT_EQ(child->color, 0);
  EXPECT_EQ(rbtree_check(pool(), tree()), "");
  add("c");
  add("d");
  EXPECT_EQ(rbtree_check(pool(), tree()), "");
}

TEST_F(RbtreeTest, DeletingANodeWithTwoChildrenMovesItsSuccessor) {
  std::map<std::string, RbtreeNode*> nodes;
  for (int i = 0; i < 64; ++i) {
    std::string k = "k" + std::to_string(i);
    nodes[k] = add(k);
  }
  // The root has two children in a tree of 64 nodes.
  RbtreeNode* victim = _lfof_<RbtreeNode>(pool(), tree()->root);
  ASSERT_NE(victim->left, tree()->sentinel);
  ASSERT_NE(victim->right, tree()->sentinel);
  uint64_t s = victim->right;
  while (_lfof_<RbtreeNode>(pool(), s)->left != tree()->sentinel) s = _lfof_<RbtreeNode>(pool(), s)->left;
  RbtreeNode* successor = _lfof_<RbtreeNode>(pool(), s);
  const std::string victim_key = key_of(victim);
  rbtree_delete(pool(), tree(), victim);
  nodes.erase(victim_key);
  EXPECT_EQ(tree()->root, offset_of_record(pool(), successor));
  EXPECT_EQ(rbtree_check(pool(), tree()), "");
  for (const auto& [k, n] : nodes) EXPECT_EQ(get(k), n) << k;  // every other node kept its address
  EXPECT_EQ(get(victim_key), nullptr);
}

// A view that admits a limited number of steps, or refuses one offset.
class RefusingView {
 public:
  RefusingView(const void* base, int steps, uint64_t refused) : base_(base), steps_(steps), refused_(refused) {}
  template <class T>
  const T* at(uint64_t off, uint64_t bytes = sizeof(T)) {
    if (off == refused_ || bytes == 0xffffffff) return nullptr;
    return _lfof_<const T>(base_, off);
  }
  bool step() { return steps_-- > 0; }
  const void* base() const { return base_; }

 private:
  const void* base_;
  int steps_;
  uint64_t refused_;
};

TEST_F(RbtreeTest, WalkAndFindStopWhenTheViewRefuses) {
  for (int i = 0; i < 100; ++i) add("n" + std::to_string(i));
  int visited = 0;
  auto count = [&](const RbtreeNode*) { return ++visited, true; };
  RefusingView few(pool(), 10, 0);
  EXPECT_FALSE(rbtree_walk_inorder(few, tree(), count));
  EXPECT_LT(visited, 10);
  visited = 0;
  RefusingView all(pool(), 100, 0);
  EXPECT_TRUE(rbtree_walk_inorder(all, tree(), count));
  EXPECT_EQ(visited, 100);
  RefusingView no_root(pool(), 1000, tree()->root);
  EXPECT_FALSE(rbtree_walk_inorder(no_root, tree(), count));
  EXPECT_EQ(rbtree_find(no_root, tree(), "n5", 2), nullptr);
  RefusingView ok(pool(), 1000, 0);
  EXPECT_EQ(rbtree_find(ok, tree(), "n5", 2), get("n5"));
  visited = 0;
  TrustedView trusted(pool());
  EXPECT_FALSE(rbtree_walk_inorder(trusted, tree(), [&](const RbtreeNode*) { return ++visited < 5; }));
  EXPECT_EQ(visited, 5);
}

struct ModelRun {
  uint32_t seed;
  int steps;
  int max_key_len;   // keys of 0..max_key_len-1 letters from a six-letter alphabet
  int check_every;   // steps between full tree checks
};

class RbtreeModelTest : public RbtreeTest, public ::testing::WithParamInterface<ModelRun> {};

INSTANTIATE_TEST_SUITE_P(Runs, RbtreeModelTest,
                         ::testing::Values(ModelRun{424242, 60000, 4, 1}, ModelRun{99, 40000, 7, 101}));

TEST_P(RbtreeModelTest, SeededModelAgainstStdMap) {
  const ModelRun run = GetParam();
  const uint32_t seed = run.seed;
  SCOPED_TRACE(testing::check_format("seed %u", seed));
  std::mt19937 rng(seed);
  std::map<std::string, RbtreeNode*> model;
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
      } else {
        EXPECT_EQ(n->left | n->right | n->parent, 0u);
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
        slab_free_locked(pool(), victim);
        model.erase(it);
      }
    } else {
      RbtreeNode* found = get(key);
      ASSERT_EQ(found, it == model.end() ? nullptr : it->second) << "step " << step << " key " << key;
    }
    if (step % run.check_every != 0) continue;
    uint64_t count = 0;
    ASSERT_EQ(rbtree_check(pool(), tree(), &count), "") << "step " << step;
    ASSERT_EQ(count, model.size()) << "step " << step;
  }
  uint64_t count = 0;
  ASSERT_EQ(rbtree_check(pool(), tree(), &count), "");
  ASSERT_EQ(count, model.size());
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
