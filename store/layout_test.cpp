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

// Record layouts beyond those proven beside the records themselves.
static_assert(offsetof(RbtreeNode, pad0) == 34 && sizeof(RbtreeNode::pad0) == 2 && kSentinelSize == 64);
static_assert(offsetof(RbtreeNode, pad1) == 41 && sizeof(RbtreeNode::pad1) == 7 && kNodeHeaderSize == 57);
static_assert(kPagePage == 0 && kPageBig == 1 && kPageExact == 2 && kPageSmall == 3);
static_assert(kPageAllocated == 0x8000000000000000ull && kPageAllocatedTail == ~0ull);

class LayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_params_init();
    if (page_size != 4096) GTEST_SKIP() << "the reference values assume 4096-byte pages";
  }
};

// The default store of 10485760 bytes as laid out, then with the key tree and the two trie roots taken
// from fresh class pages.
TEST_F(LayoutTest, DefaultStoreMatchesReferenceValues) {
  PoolFixture fx(10485760, testing::PoolBacking::kHeap, /*create_key_tree=*/false);
  SlabPool* p = fx.pool();
  const uint64_t got[] = {p->lock,        p->free_head.map, p->free_head.next,   p->free_head.prev, p->desc_base,
                          p->data_start,  p->pool_end,      p->desc_end,         p->class_stats,    p->min_chunk,
                          p->min_chunk_shift, p->free_pages, slab_class_count(p), max_chunk, exact_chunk, exact_shift};
  const uint64_t want[] = {0, 0, 624, 0, 624, 65536, 10485760, 61680, 336, 8, 3, 2544, 9, 2048, 64, 6};
  for (size_t i = 0; i < std::size(want); ++i) EXPECT_EQ(got[i], want[i]) << "field " << i;
  for (uint64_t c = 0; c < 9; ++c) {
    const PageDesc* head = class_head(p, c);
    EXPECT_TRUE(head->map == 0 && head->next == 120 + 24 * c && head->prev == 0) << c;
    const ClassStats& s = class_stats_of(p)[c];
    EXPECT_EQ(s.total + s.used + s.requests + s.failures, 0u) << c;
  }
  EXPECT_TRUE(page_desc(p, 0)->map == 2544 && page_desc(p, 0)->next == 8 && page_desc(p, 0)->prev == 8);
  EXPECT_EQ(page_desc(p, 2543)->prev, 624u);

  ASSERT_EQ(store_create_key_tree_locked(p), 0);
  EXPECT_EQ(p->key_tree, 65536u + 32);  // the first 16-byte chunk after the page's two bitmap chunks
  const TreeRoot* tree = key_tree_of(p);
  EXPECT_EQ(tree->sentinel, 65536u + 4096);  // the first 64-byte chunk of the second page
  EXPECT_EQ(tree->root, tree->sentinel);
  EXPECT_EQ(_lfof_<RbtreeNode>(p, tree->sentinel)->color, 0);
  EXPECT_NE(slab_calloc_locked(p, 32), nullptr);
  EXPECT_NE(slab_calloc_locked(p, 80), nullptr);
  EXPECT_EQ(p->free_pages, 2540u);
  EXPECT_EQ(testing::slab_check(p), "");
}

TEST_F(LayoutTest, GeometryAndMinimumDataSize) {
  const struct {
    uint64_t pool_end, pages, desc_end, data_start;
  } rows[] = {{10485760, 2544, 61680, 65536}, {20480, 4, 720, 4096}, {20479, 3, 696, 4096},
              {4096 * 2, 1, 648, 4096},       {4096, 0, 624, 4096},  {0, 0, 624, 4096}};
  for (const auto& r : rows) {
    const SlabGeometry g = slab_geometry(r.pool_end, 3, 4096, 12);
    EXPECT_TRUE(g.desc_base == 624 && g.class_stats == 336) << r.pool_end;
    EXPECT_TRUE(g.pages == r.pages && g.desc_end == r.desc_end && g.data_start == r.data_start) << r.pool_end;
  }
  // The smallest store holds initialisation (four class pages) and no smaller one does.
  const int64_t min = store_min_data_size();
  EXPECT_EQ(min, 20480);
  for (int64_t size = min; size < min + 3 * 4120; size += 8) ASSERT_GE(slab_geometry(size, 3, 4096, 12).pages, 4u);
  PoolFixture fx(min);
  EXPECT_NE(slab_calloc_locked(fx.pool(), 32), nullptr);
  EXPECT_NE(slab_calloc_locked(fx.pool(), 80), nullptr);
  EXPECT_EQ(fx.pool()->free_pages, 0u);
  EXPECT_EQ(testing::slab_check(fx.pool()), "");
}

}  // namespace
}  // namespace quillmap
