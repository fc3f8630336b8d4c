// Seeded model tests of both tries against a longest-prefix model (invariants after every step, lookups by
// the daemon's search and an outside reader's checked view) in a roomy and a full pool; failures inside one
// restructuring; searches over a damaged trie; the invariant checks that abort.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <numeric>
#include <random>
#include <set>
#include <tuple>

#include "index/bounded_view.h"  // the bounds and step budget of an outside reader's view
#include "lpctrie/testing/trie_api.h"
#include "lpctrie/testing/trie_check.h"
#include "lpctrie/trie_ops.h"
#include "store/testing/pool_fixture.h"
#include "store/testing/slab_check.h"
#include "util/log.h"
#include "util/settings.h"
#include "util/testing/seed.h"

namespace quillmap {
namespace {

using testing::prefix_mask;

// A prefix length as real tables have them: (percent of draws, shortest, count of lengths) rows.
template <class Traits>
unsigned random_length(std::mt19937_64& rng) {
  static constexpr unsigned kV4[][3] = {{50, 24, 1}, {12, 22, 2}, {18, 16, 6}, {10, 25, 8}, {7, 8, 8}, {3, 0, 8}};
  static constexpr unsigned kV6[][3] = {{50, 32, 17}, {15, 49, 16}, {7, 128, 1}, {10, 65, 63}, {14, 16, 16}, {4, 0, 16}};
  unsigned r = rng() % 100;
  for (const auto& row : Traits::kKeyLength == 32 ? kV4 : kV6) {
    if (r < row[0]) return row[1] + rng() % row[2];
    r -= row[0];
  }
  return 0;
}

// One trie in a private pool, and a model of its prefixes kept in step with it.
template <class Traits, int64_t kPoolBytes>
class TrieModel : public ::testing::Test {
 protected:
  using Api = testing::TrieApi<Traits>;
  using Key = typename Traits::Key;
  static constexpr unsigned K = Traits::kKeyLength;
  static constexpr bool kSmallPool = kPoolBytes < (1 << 20);  // inserts may fail for want of memory

  void SetUp() override {
    ASSERT_NE(root_ = Api::create(pool()), nullptr);
    start_ = allocator_state();
  }
  SlabPool* pool() { return fixture_.pool(); }
  std::vector<uint64_t> allocator_state() {  // free pages, then (total, used) of every size class
    std::vector<uint64_t> s{pool()->free_pages};
    for (uint64_t c = 0; c < slab_class_count(pool()); ++c)
      s.insert(s.end(), {class_stats_of(pool())[c].total, class_stats_of(pool())[c].used});
    return s;
  }
  uint64_t failures() {
    const ClassStats* c = class_stats_of(pool());
    return std::accumulate(c, c + slab_class_count(pool()), uint64_t{0}, [](uint64_t n, auto& s) { return n + s.failures; });
  }
  Key random_key(std::mt19937_64& rng) { return static_cast<Key>(Trie128Traits::make(rng(), rng())); }
  int64_t insert(Key k, unsigned len, uint64_t v) { return Api::insert(pool(), root_, k, prefix_mask<Traits>(len), v); }
  std::string verify(testing::TrieCensus<Traits>* c = nullptr) { return testing::trie_verify<Traits>(pool(), root_, c); }
  void erase(Key k, unsigned len, Key host = 0) {  // host: bits below the prefix, which the trie ignores
    ASSERT_EQ(Api::remove(pool(), root_, k | host, prefix_mask<Traits>(len)), model_.contains(k, len) ? kDone : kNothingToDo);
    model_.erase(k, len);
  }

