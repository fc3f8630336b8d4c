// The header and allocator layout of a fresh store, against the values other processes rely on.
#include <gtest/gtest.h>

#include "store/layout.h"
#include "store/rbtree.h"
#include "store/slab.h"
#include "store/store_init.h"
#include "store/testing/pool_fixture.h"
#include "store/testing/slab_check.h"
#include "util/host_params.h"

namespace quillmap {
namespace {

using testing::PoolFixture;

constexpr int64_t kDefaultDataSize = 10485760;

// Record layouts beyond those proven beside the records themselves.
static_assert(sizeof(TreeRoot) == 16);
static_assert(offsetof(RbtreeNode, pad0) == 34 && sizeof(RbtreeNode::pad0) == 2);
static_assert(offsetof(RbtreeNode, pad1) == 41 && sizeof(RbtreeNode::pad1) == 7);
static_assert(offsetof(RbtreeNode, is_address) == 56 && kNodeHeaderSize == 57);
static_assert(sizeof(RbtreeNode().key_len) == 2 && sizeof(RbtreeNode().value_len) == 4);
static_assert(kSentinelSize == 64);
static_assert(kPagePage == 0 && kPageBig == 1 && kPageExact == 2 && kPageSmall == 3);
static_assert(kPageAllocated == 0x8000000000000000ull && kPageAllocatedTail == ~0ull);
static_assert(kClassHeadsOffset + 24 * 9 == 336 && 336 + 32 * 9 == 624, "class_stats and desc_base for 9 classes");

class LayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_params_init();
    if (page_size != 4096) GTEST_SKIP() << "the reference values assume 4096-byte pages";
  }
};

TEST_F(LayoutTest, FreshPoolHeaderMatchesReferenceValues) {
  PoolFixture fx(kDefaultDataSize, testing::PoolBacking::kHeap, /*create_key_tree=*/false);
  const SlabPool* p = fx.pool();
  EXPECT_EQ(p->lock, 0u);
  EXPECT_EQ(p->free_head.map, 0u);
  EXPECT_EQ(p->free_head.next, 624u);
  EXPECT_EQ(p->free_head.prev, 0u);
  EXPECT_EQ(p->desc_base, 624u);
  EXPECT_EQ(p->data_start, 65536u);
  EXPECT_EQ(p->pool_end, 10485760u);
  EXPECT_EQ(p->desc_end, 61680u);
  EXPECT_EQ(p->class_stats, 336u);
  EXPECT_EQ(p->min_chunk, 8u);
  EXPECT_EQ(p->min_chunk_shift, 3u);
  EXPECT_EQ(p->free_pages, 2544u);
  EXPECT_EQ(slab_class_count(p), 9u);
  EXPECT_EQ(max_chunk, 2048u);
  EXPECT_EQ(exact_chunk, 64u);
  EXPECT_EQ(exact_shift, 6u);
  for (uint64_t c = 0; c < 9; ++c) {
    const PageDesc* head = class_head(fx.pool(), c);
    EXPECT_EQ(head->map, 0u);
    EXPECT_EQ(head->next, 120 + 24 * c);
    EXPECT_EQ(head->prev, 0u);
  }
  const PageDesc* first = page_desc(fx.pool(), 0);
  EXPECT_EQ(first->map, 2544u);
  EXPECT_EQ(first->next, 8u);
  EXPECT_EQ(first->prev, 8u);
  EXPECT_EQ(page_desc(fx.pool(), 2543)->prev, 624u);
  for (uint64_t c = 0; c < 9; ++c) {
    const ClassStats& s = class_stats_of(p)[c];
    EXPECT_EQ(s.total + s.used + s.requests + s.failures, 0u);
  }
  EXPECT_EQ(testing::slab_check(fx.pool()), "");
}

TEST_F(LayoutTest, KeyTreeAndInitialAllocations) {
  PoolFixture fx(kDefaultDataSize);
  SlabPool* p = fx.pool();
  // TreeRoot: the first 16-byte chunk after the two bitmap chunks of the first page.
  EXPECT_EQ(p->key_tree, 65536u + 32);
  const TreeRoot* tree = key_tree_of(p);
  // Sentinel: the first 64-byte chunk of the second page.
  EXPECT_EQ(tree->sentinel, 65536u + 4096);
  EXPECT_EQ(tree->root, tree->sentinel);
  EXPECT_EQ(_lfof_<RbtreeNode>(p, tree->sentinel)->color, 0);
  EXPECT_EQ(p->free_pages, 2542u);
  // The two trie roots of initialisation take two more class pages.
  EXPECT_NE(slab_calloc_locked(p, 32), nullptr);
  EXPECT_NE(slab_calloc_locked(p, 80), nullptr);
  EXPECT_EQ(p->free_pages, 2540u);
  EXPECT_EQ(testing::slab_check(p), "");
}

TEST_F(LayoutTest, GeometryTable) {
  struct Row {
    uint64_t pool_end, pages, desc_end, data_start;
  };
  const Row rows[] = {
      {10485760, 2544, 61680, 65536},
      {20480, 4, 720, 4096},  // the smallest store with room for initialisation
      {20479, 3, 696, 4096},
      {4096 * 2, 1, 648, 4096},
      {4096, 0, 624, 4096},
      {0, 0, 624, 4096},
  };
  for (const Row& r : rows) {
    SlabGeometry g = slab_geometry(r.pool_end, 3, 4096, 12);
    EXPECT_EQ(g.desc_base, 624u);
    EXPECT_EQ(g.class_stats, 336u);
    EXPECT_EQ(g.pages, r.pages) << r.pool_end;
    EXPECT_EQ(g.desc_end, r.desc_end) << r.pool_end;
    EXPECT_EQ(g.data_start, r.data_start) << r.pool_end;
  }
}

TEST_F(LayoutTest, MinimumDataSizeHoldsInitialisation) {
  const int64_t min = store_min_data_size();
  EXPECT_EQ(min, 20480);
  for (int64_t size = min; size < min + 3 * 4120; size += 8) {
    ASSERT_GE(slab_geometry(size, 3, 4096, 12).pages, 4u) << size;
  }
  EXPECT_LT(slab_geometry(min - 1, 3, 4096, 12).pages, 4u);

  PoolFixture fx(min);
  SlabPool* p = fx.pool();
  EXPECT_NE(slab_calloc_locked(p, 32), nullptr);
  EXPECT_NE(slab_calloc_locked(p, 80), nullptr);
  EXPECT_EQ(p->free_pages, 0u);
  EXPECT_EQ(testing::slab_check(p), "");
}

TEST(LayoutAnyPageSize, MinimumDataSizeIsTightForThisHost) {
  host_params_init();
  const int64_t min = store_min_data_size();
  const uint64_t ps = static_cast<uint64_t>(page_size), sh = static_cast<uint64_t>(page_shift);
  EXPECT_GE(slab_geometry(static_cast<uint64_t>(min), 3, ps, sh).pages, 4u);
  EXPECT_LT(slab_geometry(static_cast<uint64_t>(min - 1), 3, ps, sh).pages, 4u);
}

}  // namespace
}  // namespace quillmap
