// The allocator: the layout of a fresh store against the values other processes rely on, misuse of
// slab_free, and a seeded model test of random allocations and releases through every entry point
// against the allocator's own recount after every step (lists of non-full class pages, maximal free
// runs, statistics), which also covers the class boundaries, pages filling and emptying, runs merging
// and splitting, exhaustion, the failure counts and a lock held elsewhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <map>
#include <tuple>
#include <utility>
#include <random>
#include <vector>

#include "store/rbtree.h"
#include "store/rwlock.h"
#include "store/slab.h"
#include "store/store_init.h"
#include "store/testing/log_capture.h"
#include "store/testing/pool_fixture.h"
#include "store/testing/slab_check.h"
#include "util/host_params.h"
#include "util/testing/seed.h"

namespace quillmap {
namespace {

static_assert(kPagePage == 0 && kPageBig == 1 && kPageExact == 2 && kPageSmall == 3);
static_assert(kPageAllocated == 0x8000000000000000ull && kPageAllocatedTail == ~0ull);
static_assert(kFreeHeadOffset == 8 && kClassHeadsOffset == 120 && sizeof(PageDesc) == 24);

struct SlabTest : ::testing::Test {
  void SetUp() override {
    host_params_init();
    if (page_size != 4096) GTEST_SKIP() << "the reference values assume 4096-byte pages";
  }
};

// The default store of 10485760 bytes as laid out, then with the key tree taken from fresh class pages;
// the geometry of other sizes, and the smallest store; then frees of what is no chunk in use.
TEST_F(SlabTest, LayoutMatchesReferenceValuesAndMisuseOfFreeChangesNothing) {
  testing::PoolFixture fx(10485760, testing::PoolBacking::kHeap, /*create_key_tree=*/false);
  SlabPool* p = fx.pool();
  const uint64_t got[] = {p->lock,        p->free_head.map, p->free_head.next,   p->free_head.prev, p->desc_base,
                          p->data_start,  p->pool_end,      p->desc_end,         p->class_stats,    p->min_chunk,
                          p->min_chunk_shift, p->free_pages, slab_class_count(p), max_chunk, exact_chunk, exact_shift};
  const uint64_t want[] = {0, 0, 624, 0, 624, 65536, 10485760, 61680, 336, 8, 3, 2544, 9, 2048, 64, 6};
  for (size_t i = 0; i < std::size(want); ++i) EXPECT_EQ(got[i], want[i]) << "field " << i;
  // The rest of the class heads, the free run and the counts: slab_check's at the end, and the model's.
  for (uint64_t c = 0; c < 9; ++c) EXPECT_EQ(class_head(p, c)->prev, 0u) << c;
  ASSERT_EQ(store_create_key_tree_locked(p), 0);
  // The root: the first 16-byte chunk after the page's two bitmap chunks; the sentinel: the first
  // 64-byte chunk of the second page.
  EXPECT_TRUE(p->key_tree == 65536u + 32 && key_tree_of(p)->sentinel == 65536u + 4096 &&
              key_tree_of(p)->root == key_tree_of(p)->sentinel && _lfof_<RbtreeNode>(p, 65536 + 4096)->color == 0);

  for (auto [pool_end, pages, desc_end] : {std::tuple{20480, 4u, 720u}, {20479, 3, 696}, {8192, 1, 648},
                                            {4096, 0, 624}, {0, 0, 624}}) {
    const SlabGeometry g = slab_geometry(pool_end, 3, 4096, 12);
    EXPECT_TRUE(g.desc_base == 624 && g.class_stats == 336 && g.pages == pages && g.desc_end == desc_end &&
                g.data_start == 4096) << pool_end;
  }
  // The smallest store holds initialisation's four class pages (that it initialises, and a smaller one
  // does not, is the store start-up test's).
  const int64_t min = store_min_data_size();
  EXPECT_EQ(min, 20480);
  for (int64_t size = min; size < min + 3 * 4120; size += 8) ASSERT_GE(slab_geometry(size, 3, 4096, 12).pages, 4u);

  // Misuse of slab_free on the default store is logged and changes nothing.
  auto* small = static_cast<uint8_t*>(slab_alloc_locked(p, 8));
  auto* big = static_cast<uint8_t*>(slab_alloc_locked(p, 512));
  auto* exact = static_cast<uint8_t*>(slab_alloc_locked(p, 64));
  auto* run = static_cast<uint8_t*>(slab_alloc_locked(p, 2 * 4096));
  slab_free_locked(p, slab_alloc_locked(p, 32));
  uint8_t* base = reinterpret_cast<uint8_t*>(p);
  const std::string outside = "[ERROR]: slab_free(): outside of pool",
                    chunk = "[ERROR]: slab_free(): pointer to wrong chunk",
                    freed = "[WARN]: slab_free(): chunk is already free";
  const std::pair<void*, std::string> rows[] = {
      {base + p->pool_end, outside}, {base + p->data_start - 8, outside}, {nullptr, outside},
      {small + 4, chunk}, {small - 64, chunk} /* the page's bitmap */, {big + 256, chunk}, {exact + 32, chunk},
      {run + 8, chunk}, {run + 4096, "[ERROR]: slab_free(): pointer to wrong page"}, {small + 8, freed},
      {big + 512, freed}, {exact + 64, freed},
      {base + p->data_start + 20 * 4096, "[WARN]: slab_free(): page is already free"}};
  const std::vector<uint8_t> before(base, base + p->desc_end);
  for (const auto& [ptr, message] : rows) {
    testing::LogCapture log;
    slab_free_locked(p, ptr);
    EXPECT_TRUE(log.contains(message)) << message << " got: " << log.text();
    EXPECT_EQ(std::memcmp(before.data(), base, before.size()), 0) << message;
  }
  EXPECT_EQ(testing::slab_check(p), "");
}

// Mixed sizes on a small pool, so that it runs out of memory often; after every step the recount,
// the live chunks and the statistics agree with the model.
TEST_F(SlabTest, SeededModelOfRandomAllocations) {
  const uint32_t seed = testing::test_seed(20240611u);
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937 rng(seed);
  testing::PoolFixture fx(48 * 4120 + 4096, testing::PoolBacking::kHeap, false);
  SlabPool* const pool = fx.pool();
  const uint8_t* const bytes = reinterpret_cast<const uint8_t*>(pool);
  std::map<uint64_t, std::pair<uint64_t, uint8_t>> live;  // offset: the size asked for, the fill byte
  uint64_t requests[9] = {}, failures[9] = {}, failed = 0;
  static const uint64_t kEdges[] = {0, 1, 8, 9, 16, 17, 32, 33, 64, 65, 1024, 1025, 2048, 2049, 4096, 4097, 8193};
  const int kSteps = 150000;
  for (int step = 0; step < kSteps; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    if (step == kSteps / 2) {  // a writer elsewhere never lets go: the wrappers time out, say so, change nothing
      const int64_t cpus = std::exchange(cpu_count, 1);  // one processor keeps the time-outs short
      const std::vector<uint8_t> before(bytes, bytes + pool->desc_end);
      testing::LogCapture log;
      pool->lock = kLockWriter;
      EXPECT_TRUE(slab_alloc(pool, 8) == nullptr && slab_calloc(pool, 8) == nullptr);
      slab_free(pool, live.empty() ? nullptr : _lfof_<uint8_t>(pool, live.begin()->first));
      pool->lock = 0;
      cpu_count = cpus;
      EXPECT_EQ(std::memcmp(before.data(), bytes, before.size()), 0);
      for (const char* fn : {"slab_alloc", "slab_calloc", "slab_free"})
        EXPECT_TRUE(log.contains(std::string("[ERROR]: ") + fn + ": could not get write lock")) << fn;
    }
    const bool locking = rng() % 4 == 0, zeroed = rng() % 4 == 0;  // calloc must zero a recycled, dirty chunk
    if (live.empty() || rng() % 100 < 55) {
      // A tenth of the time, one class in turn takes every request, so that its pages fill.
      const uint64_t kind = rng() % 20, size = step % 10000 < 1000 ? (uint64_t{4} << (step / 10000 % 9)) + 1
                                              : kind < 12           ? rng() % 2049
                                              : kind < 15           ? rng() % 71
                                              : kind < 17           ? kEdges[rng() % std::size(kEdges)]
                                                                    : 2049 + rng() % (5 * 4096 - 2048);
      const bool is_class = size <= max_chunk;
      const uint64_t granted = is_class ? std::max<uint64_t>(8, std::bit_ceil(size)) : (size + 4095) / 4096 * 4096;
      const uint64_t cls = std::countr_zero(granted) - 3;
      const bool list_empty = is_class && class_head(pool, cls)->next == kClassHeadsOffset + 24 * cls;
      uint64_t longest_run = 0;
      for (uint64_t o = pool->free_head.next; o != kFreeHeadOffset; o = _lfof_<PageDesc>(pool, o)->next)
        longest_run = std::max(longest_run, _lfof_<PageDesc>(pool, o)->map);
      auto* p = static_cast<uint8_t*>(locking ? (zeroed ? slab_calloc : slab_alloc)(pool, size)
                                              : (zeroed ? slab_calloc_locked : slab_alloc_locked)(pool, size));
      if (is_class) ++requests[cls];
      if (p == nullptr) {
        ASSERT_TRUE(is_class ? list_empty && longest_run == 0 : longest_run < granted / 4096) << "failed: " << size;
        if (is_class) ++failures[cls];
        ++failed;
      } else {
        const uint64_t off = offset_of_record(pool, p);
        ASSERT_TRUE(off >= pool->data_start && off + granted <= pool->pool_end) << size;
        ASSERT_EQ(off % std::min<uint64_t>(granted, 4096), 0u) << size;
        ASSERT_EQ(slab_allocation_size(pool, p), granted) << size;
        ASSERT_TRUE(slab_allocation_in_use(pool, p)) << size;
        ASSERT_TRUE(!zeroed || std::all_of(p, p + size, [](uint8_t b) { return b == 0; })) << "calloc: " << size;
        live[off] = {size, static_cast<uint8_t>(rng())};
        std::memset(p, live[off].second, size);
      }
    } else {
      auto it = std::next(live.begin(), static_cast<long>(rng() % live.size()));
      uint8_t* p = _lfof_<uint8_t>(pool, it->first);
      const auto [size, fill] = it->second;
      ASSERT_TRUE(std::all_of(p, p + size, [&](uint8_t b) { return b == fill; })) << "live chunk overwritten";
      locking ? slab_free(pool, p) : slab_free_locked(pool, p);
      ASSERT_FALSE(slab_allocation_in_use(pool, p));
      live.erase(it);
    }
    ASSERT_EQ(testing::slab_check(pool), "");
    for (int c = 0; c < 9; ++c)
      ASSERT_TRUE(class_stats_of(pool)[c].requests == requests[c] && class_stats_of(pool)[c].failures == failures[c]) << c;
  }
  EXPECT_GT(failed, 0u) << "the pool never ran out of memory";
  for (const auto& [off, chunk] : live) slab_free_locked(pool, _lfof_<uint8_t>(pool, off));
  ASSERT_EQ(testing::slab_check(pool), "");
  EXPECT_EQ(_lfof_<PageDesc>(pool, pool->free_head.next)->map, page_count(pool)) << "one free run of every page";
}

}  // namespace
}  // namespace quillmap
