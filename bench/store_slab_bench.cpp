// Allocation and release through the slab allocator: per size class and for page runs.
#include <benchmark/benchmark.h>

#include <vector>

#include "store/slab.h"
#include "store/testing/pool_fixture.h"

namespace quillmap {
namespace {

// One chunk allocated and released again: the class page stays at the head of its list.
void BM_ClassAllocFree(benchmark::State& state) {
  testing::PoolFixture fx(16 << 20, testing::PoolBacking::kHeap, false);
  SlabPool* pool = fx.pool();
  const uint64_t size = static_cast<uint64_t>(state.range(0));
  void* keep = slab_alloc_locked(pool, size);  // keeps the class page from returning to the free runs
  for (auto _ : state) {
    void* p = slab_alloc_locked(pool, size);
    benchmark::DoNotOptimize(p);
    slab_free_locked(pool, p);
  }
  slab_free_locked(pool, keep);
}
BENCHMARK(BM_ClassAllocFree)->RangeMultiplier(2)->Range(8, 2048);

// 4096 chunks allocated, then all released: pages are filled, leave and rejoin their class lists,
// and return to the free runs.
void BM_ClassFillDrain(benchmark::State& state) {
  testing::PoolFixture fx(32 << 20, testing::PoolBacking::kHeap, false);
  SlabPool* pool = fx.pool();
  const uint64_t size = static_cast<uint64_t>(state.range(0));
  std::vector<void*> chunks(4096);
  for (auto _ : state) {
    for (void*& p : chunks) p = slab_alloc_locked(pool, size);
    for (void* p : chunks) slab_free_locked(pool, p);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(chunks.size()));
}
BENCHMARK(BM_ClassFillDrain)->Arg(8)->Arg(32)->Arg(64)->Arg(256)->Arg(2048);

// A run of whole pages allocated and released, with a fragmented free-run list in front of it.
void BM_PageRunAllocFree(benchmark::State& state) {
  testing::PoolFixture fx(64 << 20, testing::PoolBacking::kHeap, false);
  SlabPool* pool = fx.pool();
  const uint64_t pages = static_cast<uint64_t>(state.range(0));
  std::vector<void*> holes;
  for (int i = 0; i < 200; ++i) {
    void* a = slab_alloc_locked(pool, 4096);
    holes.push_back(slab_alloc_locked(pool, 4096));
    (void)a;  // stays allocated, so the released pages stay single-page runs
  }
  for (void* h : holes) slab_free_locked(pool, h);
  for (auto _ : state) {
    void* p = slab_alloc_locked(pool, pages * 4096);
    benchmark::DoNotOptimize(p);
    slab_free_locked(pool, p);
  }
}
BENCHMARK(BM_PageRunAllocFree)->Arg(1)->Arg(2)->Arg(8)->Arg(64);

}  // namespace
}  // namespace quillmap
