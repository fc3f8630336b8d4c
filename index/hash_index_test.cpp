#include "index/hash_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "index/bounded_view.h"
#include "index/testing/hash_check.h"
#include "store/rbtree.h"
#include "store/segment_view.h"
#include "store/slab.h"
#include "store/testing/pool_fixture.h"
#include "store/testing/tree_nodes.h"
#include "util/host_params.h"
#include "util/testing/seed.h"

namespace quillmap {
namespace {

using testing::PoolBacking;
using testing::PoolFixture;

// prefix followed by the four bytes that give the whole key the checksum `crc`. Appending four bytes x
// to a register state s leaves shift32(s ^ x), and each of the 32 steps of the reflected register can be
// undone (a set top bit after a step says the polynomial was added).
std::string key_with_crc(const std::string& prefix, uint32_t crc) {
  uint32_t x = ~crc;
  for (int k = 0; k < 32; ++k) x = (x & 0x80000000u) ? ((x ^ 0xEDB88320u) << 1) | 1u : x << 1;
  x ^= ~crc32_short(prefix.data(), prefix.size());
  std::string key = prefix;
  for (int b = 0; b < 4; ++b) key.push_back(static_cast<char>((x >> (8 * b)) & 0xFF));
  return key;
}

std::string random_text(std::mt19937_64& rng, size_t max_len) {
  std::string s(rng() % (max_len + 1), '\0');
  for (char& ch : s) ch = static_cast<char>(rng());
  return s;
}

// Random keys, the empty key, groups of keys sharing one checksum, and so one hash (one key a prefix of
// another), and a run of consecutive checksums (which the tree keeps side by side).
std::vector<std::string> key_universe(std::mt19937_64& rng, size_t random_keys) {
  std::set<std::string> keys{""};
  while (keys.size() < random_keys) keys.insert(random_text(rng, 24));
  for (int g = 0; g < 40; ++g) {
    const auto crc = static_cast<uint32_t>(rng());
    const std::string shorter = key_with_crc(random_text(rng, 12), crc);
    keys.insert({shorter, key_with_crc(shorter, crc), key_with_crc(random_text(rng, 12), crc)});
  }
  const auto base = static_cast<uint32_t>(rng());
  for (uint32_t k = 0; k < 60; ++k) keys.insert(key_with_crc("run", base + k));
  return {keys.begin(), keys.end()};
}

// The key tree is the reference: after every random operation every key of the universe answers as
// the tree does, and the table is sound.
class HashModel {
 public:
  HashModel(int64_t index_bytes, uint32_t seed, size_t random_keys)
      : index_(index_bytes, PoolBacking::kHeap, false), rng_(seed), keys_(key_universe(rng_, random_keys)) {
    EXPECT_EQ(hash_init_locked(ipool(), &root_, 0), kDone);
  }
  uint64_t out_of_memory = 0;

