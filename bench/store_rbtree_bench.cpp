// Key tree operations at 10^4, 10^5 and 10^6 entries: look-up, insertion and deletion.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "store/change_epoch.h"
#include "store/rbtree.h"
#include "store/slab.h"
#include "store/testing/pool_fixture.h"

namespace quillmap {
namespace {

constexpr int kBatch = 1000;

// Seven-byte keys, so that a node fills one 64-byte chunk.
void key_for(uint64_t i, char out[8]) {
  snprintf(out, 8, "%07x", static_cast<unsigned>(i & 0xfffffff));
}

// Deletion clears key_crc and the links; a node is put back with its checksum restored.
void reinsert(SlabPool* pool, RbtreeNode* n) {
  n->key_crc = crc32_short(node_key(n), n->key_len);
  rbtree_insert(pool, key_tree_of(pool), n);
}

RbtreeNode* make_node(SlabPool* pool, uint64_t i) {
  char key[8];
  key_for(i, key);
  auto* n = static_cast<RbtreeNode*>(slab_calloc_locked(pool, kNodeHeaderSize + 7));
  n->key_crc = crc32_short(key, 7);
  n->key_len = 7;
  std::memcpy(node_key(n), key, 7);
  return n;
}

// A tree of n entries (keys 0 .. n-1), built once per size and shared by the benchmarks.
struct BigTree {
  explicit BigTree(uint64_t n) : fx(static_cast<int64_t>(n * 66 + (16 << 20))), count(n) {
    for (uint64_t i = 0; i < n; ++i) {
      RbtreeNode* node = make_node(fx.pool(), i);
      rbtree_insert(fx.pool(), key_tree_of(fx.pool()), node);
      nodes.push_back(node);
    }
  }
  testing::PoolFixture fx;
  uint64_t count;
  std::vector<RbtreeNode*> nodes;
};

BigTree& tree_of(uint64_t n) {
  static std::map<uint64_t, std::unique_ptr<BigTree>> trees;
  auto& t = trees[n];
  if (!t) t = std::make_unique<BigTree>(n);
  return *t;
}

void BM_RbtreeGet(benchmark::State& state) {
  BigTree& t = tree_of(static_cast<uint64_t>(state.range(0)));
  std::mt19937_64 rng(1);
  char key[8];
  for (auto _ : state) {
    key_for(rng() % t.count, key);
    benchmark::DoNotOptimize(rbtree_get(t.fx.pool(), key_tree_of(t.fx.pool()), key, 7));
  }
}
BENCHMARK(BM_RbtreeGet)->Arg(10000)->Arg(100000)->Arg(1000000);

// Inserts fresh keys in batches; each batch is taken out again untimed. Published: as the worker's
// dictionary, each insertion a change of its own, so that the worker's ordered copy of the tree finds
// the new key's place; otherwise every insertion walks from the root.
template <bool kPublished>
void BM_RbtreeInsert(benchmark::State& state) {
  BigTree& t = tree_of(static_cast<uint64_t>(state.range(0)));
  SlabPool* pool = t.fx.pool();
  StateHeader header{};
  if (kPublished) publish_changes(&pool->lock, &header);
  std::vector<RbtreeNode*> batch;
  for (int i = 0; i < kBatch; ++i) batch.push_back(make_node(pool, t.count + 1 + static_cast<uint64_t>(i) * 7919));
  int next = 0;
  for (auto _ : state) {
    if (kPublished) change_begins();
    rbtree_insert(pool, key_tree_of(pool), batch[next]);
    if (kPublished) change_ends();
    if (++next == kBatch) {
      state.PauseTiming();
      for (RbtreeNode* n : batch) {
        rbtree_delete(pool, key_tree_of(pool), n);
        n->key_crc = crc32_short(node_key(n), n->key_len);
      }
      next = 0;
      state.ResumeTiming();
    }
  }
  for (int i = 0; i < next; ++i) rbtree_delete(pool, key_tree_of(pool), batch[i]);
  for (RbtreeNode* n : batch) slab_free_locked(pool, n);
  if (kPublished) publish_changes(nullptr, nullptr);
}
BENCHMARK_TEMPLATE(BM_RbtreeInsert, false)->Arg(10000)->Arg(100000)->Arg(1000000);
BENCHMARK_TEMPLATE(BM_RbtreeInsert, true)->Arg(10000)->Arg(100000)->Arg(1000000);

// Deletes random present entries in batches; each batch is put back untimed.
void BM_RbtreeDelete(benchmark::State& state) {
  BigTree& t = tree_of(static_cast<uint64_t>(state.range(0)));
  SlabPool* pool = t.fx.pool();
  std::mt19937_64 rng(2);
  std::vector<RbtreeNode*> batch;
  auto refill = [&] {
    batch.clear();
    for (int i = 0; i < kBatch; ++i) batch.push_back(t.nodes[(rng() % (t.count / kBatch)) * kBatch + i]);
  };
  refill();
  int next = 0;
  for (auto _ : state) {
    rbtree_delete(pool, key_tree_of(pool), batch[next]);
    if (++next == kBatch) {
      state.PauseTiming();
      for (RbtreeNode* n : batch) reinsert(pool, n);
      refill();
      next = 0;
      state.ResumeTiming();
    }
  }
  for (int i = 0; i < next; ++i) reinsert(pool, batch[i]);
}
BENCHMARK(BM_RbtreeDelete)->Arg(10000)->Arg(100000)->Arg(1000000);

}  // namespace
}  // namespace quillmap