  // The daemon's search and an outside reader's (through a checked view) both agree with the model.
  void expect_lookup(Key addr) {
    const uint64_t expected = model_.longest_match(addr);
    ASSERT_EQ(Api::find(pool(), root_, addr), expected);
    BoundedView checked(pool(), pool()->pool_end, 1 << 20);
    ASSERT_EQ(lpctrie_find_in<Traits>(checked, offset_of_record(pool(), root_), addr), expected);
    ASSERT_FALSE(checked.failed());
  }
  // Valid, and exactly the model's prefixes and values, one leaf per distinct key; the first and last
  // address of every prefix found.
  void expect_model() {
    testing::TrieCensus<Traits> census;
    ASSERT_EQ(verify(&census), "");
    ASSERT_EQ(census.prefixes.size(), model_.keys.size());
    std::set<Key> keys;
    for (const auto& p : census.prefixes) {
      ASSERT_TRUE(model_.contains(p.key, K - p.slen) && model_.by_len[K - p.slen].at(p.key) == p.value);
      keys.insert(p.key);
    }
    ASSERT_EQ(census.leaves, keys.size()) << "prefixes of one key on more than one leaf";
    for (auto [k, len] : model_.keys) {
      ASSERT_NO_FATAL_FAILURE(expect_lookup(k));
      ASSERT_NO_FATAL_FAILURE(expect_lookup(testing::prefix_last<Traits>(k, len)));
    }
  }
  // Deletes every prefix in random order: an empty root is left, the allocator as before the first insert.
  void delete_everything(std::mt19937_64& rng) {
    auto keys = model_.keys;
    std::shuffle(keys.begin(), keys.end(), rng);
    for (size_t i = 0; i < keys.size(); ++i) {
      ASSERT_NO_FATAL_FAILURE(erase(keys[i].first, keys[i].second));
      ASSERT_NO_FATAL_FAILURE(expect_lookup(keys[i].first));
    }
    EXPECT_EQ(testing::slab_check(pool()), "");
    EXPECT_TRUE(node_slots(root_)[0] == kNoOffset && allocator_state() == start_) << "the trie kept memory after its last prefix";
  }

  // A key whose 32-bit word (each 64-bit half) is 0, 1, 2, all ones, the top bit or all ones but the last.
  static Key edge_key(std::mt19937_64& rng) {
    auto word = [&rng](uint64_t ones) { return std::array<uint64_t, 6>{0, 1, 2, ones, ones ^ (ones >> 1), ones - 1}[rng() % 6]; };
    if constexpr (K == 32) return static_cast<Key>(word(0xFFFFFFFFu));
    else return Traits::make(word(~uint64_t{0}), word(~uint64_t{0}));
  }
  // 7 in 8 fall into one of 16 regions (upper 12 bits shared) so that nodes grow wide and deep; 1 in 64 at the edges.
  Key address(std::mt19937_64& rng) {
    if (rng() % 64 == 0) return edge_key(rng);
    while (regions_.size() < 16) regions_.push_back(random_key(rng) & prefix_mask<Traits>(12));
    Key noise = random_key(rng);
    return rng() % 8 == 0 ? noise : regions_[rng() % regions_.size()] | (noise & ~prefix_mask<Traits>(12));
  }

  // Insert (new, longer than a stored one, a replacement, the default route, a host at the edges) or delete
  // (stored, or 1 in 10 probably not), 1 in 4 with host bits set; then lookups. In a small pool a failed
  // insert leaves the trie and the allocator as they were, and a value replacement never fails.
  void random_step(std::mt19937_64& rng, unsigned insert_percent) {
    auto& keys = model_.keys;
    Key key;
    unsigned len, kind = rng() % 100;
    bool inserting = keys.empty() || rng() % 100 < insert_percent;
    if (!keys.empty() && (inserting ? kind < 40 : kind >= 10)) {
      std::tie(key, len) = keys[rng() % keys.size()];
      if (inserting && kind >= 15 && len < K) len += 1 + rng() % (K - len);
    } else {
      len = random_length<Traits>(rng);
      key = address(rng) & prefix_mask<Traits>(len);
    }
    const Key host = rng() % 4 == 0 ? random_key(rng) & ~prefix_mask<Traits>(len) : 0;
    if (inserting) {
      const auto before = kSmallPool ? allocator_state() : std::vector<uint64_t>{};
      const int64_t r = insert(key | host, len, next_value_);
      if (kSmallPool && r == kFailed) {
        ++failed_inserts_;
        ASSERT_FALSE(model_.contains(key, len)) << "a value replacement failed";
        ASSERT_TRUE(allocator_state() == before) << "a failed insert kept memory";
      } else {
        ASSERT_EQ(r, kDone);
        model_.put(key, len, next_value_++);
      }
    } else ASSERT_NO_FATAL_FAILURE(erase(key, len, host));
    ASSERT_NO_FATAL_FAILURE(expect_lookup(key));
    for (int i = 0; i < 3; ++i) ASSERT_NO_FATAL_FAILURE(expect_lookup(address(rng)));
    if (!keys.empty()) std::tie(key, len) = keys[rng() % keys.size()];
    ASSERT_NO_FATAL_FAILURE(expect_lookup(testing::prefix_last<Traits>(key, len)));
  }