  // Random operations. Sizes drift between empty and the whole universe, so the table grows and shrinks
  // through many capacities.
  void run(uint32_t seed, uint64_t steps) {
    SCOPED_TRACE(testing::seed_trace(seed));
    for (uint64_t n = 0; n < steps && !::testing::Test::HasFatalFailure(); ++n) {
      SCOPED_TRACE("step " + std::to_string(n));
      if (n % 1000 == 0) growing_ = !growing_;
      const uint64_t r = rng_() % 1000;
      const std::string& key = keys_[rng_() % keys_.size()];
      RbtreeNode* present = rbtree_get(dict(), tree(), key.data(), key.size());
      if (r < 1) {
        hash_clear_locked(ipool(), &root_);
        for (RbtreeNode* e : entries()) {
          rbtree_delete(dict(), tree(), e);
          slab_free_locked(dict(), e);
        }
      } else if (r < 3) {  // what a new worker does: an empty table sized for the tree, then every entry
        hash_clear_locked(ipool(), &root_);
        const std::vector<RbtreeNode*> all = entries();
        out_of_memory += hash_init_locked(ipool(), &root_, all.size() + rng_() % 200) != kDone;
        for (RbtreeNode* e : all) index(e);
      } else if (r < 40) {  // entries the table does not hold: -4, and nothing changes
        RbtreeNode* stray = new_node(key);
        ASSERT_EQ(hash_remove_locked(ipool(), &root_, dict(), off(stray)), kNothingToDo);
        if (present != nullptr) {
          ASSERT_EQ(hash_replace_locked(ipool(), &root_, dict(), off(stray), off(present)), kNothingToDo);
        }
        slab_free_locked(dict(), stray);
      } else if (present == nullptr) {
        if (r < (growing_ ? 1000u : 300u)) insert(key);
      } else if (r < (growing_ ? 100u : 750u)) {  // removal works before and after the tree cleared key_crc
        const bool table_first = rng_() % 2 != 0;
        ASSERT_TRUE(!table_first || hash_remove_locked(ipool(), &root_, dict(), off(present)) == kDone);
        rbtree_delete(dict(), tree(), present);
        ASSERT_TRUE(table_first || hash_remove_locked(ipool(), &root_, dict(), off(present)) == kDone);
        slab_free_locked(dict(), present);
      } else if (r < 900) {
        RbtreeNode* n = new_node(key);
        rbtree_delete(dict(), tree(), present);
        rbtree_insert(dict(), tree(), n);
        ASSERT_EQ(hash_replace_locked(ipool(), &root_, dict(), off(present), off(n)), kDone);
        slab_free_locked(dict(), present);
      }
      verify();
    }
  }

  // Inserts every key not yet present, checking after each.
  void fill() {
    for (const std::string& key : keys_) {
      if (::testing::Test::HasFatalFailure() || rbtree_get(dict(), tree(), key.data(), key.size())) continue;
      insert(key);
      verify();
    }
  }

  void verify() {
    TrustedView iv(ipool()), dv(dict());
    for (const std::string& key : keys_) {
      const RbtreeNode* want = rbtree_get(dict(), tree(), key.data(), key.size());
      const uint64_t got = hash_find(iv, root_, dv, key.data(), key.size(), crc32_short(key.data(), key.size()));
      ASSERT_EQ(got, want == nullptr ? 0 : off(want)) << "key of " << key.size() << " bytes";
    }
    ASSERT_EQ(testing::hash_check(ipool(), root_, dict()), "");
  }

 private:
  SlabPool* dict() { return dict_.pool(); }
  SlabPool* ipool() { return index_.pool(); }
  TreeRoot* tree() { return key_tree_of(dict()); }
  uint64_t off(const RbtreeNode* n) { return offset_of_record(dict(), n); }
  RbtreeNode* new_node(const std::string& key) {
    RbtreeNode* n = testing::make_node(dict(), key, random_text(rng_, 20));
    if (n == nullptr) abort();
    return n;
  }
  void insert(const std::string& key) {
    RbtreeNode* n = new_node(key);
    rbtree_insert(dict(), tree(), n);
    index(n);
  }
  // Indexes an entry of the tree; when the pool cannot take it, the table must be whole without it.
  void index(RbtreeNode* n) {
    const int64_t rc = hash_insert_locked(ipool(), &root_, dict(), off(n));
    if (rc == kDone) return;
    ASSERT_EQ(rc, kFailed);
    ++out_of_memory;
    rbtree_delete(dict(), tree(), n);
    slab_free_locked(dict(), n);
  }
  std::vector<RbtreeNode*> entries() {
    std::vector<RbtreeNode*> all;
    TrustedView dv(dict());
    rbtree_walk_inorder(dv, tree(), [&](const RbtreeNode* n) {
      all.push_back(const_cast<RbtreeNode*>(n));
      return true;
    });
    return all;
  }

