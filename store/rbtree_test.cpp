// The key tree: the checksum against a bitwise reference; a seeded model against a std::map in the
// tree's order (keys of one checksum included) that also walks and searches through views that refuse,
// once with the writer's ordered copy in use, and checks the digest of the keys; then the expiry sweep
// and purge, and the SHA-1 routine of the digest.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "store/change_epoch.h"
#include "store/rbtree.h"
#include "store/rwlock.h"
#include "store/sha1.h"
#include "store/slab.h"
#include "store/state_layout.h"
#include "store/store_init.h"
#include "store/sweeps.h"
#include "store/testing/log_capture.h"
#include "store/testing/pool_fixture.h"
#include "store/testing/rbtree_check.h"
#include "store/testing/slab_check.h"
#include "store/testing/sysv_segment.h"
#include "store/testing/tree_nodes.h"
#include "store/tree_neighbours.h"
#include "util/host_params.h"
#include "util/strings.h"
#include "util/testing/seed.h"

namespace quillmap {
namespace {

TEST(Crc32Short, KnownVectorsAndBitwiseReference) {
  // The model below relies on the two colliding keys.
  for (auto [text, crc] : {std::pair<const char*, uint32_t>{"", 0}, {"123456789", 0xcbf43926},
                           {"plumless", 0x4ddb0c25}, {"buckeroo", 0x4ddb0c25}})
    EXPECT_EQ(crc32_short(text, strlen(text)), crc) << text;
  const uint32_t seed = testing::test_seed(5);
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937 rng(seed);
  for (int i = 0; i < 200; ++i) {
    std::string s(rng() % 300, '\0');
    uint32_t crc = 0xffffffffu;
    for (char& c : s) {
      crc ^= static_cast<uint8_t>(c = static_cast<char>(rng()));
      for (int b = 0; b < 8; ++b) crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
    }
    ASSERT_EQ(crc32_short(s.data(), s.size()), ~crc);
  }
}

// A view that admits a limited number of steps, and refuses one offset.
struct RefusingView {
  template <class T>
  const T* at(uint64_t off, uint64_t = sizeof(T)) { return off == refused ? nullptr : _lfof_<const T>(base_, off); }
  bool step() { return steps-- > 0; }
  const void* base_;
  int64_t steps;
  uint64_t refused;
};

RbtreeNode* get(SlabPool* pool, const std::string& key) {
  return rbtree_get(pool, key_tree_of(pool), key.data(), key.size());
}

// The tree and the allocator are sound, and hold `entries` entries and nothing else.
void expect_sound(SlabPool* pool, uint64_t entries) {
  testing::SlabCensus census;
  uint64_t count = 0;
  EXPECT_EQ(testing::rbtree_check(pool, key_tree_of(pool), &count), "");
  EXPECT_EQ(count, entries);
  ASSERT_EQ(testing::slab_check(pool, &census), "");
  EXPECT_EQ(std::accumulate(census.used.begin(), census.used.end(), uint64_t{0}), 2 + entries);  // + root, sentinel
  EXPECT_EQ(pool->lock, 0u);
}

// The digest of data fed at once; the context is cleared after.
std::string sha1_hex(const std::string& data) {
  Sha1Context ctx, zero{};
  shm_sha1_init(&ctx);
  shm_sha1_update(&ctx, data.data(), data.size());
  uint8_t digest[kSha1DigestSize];
  shm_sha1_final(digest, &ctx);
  EXPECT_EQ(std::memcmp(&ctx, &zero, sizeof ctx), 0) << "the context is cleared";
  char hex[41] = {};
  shm_hex_dump(hex, digest, sizeof digest);
  return hex;
}

// Keys of 0..max_key_len-1 letters from a six-letter alphabet; a full check every check_every steps.
// The last run keeps the tree tiny: a root with zero to two children. The second publishes its changes,
// so that the writer's ordered copy (tree_neighbours.h) places most insertions and names successors,
// each compared with the walk's answer in debug builds; now and then another writer process changes the
// tree (freed chunks are taken again, so a stale copy would name other nodes), and twice the store is
// laid out afresh at the same place, as a rebuild does.
TEST(RbtreeModel, SeededModelAgainstStdMap) {
  for (auto [default_seed, steps, max_key_len, check_every, published] :
       {std::tuple{424242, 50000, 4, 1, false}, {99, 30000, 7, 101, true}, {7, 10000, 2, 1, false}}) {
    const uint32_t seed = testing::test_seed(default_seed);  // QUILLMAP_SEED replaces every run's seed
    SCOPED_TRACE(testing::seed_trace(seed));
    std::mt19937 rng(seed);
    testing::PoolFixture fx(8 << 20, published ? testing::PoolBacking::kSysv : testing::PoolBacking::kHeap);
    testing::SysvSegment state_segment(sizeof(StateHeader));
    SlabPool* pool = fx.pool();
    TreeRoot* tree = key_tree_of(pool);
    if (published) publish_changes(&pool->lock, static_cast<StateHeader*>(state_segment.base()));
    auto tree_order = [](const std::string& a, const std::string& b) {
      const uint32_t ca = crc32_short(a.data(), a.size()), cb = crc32_short(b.data(), b.size());
      return ca != cb ? ca < cb : a < b;
    };
    std::map<std::string, RbtreeNode*, decltype(tree_order)> model(tree_order);
    auto check = [&](int step) {
      if (step % check_every != 0 && step % 1000 != 0) return;
      ASSERT_EQ(testing::rbtree_check(pool, tree), "") << "step " << step;
      auto it = model.begin();  // the walk visits the model's keys in order, and only those
      TrustedView view(pool);
      const bool same = rbtree_walk_inorder(view, tree, [&](const RbtreeNode* n) {
        return it != model.end() && (it++)->second == n;
      });
      ASSERT_TRUE(same && it == model.end()) << "step " << step;
      std::string keys;  // the digest covers the keys in tree order and nothing else (not values or kinds)
      for (const auto& [key, node] : model) keys += key;
      char digest[41] = {};
      ASSERT_EQ(rbtree_get_hashsum(pool, digest), kDone);
      ASSERT_EQ(std::string(digest), sha1_hex(keys)) << "step " << step;
      // The walk stops when the visitor says so, and a view's refusal ends the walk and the search: a
      // step budget short of the tree's size, or the root's offset refused.
      const int64_t n = static_cast<int64_t>(model.size()), budget = static_cast<int64_t>(rng() % (n + 2));
      int64_t visited = 0;
      ASSERT_EQ(rbtree_walk_inorder(view, tree, [&](const RbtreeNode*) { return ++visited <= budget; }), budget >= n);
      ASSERT_EQ(visited, std::min(budget + 1, n));
      RefusingView short_of{pool, budget, 0}, no_root{pool, n, tree->root};
      ASSERT_EQ(rbtree_walk_inorder(short_of, tree, [](const RbtreeNode*) { return true; }), budget >= n);
      if (n > 0) {
        ASSERT_FALSE(rbtree_walk_inorder(no_root, tree, [](const RbtreeNode*) { return true; }));
        ASSERT_EQ(rbtree_find(no_root, tree, model.begin()->first.data(), model.begin()->first.size()), nullptr);
      }
    };
    // For the published run, keys in pairs of one checksum (a birthday search), drawn often: the tree
    // orders such a group by key bytes, the copy by offset, so both a key's own group and a neighbouring
    // one must refuse.
    std::vector<std::string> paired;
    std::unordered_map<uint32_t, std::string> seen;
    for (std::mt19937 search(seed); published && paired.size() < 32;) {
      std::string k(8, 'a');  // shorter keys give the checksum too few distinct inputs
      for (char& c : k) c = static_cast<char>('a' + search() % 26);
      const auto [it, fresh] = seen.emplace(crc32_short(k.data(), k.size()), k);
      if (!fresh && it->second != k) paired.insert(paired.end(), {it->second, k});
    }
    auto random_key = [&] {
      if (published && rng() % 10 == 0) return paired[rng() % paired.size()];
      std::string key(rng() % max_key_len, 'a');
      for (char& c : key) c = static_cast<char>('a' + rng() % 6);
      static const char* const kFamily[] = {"plumless", "buckeroo", "plumless\xdb\xb4\x55\x54"};  // one checksum
      return rng() % 50 == 0 ? std::string(kFamily[rng() % 3]) : key;
    };
    int placed = 0, answered = 0;  // insertions of a new key into a tree with a root; those the copy placed
    for (int step = 0; step < steps; ++step) {
      change_begins();
      const int op = static_cast<int>(rng() % 10);
      const std::string key = random_key();
      auto it = model.find(key);
      if (published && (step == 3000 || step == 3100)) {
        store_layout(pool, fx.size());
        ASSERT_EQ(store_create_key_tree_locked(pool), 0);
        tree = key_tree_of(pool);
        model.clear();
      } else if (published && rng() % 100 == 0) {
        // Another writer deletes and adds a few hundred keys, chosen here so that the model follows.
        std::vector<std::string> dels, adds;
        for (int i = 0; i < 100 && !model.empty(); ++i) {
          const auto near = model.lower_bound(random_key());
          dels.push_back((near == model.end() ? model.begin() : near)->first);
        }
        for (int i = 0; i < 300; ++i) adds.push_back(random_key());
        change_ends();
        if (fork() == 0) {  // its copy, inherited, still mirrors the tree
          change_begins();
          for (const std::string& k : dels) {
            if (RbtreeNode* n = get(pool, k)) {
              rbtree_delete(pool, tree, n);
              slab_free_locked(pool, n);
            }
          }
          for (const std::string& k : adds) {
            if (get(pool, k) == nullptr) rbtree_insert(pool, tree, testing::make_node(pool, k));
          }
          change_ends();
          _exit(0);
        }
        int status = 0;
        ASSERT_TRUE(wait(&status) > 0 && status == 0);
        change_begins();
        for (const std::string& k : dels) model.erase(k);
        for (const std::string& k : adds) model[k] = get(pool, k);
      } else if (op < 5) {
        RbtreeNode* n = testing::make_node(pool, key, "value");
        RbtreeNode* parent = nullptr;
        bool right = false;
        if (published && it == model.end() && tree->root != tree->sentinel) {
          ++placed;
          answered += neighbour_place(pool, tree, n, &parent, &right);
        }
        rbtree_insert(pool, tree, n);
        if (it == model.end()) {
          model[key] = n;
        } else {  // a present key: the tree stays as it was, the offered node unlinked
          ASSERT_EQ(n->left | n->right | n->parent | n->color, 0u);
          slab_free_locked(pool, n);
        }
      } else if (op < 9) {
        RbtreeNode* victim = it == model.end() ? nullptr : it->second;
        if (op == 8 && tree->root != tree->sentinel) {  // the root, often with two children
          victim = _lfof_<RbtreeNode>(pool, tree->root);
          it = std::find_if(model.begin(), model.end(), [&](const auto& e) { return e.second == victim; });
        }
        if (victim != nullptr) {
          rbtree_delete(pool, tree, victim);
          // The links are cleared, the key bytes stay, and a second delete leaves the tree alone.
          const uint8_t zeros[32] = {};
          ASSERT_TRUE(std::memcmp(victim, zeros, 32) == 0 &&
                      std::memcmp(node_key(victim), it->first.data(), it->first.size()) == 0);
          rbtree_delete(pool, tree, victim);
          slab_free_locked(pool, victim);
          model.erase(it);
        }
      } else {
        ASSERT_EQ(get(pool, key), it == model.end() ? nullptr : it->second) << "step " << step << " key " << key;
      }
      change_ends();
      ASSERT_NO_FATAL_FAILURE(check(step));
    }
    ASSERT_NO_FATAL_FAILURE(check(steps));
    expect_sound(pool, model.size());  // emptying the tree is the tiny last run's, which empties it often
    // Most places come from the copy; the rest are refusals in a small tree (after a fresh layout),
    // near the tree's ends and for equal checksums.
    EXPECT_TRUE(!published || answered > placed * 6 / 10) << answered << " of " << placed;
    publish_changes(nullptr, nullptr);
  }
}

// Lengths of 'a's around the 56- and 64-byte padding boundaries, and the standard vectors, each fed at
// once. (Data fed in pieces is the model's: the tree's digest feeds key by key.)
TEST(Sha1, StandardVectorsAndBlockBoundaries) {
  const std::pair<std::string, const char*> rows[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"}, {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
      {std::string(56, 'a'), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
      {std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
      {std::string(65, 'a'), "11655326c708d70319be2610e8a57d9a5b959d3b"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"}};
  for (const auto& [input, digest] : rows) EXPECT_EQ(sha1_hex(input), digest) << input.size();
}

// Address entries are removed the way the entry layer does it, except keys starting with "bad", which
// do not parse as addresses. With removals_before_stuck set, the n-th removal leaves a reader's share
// on the lock word behind (the write hold's release turns two shares into one): the lock is stuck from
// the next hold on.
int64_t removals_before_stuck;
int64_t fake_remove_address(SlabPool* pool, RbtreeNode* node) {
  if (node->key_len >= 3 && std::memcmp(node_key(node), "bad", 3) == 0) return kFailed;
  rbtree_delete(pool, key_tree_of(pool), node);
  slab_free_locked(pool, node);
  if (--removals_before_stuck == 0) pool->lock = 2;
  return kDone;
}

// Named steps on one tree. (1) The lock gets stuck halfway through a sweep's clean: the clean stops
// with the node in hand still in the tree and the unfetched nodes still listed; the sweep breaks the
// lock once and cleans again. When that retry fails too, the sweep must drop its list, since the next
// collection lists the same nodes again. Either way every node is freed exactly once. A lock stuck
// before the collect is broken and the collect made again. (2) Every whole-tree operation (the digest
// too) against a writer that never lets go, and the purge against a reader elsewhere (it gathers, but
// cannot remove): -3, the message, and nothing touched. (3) The clean removes what expired before now
// (expires == now is not yet expired), address entries through the remover, and keeps one it refuses.
// (4) A purge removes every entry but the ones its remover refuses.
TEST(Sweeps, StuckLockExpiryTimeoutsAndPurge) {
  const int64_t saved_cpus = std::exchange(cpu_count, 1);  // one processor keeps each time-out short
  testing::PoolFixture fx(8 << 20);
  SlabPool* pool = fx.pool();
  auto has = [&](const std::string& key) { return get(pool, key) != nullptr; };
  auto add = [&](const std::string& key, uint64_t expires, bool address, const std::string& value = "v") {
    rbtree_insert(pool, key_tree_of(pool), testing::make_node(pool, key, value, expires, address));
  };
  char out[41] = {};
  EXPECT_EQ(rbtree_purge(pool, fake_remove_address), kDone);

  add("lasting", 0, false);
  static int breaks = 0;
  const LockBreaker unlocks = [](SlabPool* p) {
    ++breaks;
    force_unlock(&p->lock);
  };
  const LockBreaker stays_stuck = [](SlabPool*) { ++breaks; };
  for (bool retry_succeeds : {true, false}) {
    SCOPED_TRACE(retry_succeeds ? "the retry succeeds" : "the retry fails too");
    for (int i = 0; i < 12; ++i) add("10." + std::to_string(i) + ".0.0/16", time(nullptr) - 10, true);
    testing::LogCapture log;
    PtrList list;
    breaks = 0;
    removals_before_stuck = 3;
    sweep_expired(pool, &list, fake_remove_address, retry_succeeds ? unlocks : stays_stuck);
    EXPECT_TRUE(breaks == 1 && list.head == nullptr);
    ASSERT_EQ(force_unlock(&pool->lock), retry_succeeds ? kNothingToDo : kDone);
    expect_sound(pool, retry_succeeds ? 2 : 10);  // the node in hand waits for the next sweep
    sweep_expired(pool, &list, fake_remove_address, stays_stuck);
    EXPECT_EQ(breaks, 1);
    EXPECT_FALSE(log.contains("already free")) << log.text();
    expect_sound(pool, 1);
  }
  {  // A lock already stuck when the sweep begins: broken once, and the collect made again.
    add("10.99.0.0/16", time(nullptr) - 10, true);
    pool->lock = kLockWriter;
    PtrList list;
    breaks = 0;
    sweep_expired(pool, &list, fake_remove_address, unlocks);
    EXPECT_TRUE(breaks == 1 && list.head == nullptr && !has("10.99.0.0/16"));
  }

  add("bad-one", 0, true);
  for (int i = 0; i < 3000; ++i) add("key-" + std::to_string(i), i % 3, i % 7 == 0, std::string(i % 40, 'x'));
  const uint64_t now = static_cast<uint64_t>(time(nullptr));
  const std::tuple<const char*, uint64_t, bool, bool> expiring[] = {  // key, expires, an address, kept
      {"just-old", now - 1, false, false}, {"this-second", now, false, true}, {"10.0.0.0/8", now - 5, true, false},
      {"bad-address", now - 5, true, true}};
  for (const auto& [key, expires, address, kept] : expiring) add(key, expires, address);
  testing::LogCapture log;
  PtrList list, stale, other;  // stale: a clean that times out has fetched its first node
  ASSERT_TRUE(rbtree_collect(pool, &list) == kDone && rbtree_collect(pool, &stale) == kDone);
  const std::tuple<uint64_t, std::function<int64_t()>, const char*> rows[] = {
      {kLockWriter, [&] { return rbtree_collect(pool, &other); }, "rbtree_collect: could not get read lock"},
      {kLockWriter, [&] { return rbtree_clean(pool, &stale, fake_remove_address); },
       "rbtree_clean: could not get write lock"},
      {kLockWriter, [&] { return rbtree_purge(pool, fake_remove_address); }, "rbtree_purge: could not get read lock"},
      {kLockWriter, [&] { return rbtree_get_hashsum(pool, std::strcpy(out, "untouched")); },
       "rbtree_get_hashsum: could not get read lock"},
      {1, [&] { return rbtree_purge(pool, fake_remove_address); }, "rbtree_purge: could not get write lock"},
  };
  for (const auto& [lock, op, message] : rows) {
    log.clear();
    pool->lock = lock;
    EXPECT_TRUE(op() == kLockTimeout && log.contains(std::string("[ERROR]: ") + message) && pool->lock == lock)
        << message;
    pool->lock = 0;
  }
  shm_llist_clear(&stale);  // the recovery after a time-out is the stuck-lock test's
  EXPECT_TRUE(other.head == nullptr && std::string(out) == "untouched");
  expect_sound(pool, 3006);
  // The clean of what had expired: the keys of expiry 1 and 2 and the two expiring rows not kept.
  ASSERT_TRUE(rbtree_clean(pool, &list, fake_remove_address) == kDone && list.head == nullptr);
  for (const auto& [key, expires, address, kept] : expiring) EXPECT_EQ(has(key), kept) << key;
  EXPECT_TRUE(log.contains("[ERROR]: Could not purge 'bad-address'\n"));
  expect_sound(pool, 1004);

  EXPECT_EQ(rbtree_purge(pool, fake_remove_address), kDone);
  for (const std::string bad : {"bad-one", "bad-address"})
    EXPECT_TRUE(has(bad) && log.contains("[ERROR]: Could not forcibly purge '" + bad + "'\n")) << bad;
  expect_sound(pool, 2);
  cpu_count = saved_cpus;
}

}  // namespace
}  // namespace quillmap