  testing::PoolFixture fixture_{kPoolBytes};
  typename Api::Node* root_ = nullptr;
  testing::PrefixModel<Traits> model_;
  std::vector<uint64_t> start_;
  std::vector<Key> regions_;
  uint64_t next_value_ = 1;
  int failed_inserts_ = 0;
};

using Widths = ::testing::Types<Trie32Traits, Trie128Traits>;
template <class Traits>
using TrieModelTest = TrieModel<Traits, (64 << 20)>;
template <class Traits>
using TrieFullPoolTest = TrieModel<Traits, (256 << 10)>;
TYPED_TEST_SUITE(TrieModelTest, Widths);
TYPED_TEST_SUITE(TrieFullPoolTest, Widths);

// Around a thousand prefixes that grow, churn and shrink, verified after every step (two seeds); then a large
// table, only loaded, whose nodes must grow wide (a trie that never inflates is far deeper); each emptied.
TYPED_TEST(TrieModelTest, RandomChangesMatchTheModel) {
  const uint32_t first = testing::test_seed(1);
  for (uint32_t seed = first; seed < first + 3; ++seed) {
    SCOPED_TRACE(testing::seed_trace(seed));
    std::mt19937_64 rng(seed);
    const bool churn = seed < first + 2;
    const int steps = churn ? 12000 : 30000;
    this->regions_.clear();
    for (int step = 0; step < steps; ++step) {
      ASSERT_NO_FATAL_FAILURE(this->random_step(rng, !churn ? 100 : step < steps / 3 ? 80 : step < steps * 2 / 3 ? 50 : 30));
      ASSERT_EQ(churn ? this->verify() : "", "") << "step " << step;
      if (step % (churn ? 1000 : 5000) == 0) {
        ASSERT_NO_FATAL_FAILURE(this->expect_model()) << "step " << step;
      }
    }
    ASSERT_NO_FATAL_FAILURE(this->expect_model());
    testing::TrieCensus<TypeParam> census;
    ASSERT_EQ(this->verify(&census), "");
    EXPECT_LE(census.max_depth, churn ? 99u : this->K == 32 ? 14u : 32u) << "the nodes did not grow wide";
    ASSERT_NO_FATAL_FAILURE(this->delete_everything(rng));
  }
}

// Random changes until the pool is full, then churn at the edge of memory, where inserts fail and inflates
// and halves are given up at any allocation; the trie stays valid throughout. Then, reloaded and damaged
// (random bytes, offsets turned into cycles), every search through a bounded view ends within its step
// budget, reading nothing outside the segment.
TYPED_TEST(TrieFullPoolTest, RandomChangesInAFullPool) {
  const uint32_t seed = testing::test_seed(11);
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937_64 rng(seed);
  for (int step = 0; this->failed_inserts_ < 200 || step < 12000; ++step) {
    ASSERT_LT(step, 20000) << "the pool never filled up";
    ASSERT_NO_FATAL_FAILURE(this->random_step(rng, this->failed_inserts_ < 200 ? 100 : 55)) << "step " << step;
    ASSERT_EQ(this->verify(), "") << "step " << step;
    if (step % 1000 == 0) {
      ASSERT_NO_FATAL_FAILURE(this->expect_model()) << "step " << step;
    }
  }
  ASSERT_NO_FATAL_FAILURE(this->expect_model());
  EXPECT_GT(this->failures(), uint64_t(this->failed_inserts_)) << "no inflate or halve ever lacked memory";
  ASSERT_NO_FATAL_FAILURE(this->delete_everything(rng));
  for (int step = 0; step < 2000; ++step) ASSERT_NO_FATAL_FAILURE(this->random_step(rng, 100));
  SlabPool* pool = this->pool();
  const uint64_t root_off = offset_of_record(pool, this->root_), pages = pool->pool_end - pool->data_start;
  auto* bytes = reinterpret_cast<uint8_t*>(pool);
  for (int round = 0; round < 200; ++round) {
    for (int i = 0; i < 20; ++i) {
      uint64_t off = pool->data_start + rng() % pages;
      if (off >= root_off && off < root_off + sizeof(LpcNode<TypeParam>) && rng() % 4 != 0) continue;
      const unsigned kind = rng() % 3;
      if (kind == 0) bytes[off] = static_cast<uint8_t>(rng());
      if (kind == 1 && off % 8 == 0 && off + 8 <= pool->pool_end) std::memcpy(bytes + off, &root_off, 8);  // cycle
      if (kind == 2) bytes[off] ^= static_cast<uint8_t>(1u << (rng() % 8));
    }
    for (int i = 0; i < 50; ++i) {
      BoundedView view(pool, pool->pool_end, 4096);
      (void)lpctrie_find_in<TypeParam>(view, root_off, this->address(rng));
    }
  }
}

// 32-bit nodes: one or two bits take 64 bytes, four 256. 16 hosts make a four-bit node; deleting all but
// hosts 0 and 1 wants halves holding one-bit nodes for the pairs, with no 64-byte chunk left. Each gives
// up, leaving the trie valid and the node as it was. (Inflates given up midway, the full pool's churn meets.)
using RestructuringTest = TrieModel<Trie32Traits, (256 << 10)>;
using TrieBugDeathTest = RestructuringTest;
TEST_F(RestructuringTest, HalvesGivenUpMidway) {
  std::vector<void*> taken;
  auto take = [&](uint64_t bytes) { while (void* p = slab_alloc_locked(pool(), bytes)) taken.push_back(p); };
  auto top = [&] { return _lfof_<const LpcNode32>(pool(), node_slots(root_)[0]); };
  for (uint32_t i = 0; i < 16; ++i) {
    ASSERT_EQ(insert(0x0A000000 | i, K, i), kDone);
    model_.put(0x0A000000 | i, K, i);
  }
  ASSERT_TRUE(top()->bits == 4 && top()->pos == 0);
  // Every free page goes (a chunk of 32, 64 and 128 bytes kept so that those class pages stay), then
  // every 64-byte chunk.
  for (uint64_t bytes : {32, 64, 128}) taken.push_back(slab_alloc_locked(pool(), bytes));
  take(page_size);
  take(64);
  const uint64_t failures_before = failures();
  for (uint32_t i = 15; i >= 2; --i) {
    ASSERT_NO_FATAL_FAILURE(erase(0x0A000000 | i, K));
    take(page_size);  // pages emptied by the deletion must not feed the next halve
    ASSERT_NO_FATAL_FAILURE(expect_model()) << "host " << i;
  }
  EXPECT_GT(failures(), failures_before);
  EXPECT_EQ(top()->bits, 4) << "the node should have stayed as it was";
  for (void* p : taken) slab_free_locked(pool(), p);
  std::mt19937_64 rng(1);
  ASSERT_NO_FATAL_FAILURE(delete_everything(rng));
}

// The invariant checks abort with the condition's text, the module's path and the line.
TEST_F(TrieBugDeathTest, InvariantChecksAbortWithTheCondition) {
  LpcTrie<Trie32Traits> t32(pool(), root_);
  LpcTrie<Trie128Traits> t128(pool(), lpctrie128_create(pool()));
  LpcNode32* stray = t32.new_node(0x0A000000, 0, 2);  // a node its parent does not hold
  stray->parent_off = offset_of_record(pool(), root_);
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