  PoolFixture dict_{16 << 20}, index_;
  HashRoot root_{};
  std::mt19937_64 rng_;
  std::vector<std::string> keys_;
  bool growing_ = false;
};

// A roomy index pool never runs out. Then one of two pages: a table of one page cannot grow to two beside
// itself, nor one of two pages at all, and the keys outnumber what two pages hold. Failed growth and
// failed presizing leave the old table whole; a fill of every key makes sure the pool runs out.
TEST(HashIndexModel, AgreesWithTheKeyTreeAndRunsOutOfPoolWhole) {
  const uint32_t seed = testing::test_seed(20261207);
  HashModel roomy(4 << 20, seed, 600);
  roomy.run(seed, 4000);
  EXPECT_EQ(roomy.out_of_memory, 0u);
  int64_t bytes = 0;
  while (slab_geometry(bytes, 3, page_size, page_shift).pages < 2) bytes += 64;
  HashModel small(bytes, seed + 1, 2 * static_cast<size_t>(page_size) / 8);
  small.run(seed + 1, 1500);
  small.fill();
  small.run(seed + 1, 1000);
  EXPECT_GT(small.out_of_memory, 0u) << testing::seed_trace(seed + 1);
}

// Arbitrary bytes in both pools, in buffers of exactly the bytes the views admit, so that
// AddressSanitizer reports any read past them.
TEST(HashIndexGarbage, FindStaysInBoundsAndEnds) {
  const uint32_t seed = testing::test_seed(20261209);
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937_64 rng(seed);
  uint64_t hits = 0;
  for (int iter = 0; iter < 4000; ++iter) {
    std::vector<uint64_t> ibuf(8 + rng() % 2048), dbuf(8 + rng() % 8192);
    for (auto* buf : {&ibuf, &dbuf}) std::generate(buf->begin(), buf->end(), [&rng] { return rng(); });
    const uint64_t ibytes = 8 * ibuf.size(), dbytes = 8 * dbuf.size();
    const std::string key = random_text(rng, 16);
    const uint32_t crc = crc32_short(key.data(), key.size());
    auto* root = reinterpret_cast<HashRoot*>(ibuf.data());

    // Most rounds make the bytes plausible: a table inside (or just past) the pool whose slots carry
    // the key's hash and name entries with the key's checksum and length, some of them the key.
    if (rng() % 8 != 0) {
      root->table = 8 * (rng() % (ibytes / 8 + 2));
      const uint64_t room = root->table < ibytes ? (ibytes - root->table) / 8 : 0;
      root->capacity = rng() % 16 == 0 ? rng() : rng() % (room + 3);
      for (uint64_t i = std::max<uint64_t>(root->table / 8, sizeof(HashRoot) / 8); i < ibuf.size(); ++i) {
        const uint64_t entry = 8 * (rng() % (dbytes / 8 + 16));
        if (rng() % 4 != 0) ibuf[i] = hash_slot(hash_of_crc(crc), entry);
        if (rng() % 8 == 0) ibuf[i] = 0;
        if (entry + kNodeHeaderSize > dbytes || rng() % 2 == 0) continue;
        auto* node = reinterpret_cast<RbtreeNode*>(reinterpret_cast<uint8_t*>(dbuf.data()) + entry);
        node->key_crc = crc;
        node->key_len = rng() % 4 == 0 ? static_cast<uint16_t>(rng()) : static_cast<uint16_t>(key.size());
        if (entry + kNodeHeaderSize + key.size() <= dbytes && rng() % 2 == 0)
          std::memcpy(reinterpret_cast<uint8_t*>(node) + kNodeHeaderSize, key.data(), key.size());
      }
    }
    const uint64_t budget = rng() % 3 == 0 ? uint64_t{1} << 40 : 1 + rng() % 300;
    BoundedView iv(ibuf.data(), ibytes, budget), dv(dbuf.data(), dbytes, budget);
    hash_prefetch(iv, *root, crc);
    hash_prefetch_entry(iv, *root, dv, crc);
    const uint64_t got = hash_find(iv, *root, dv, key.data(), key.size(), crc);
    if (got == 0) continue;
    ++hits;
    const auto* found = reinterpret_cast<const uint8_t*>(dbuf.data()) + got + kNodeHeaderSize;
    ASSERT_TRUE(got + kNodeHeaderSize + key.size() <= dbytes && std::memcmp(found, key.data(), key.size()) == 0);
  }
  EXPECT_GT(hits, 0u);  // the plausible rounds reached the key comparison
}

}  // namespace
}  // namespace quillmap
