// The whole-tree operations: expiry sweep, purge, digest, and the SHA-1 routine they use.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "store/rbtree.h"
#include "store/rwlock.h"
#include "store/sha1.h"
#include "store/slab.h"
#include "store/sweeps.h"
#include "store/testing/log_capture.h"
#include "store/testing/pool_fixture.h"
#include "store/testing/rbtree_check.h"
#include "store/testing/slab_check.h"
#include "store/testing/tree_nodes.h"
#include "util/host_params.h"
#include "util/strings.h"
#include "util/testing/seed.h"

namespace quillmap {
namespace {

using testing::LogCapture;

// The digest of data fed in pieces of `piece` bytes (0: at once); the context is cleared after.
std::string sha1_hex(const std::string& data, size_t piece = 0) {
  Sha1Context ctx;
  shm_sha1_init(&ctx);
  if (piece == 0) piece = std::max<size_t>(data.size(), 1);
  for (size_t i = 0; i < data.size(); i += piece) shm_sha1_update(&ctx, data.data() + i, std::min(piece, data.size() - i));
  uint8_t digest[kSha1DigestSize];
  shm_sha1_final(digest, &ctx);
  const Sha1Context zero{};
  EXPECT_EQ(std::memcmp(&ctx, &zero, sizeof ctx), 0) << "the context is cleared";
  char hex[41] = {};
  shm_hex_dump(hex, digest, sizeof digest);
  return hex;
}

// Lengths of 'a's around the 56- and 64-byte padding boundaries, and the standard vectors.
TEST(Sha1, StandardVectorsAndBlockBoundaries) {
  const std::pair<std::string, const char*> rows[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"}, {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
      {std::string(56, 'a'), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
      {std::string(63, 'a'), "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
      {std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
      {std::string(65, 'a'), "11655326c708d70319be2610e8a57d9a5b959d3b"},
      {std::string(119, 'a'), "ee971065aaa017e0632a8ca6c77bb3bf8b1dfc56"},
      {std::string(120, 'a'), "f34c1488385346a55709ba056ddd08280dd4c6d6"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"}};
  for (const auto& [input, digest] : rows) {
    EXPECT_EQ(sha1_hex(input), digest) << input.size();
    if (input.size() > 5000) continue;
    for (size_t piece : {1, 7, 63, 64, 65}) EXPECT_EQ(sha1_hex(input, piece), digest) << input.size() << "/" << piece;
  }
}

// Address entries are removed the way the entry layer does it, except keys starting with "bad", which
// do not parse as addresses. With removals_before_stuck set, the n-th removal leaves a reader's share
// on the lock word behind (the write hold's release turns two shares into one): the lock is stuck from
// the next hold on.
int64_t removals = 0, removals_before_stuck = 0;
int64_t fake_remove_address(SlabPool* pool, RbtreeNode* node) {
  if (node->key_len >= 3 && std::memcmp(node_key(node), "bad", 3) == 0) return kFailed;
  ++removals;
  rbtree_delete(pool, key_tree_of(pool), node);
  slab_free_locked(pool, node);
  if (--removals_before_stuck == 0) pool->lock = 2;
  return kDone;
}

class SweepsTest : public ::testing::Test {
 protected:
  void SetUp() override { removals = removals_before_stuck = 0, saved_cpus_ = cpu_count, cpu_count = 1; }
  void TearDown() override { cpu_count = saved_cpus_; }  // one processor keeps each time-out short

  SlabPool* pool() { return fx_.pool(); }
  void add(const std::string& key, uint64_t expires = 0, bool address = false, const std::string& value = "v") {
    rbtree_insert(pool(), key_tree_of(pool()), testing::make_node(pool(), key, value, expires, address));
  }
  bool has(const std::string& key) { return rbtree_get(pool(), key_tree_of(pool()), key.data(), key.size()) != nullptr; }
  // The tree and the allocator are sound, and hold `entries` entries and nothing else.
  void expect_sound(uint64_t entries) {
    testing::SlabCensus census;
    uint64_t count = 0;
    EXPECT_EQ(testing::rbtree_check(pool(), key_tree_of(pool()), &count), "");
    EXPECT_EQ(count, entries);
    ASSERT_EQ(testing::slab_check(pool(), &census), "");
    EXPECT_EQ(std::accumulate(census.used.begin(), census.used.end(), uint64_t{0}), 2 + entries);  // + root, sentinel
    EXPECT_EQ(pool()->lock, 0u);
  }

  testing::PoolFixture fx_{8 << 20};
  int64_t saved_cpus_ = 1;
};

TEST_F(SweepsTest, ExpiredEntriesAreSweptOthersStay) {
  const uint64_t now = static_cast<uint64_t>(time(nullptr));
  add("forever", 0);
  add("old", now - 100);
  add("just-old", now - 1);
  add("this-second", now + 0);  // expires == now is not yet expired
  add("later", now + 100);
  add("10.0.0.0/8", now - 5, true);
  add("bad-address", now - 5, true);
  LogCapture log;
  PtrList list;
  ASSERT_EQ(rbtree_collect(pool(), &list), kDone);
  ASSERT_EQ(rbtree_clean(pool(), &list, fake_remove_address), kDone);
  EXPECT_EQ(list.head, nullptr);
  EXPECT_EQ(removals, 1);
  for (const char* kept : {"forever", "this-second", "later", "bad-address"}) EXPECT_TRUE(has(kept)) << kept;
  for (const std::string k : {"old", "just-old", "10.0.0.0/8"})
    EXPECT_TRUE(!has(k) && log.contains("[INFO]: Purging node '" + k + "'\n")) << k;
  EXPECT_TRUE(log.contains("[ERROR]: Could not purge 'bad-address'\n"));
  EXPECT_FALSE(log.contains("forever"));
  expect_sound(4);
}

// The lock gets stuck halfway through a sweep's clean: the clean stops with the node in hand still in
// the tree and the unfetched nodes still listed; the sweep breaks the lock once and cleans again. When
// that retry fails too, the sweep must drop its list, since the next collection lists the same nodes
// again. Either way every node is freed exactly once.
TEST_F(SweepsTest, LockStuckDuringACleanIsBrokenOnceAndNothingFreedTwice) {
  const uint64_t now = static_cast<uint64_t>(time(nullptr));
  add("lasting");
  auto remaining = [&] {
    size_t n = 0;
    for (int i = 0; i < 12; ++i) n += has("10." + std::to_string(i) + ".0.0/16");
    return n;
  };
  static int breaks = 0;
  const LockBreaker unlocks = [](SlabPool* p) { ++breaks, force_unlock(&p->lock); };
  const LockBreaker stays_stuck = [](SlabPool*) { ++breaks; };
  for (bool retry_succeeds : {true, false}) {
    SCOPED_TRACE(retry_succeeds ? "the retry succeeds" : "the retry fails too");
    for (int i = 0; i < 12; ++i) add("10." + std::to_string(i) + ".0.0/16", now - 10, true);
    LogCapture log;
    PtrList list;
    breaks = 0;
    removals_before_stuck = 3;
    sweep_expired(pool(), &list, fake_remove_address, retry_succeeds ? unlocks : stays_stuck);
    EXPECT_TRUE(log.contains("[ERROR]: rbtree_clean: could not get write lock"));
    EXPECT_EQ(breaks, 1);
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(remaining(), retry_succeeds ? 1u : 9u) << "the node in hand waits for the next sweep";
    ASSERT_EQ(force_unlock(&pool()->lock), retry_succeeds ? kNothingToDo : kDone);
    sweep_expired(pool(), &list, fake_remove_address, stays_stuck);
    EXPECT_EQ(breaks, 1);
    EXPECT_EQ(remaining(), 0u);
    EXPECT_FALSE(log.contains("already free")) << log.text();
    expect_sound(1);
  }
}

// The digest covers the keys in tree order and nothing else (not values, expiry times or kinds). Every
// whole-tree operation against a writer that never lets go, and the purge against a reader elsewhere
// (it gathers, but cannot remove): -3, the message, and nothing touched. A purge then removes every
// entry but the one its remover refuses.
TEST_F(SweepsTest, DigestLockTimeoutsAndPurge) {
  char out[41] = {};
  ASSERT_EQ(rbtree_get_hashsum(pool(), out), kDone);
  EXPECT_EQ(std::string(out), sha1_hex(""));
  EXPECT_EQ(rbtree_purge(pool(), fake_remove_address), kDone);
  const uint32_t seed = testing::test_seed(3);
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937 rng(seed);
  add("bad-one", 0, true);
  for (int i = 0; i < 3000; ++i)
    add("key-" + std::to_string(rng() % 1000) + "-" + std::to_string(i), rng() % 3, i % 7 == 0, std::string(rng() % 40, 'x'));
  std::string joined;
  TrustedView view(pool());
  rbtree_walk_inorder(view, key_tree_of(pool()), [&](const RbtreeNode* n, const uint8_t* key) {
    joined.append(reinterpret_cast<const char*>(key), n->key_len);
    return true;
  });
  ASSERT_EQ(rbtree_get_hashsum(pool(), out), kDone);
  EXPECT_EQ(std::string(out), sha1_hex(joined));

  PtrList list, other;
  ASSERT_EQ(rbtree_collect(pool(), &list), kDone);
  const struct {
    uint64_t lock;
    std::function<int64_t()> op;
    const char* message;
  } rows[] = {
      {kLockWriter, [&] { return rbtree_collect(pool(), &other); }, "rbtree_collect: could not get read lock"},
      {kLockWriter, [&] { return rbtree_clean(pool(), &list, fake_remove_address); }, "rbtree_clean: could not get write lock"},
      {kLockWriter, [&] { return rbtree_purge(pool(), fake_remove_address); }, "rbtree_purge: could not get read lock"},
      {kLockWriter, [&] { return rbtree_get_hashsum(pool(), std::strcpy(out, "untouched")); }, "rbtree_get_hashsum: could not get read lock"},
      {1, [&] { return rbtree_purge(pool(), fake_remove_address); }, "rbtree_purge: could not get write lock"},
  };
  for (const auto& row : rows) {
    LogCapture log;
    pool()->lock = row.lock;
    EXPECT_EQ(row.op(), kLockTimeout) << row.message;
    EXPECT_TRUE(log.contains(std::string("[ERROR]: ") + row.message)) << row.message;
    EXPECT_EQ(pool()->lock, row.lock) << row.message;
    pool()->lock = 0;
  }
  shm_llist_clear(&list);  // the recovery after a time-out is the stuck-lock test's
  EXPECT_TRUE(other.head == nullptr && std::string(out) == "untouched");
  expect_sound(3001);

  LogCapture log;
  EXPECT_EQ(rbtree_purge(pool(), fake_remove_address), kDone);
  EXPECT_TRUE(log.contains("[INFO]: Forcibly purging node 'bad-one'\n"));
  EXPECT_TRUE(log.contains("[ERROR]: Could not forcibly purge 'bad-one'\n"));
  EXPECT_TRUE(has("bad-one"));
  expect_sound(1);
}

}  // namespace
}  // namespace quillmap
