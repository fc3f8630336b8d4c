// The writer's ordered copy of the key tree: a seeded model of inserts and deletes in a published
// dictionary, with another writer process changing the tree now and then and the store laid out
// afresh. The copy must answer most places, and each answer must be the walk's: the key tree compares
// the two on every insert (and the successor it names on every delete) in debug builds.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "store/change_epoch.h"
#include "store/rbtree.h"
#include "store/slab.h"
#include "store/state_layout.h"
#include "store/testing/pool_fixture.h"
#include "store/testing/rbtree_check.h"
#include "store/testing/sysv_segment.h"
#include "store/testing/tree_nodes.h"
#include "store/tree_neighbours.h"
#include "util/testing/seed.h"

namespace quillmap {
namespace {

TEST(TreeNeighbours, PlacesAgreeWithTheWalkAcrossOtherWritersAndFreshLayouts) {
  const uint32_t seed = testing::test_seed(20261207);
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937 rng(seed);
  testing::PoolFixture fixture(16 << 20, testing::PoolBacking::kSysv);
  testing::SysvSegment state_segment(sizeof(StateHeader));
  SlabPool* pool = fixture.pool();
  publish_changes(&pool->lock, static_cast<StateHeader*>(state_segment.base()));
  auto tree = [&] { return key_tree_of(pool); };
  auto get = [&](const std::string& k) { return rbtree_get(pool, tree(), k.data(), k.size()); };

  std::map<std::string, RbtreeNode*> model;
  auto letters = [](std::mt19937& r, size_t n) {
    std::string k(n, 'a');
    for (char& c : k) c = static_cast<char>('a' + r() % 26);
    return k;
  };
  // Keys in pairs of one checksum (a birthday search), drawn often: the tree orders such a group by
  // key bytes, the copy by offset, so both the key's own group and a neighbouring one must refuse.
  std::vector<std::string> paired;
  std::unordered_map<uint32_t, std::string> seen;
  for (std::mt19937 search(seed); paired.size() < 32;) {
    const std::string k = letters(search, 8);  // 5 letters give the checksum too few distinct inputs
    const auto [it, fresh] = seen.emplace(crc32_short(k.data(), k.size()), k);
    if (!fresh && it->second != k) paired.insert(paired.end(), {it->second, k});
  }
  auto random_key = [&] { return rng() % 10 == 0 ? paired[rng() % paired.size()] : letters(rng, 5); };
  auto some_key = [&] {
    auto it = model.lower_bound(random_key());
    return it == model.end() ? model.begin() : it;
  };
  int placed = 0, answered = 0;
  for (int step = 0; step < 30000; ++step) {
    change_begins();
    const int op = static_cast<int>(rng() % 1000);
    if (step == 12000 || step == 12100) {  // laid out afresh, at the same place, as a rebuild of the store does
      store_layout(pool, fixture.size());
      ASSERT_EQ(store_create_key_tree_locked(pool), 0);
      model.clear();
    } else if (op < 700) {
      const std::string key = random_key();
      if (RbtreeNode* n = model.count(key) != 0 ? nullptr : testing::make_node(pool, key)) {
        RbtreeNode* parent = nullptr;
        bool right = false;
        const bool rooted = tree()->root != tree()->sentinel;
        placed += rooted;
        answered += rooted && neighbour_place(pool, tree(), n, &parent, &right);
        rbtree_insert(pool, tree(), model[key] = n);
      }
    } else if (op < 990 && !model.empty()) {
      auto it = some_key();
      rbtree_delete(pool, tree(), it->second);
      slab_free_locked(pool, it->second);
      model.erase(it);
    } else if (op >= 990) {
      // Another writer: a child process deletes and inserts a few hundred keys in its own change (freed
      // chunks are taken again, so a stale copy would name other nodes); the keys are chosen
      // here so that the model follows.
      std::vector<std::string> adds, dels;
      for (int i = 0; i < 200; ++i)
        if (const std::string k = random_key(); model.count(k) == 0) adds.push_back(k);
      for (int i = 0; i < 200 && !model.empty(); ++i) dels.push_back(some_key()->first);
      change_ends();
      const pid_t child = fork();
      if (child == 0) {  // its copy, inherited, still mirrors the tree
        change_begins();
        for (const std::string& k : dels) {
          if (RbtreeNode* n = get(k)) {
            rbtree_delete(pool, tree(), n);
            slab_free_locked(pool, n);
          }
        }
        for (const std::string& k : adds) rbtree_insert(pool, tree(), testing::make_node(pool, k));
        change_ends();
        _exit(0);
      }
      int status = 0;
      ASSERT_TRUE(waitpid(child, &status, 0) == child && status == 0);
      change_begins();
      for (const std::string& k : dels) model.erase(k);
      for (const std::string& k : adds) model[k] = get(k);
    }
    change_ends();
    if (step % 500 != 0) continue;
    uint64_t count = 0;
    ASSERT_EQ(testing::rbtree_check(pool, tree(), &count), "") << "step " << step;
    ASSERT_EQ(count, model.size()) << "step " << step;
  }
  for (const auto& [k, n] : model) ASSERT_EQ(get(k), n) << k;
  // Most places come from the copy; the rest are refusals in a small tree (after a fresh layout),
  // near the tree's ends and for equal checksums.
  EXPECT_GT(answered, placed * 7 / 10) << answered << " of " << placed;
  publish_changes(nullptr, nullptr);
}

}  // namespace
}  // namespace quillmap
