#include "entry/store_init.h"

#include <gtest/gtest.h>

#include <string>

#include "entry/ipaddr_ops.h"
#include "entry/key_ops.h"
#include "entry/testing/entry_store.h"
#include "lpctrie/lpctrie.h"
#include "store/rbtree.h"
#include "store/rwlock.h"
#include "store/store_init.h"
#include "store/testing/log_capture.h"
#include "store/testing/pool_fixture.h"
#include "util/host_params.h"

namespace quillmap {
namespace {

using testing::LogCapture;
using testing::PoolBacking;
using testing::PoolFixture;

constexpr int64_t kTenMiB = 10485760;

// A segment as a master attaches it: zero-filled, nothing laid out.
class StoreInit : public ::testing::Test {
 protected:
  StoreInit() : fixture_(kTenMiB, PoolBacking::kHeap, /*create_key_tree=*/false) {}
  SlabPool* pool() { return fixture_.pool(); }
  uint64_t entry_count() {
    uint64_t entries = 0;
    EXPECT_EQ(testing::entry_store_check(pool(), &entries), "");
    return entries;
  }
  void expect_empty_store() {
    SlabPool* p = pool();
    ASSERT_NE(p->key_tree, 0u);
    ASSERT_NE(p->trie4, 0u);
    ASSERT_NE(p->trie6, 0u);
    for (uint64_t off : {p->key_tree, p->trie4, p->trie6}) {
      EXPECT_GE(off, p->data_start);
      EXPECT_LT(off, p->pool_end);
    }
    const TreeRoot* tree = key_tree_of(p);
    EXPECT_EQ(tree->root, tree->sentinel);
    EXPECT_EQ(_lfof_<RbtreeNode>(p, tree->sentinel)->color, 0u);
    const LpcNode32* t4 = _lfof_<LpcNode32>(p, p->trie4);
    EXPECT_EQ(t4->pos, 32u);
    EXPECT_EQ(t4->slen, 32u);
    EXPECT_EQ(t4->parent_off, kNoOffset);
    EXPECT_EQ(t4->children_off[0], kNoOffset);
    const LpcNode128* t6 = _lfof_<LpcNode128>(p, p->trie6);
    EXPECT_EQ(t6->pos, 128u);
    EXPECT_EQ(t6->slen, 128u);
    EXPECT_EQ(t6->parent_off, kNoOffset);
    EXPECT_EQ(t6->children_off[0], kNoOffset);
    EXPECT_EQ(p->lock, 0u);
    EXPECT_EQ(entry_count(), 0u);
  }

  PoolFixture fixture_;
  LogCapture log_;
};

TEST_F(StoreInit, FirstWorkerLaysOutAnEmptyStore) {
  pool()->lock = 3;  // left by readers of an earlier daemon
  ASSERT_EQ(init_memory(pool(), 0, kTenMiB), kDone);
  expect_empty_store();
  EXPECT_EQ(log_.text(), "");
  if (page_size != 4096) GTEST_SKIP() << "header figures below assume 4096-byte pages";
  const SlabPool* p = pool();
  EXPECT_EQ(p->desc_base, 624u);
  EXPECT_EQ(p->data_start, 65536u);
  EXPECT_EQ(p->pool_end, 10485760u);
  EXPECT_EQ(p->desc_end, 61680u);
  EXPECT_EQ(p->class_stats, 336u);
  EXPECT_EQ(p->min_chunk, 8u);
  EXPECT_EQ(p->min_chunk_shift, 3u);
  EXPECT_EQ(p->free_pages, 2544u - 4u);  // the TreeRoot, sentinel and two trie roots each opened a class page
  EXPECT_EQ(p->free_head.map, 0u);
}

TEST_F(StoreInit, NewMasterDiscardsWhatAnEarlierDaemonLeft) {
  ASSERT_EQ(init_memory(pool(), 0, kTenMiB), kDone);
  ASSERT_EQ(add_key(pool(), "k", 1, "v", 1, 0), kDone);
  ASSERT_EQ(add_ipaddr(pool(), "10.0.0.0/8", 10, "v", 1, 0), kDone);
  ASSERT_EQ(init_memory(pool(), 0, kTenMiB), kDone);
  expect_empty_store();
  EXPECT_EQ(get_key(pool(), "k", 1), kNothingToDo);
  EXPECT_EQ(get_ipaddr(pool(), "10.1.1.1", 8), kNothingToDo);
}

TEST_F(StoreInit, ReplacementWorkerKeepsTheEntriesAndFreesTheLock) {
  ASSERT_EQ(init_memory(pool(), 0, kTenMiB), kDone);
  ASSERT_EQ(add_key(pool(), "k", 1, "v", 1, 0), kDone);
  ASSERT_EQ(add_ipaddr(pool(), "10.0.0.0/8", 10, "v", 1, 0), kDone);
  ASSERT_EQ(add_ipaddr(pool(), "2001:db8::/32", 13, "v", 1, 0), kDone);
  const SlabPool before = *pool();
  pool()->lock = kLockWriter;  // the predecessor died holding the write lock
  ASSERT_EQ(init_memory(pool(), 1, kTenMiB), kDone);
  EXPECT_EQ(pool()->lock, 0u);
  EXPECT_EQ(pool()->key_tree, before.key_tree);
  EXPECT_EQ(pool()->free_pages, before.free_pages);
  EXPECT_EQ(entry_count(), 3u);
  EXPECT_EQ(get_key(pool(), "k", 1), kDone);
  EXPECT_EQ(get_ipaddr(pool(), "10.1.1.1", 8), kDone);
  EXPECT_EQ(get_ipaddr(pool(), "2001:db8::1", 11), kDone);
  EXPECT_EQ(log_.text(), "");
}

TEST_F(StoreInit, TooSmallADataSizeIsRefused) {
  const int64_t min = store_min_data_size();
  EXPECT_EQ(init_memory(pool(), 0, min - 1), kFailed);
  EXPECT_TRUE(log_.contains("[ERROR]: init_memory: data size")) << log_.text();
  EXPECT_EQ(pool()->key_tree, 0u);
  EXPECT_EQ(init_memory(pool(), 0, -1), kFailed);
  ASSERT_EQ(init_memory(pool(), 0, min), kDone);
  expect_empty_store();
}

TEST_F(StoreInit, ReplacementOfAWorkerThatNeverCompletedTheStoreLaysItOut) {
  ASSERT_EQ(init_memory(pool(), 0, kTenMiB), kDone);
  pool()->trie6 = 0;  // as if the first worker had ended before creating the IPv6 trie
  ASSERT_EQ(init_memory(pool(), 1, kTenMiB), kDone);
  EXPECT_TRUE(log_.contains("[WARN]: init_memory: the store was never completed, laying it out afresh\n"));
  expect_empty_store();
}

// Another process that takes the lock in the instant between the clearing of the lock word and the
// write lock keeps the store from being created; the worker must not use it, and its replacement
// creates it.
TEST_F(StoreInit, WriteLockTakenByAnotherProcess) {
  const int64_t saved_cpu_count = cpu_count;
  cpu_count = 1;
  ASSERT_EQ(init_memory(pool(), 0, kTenMiB), kDone);
  pool()->lock = 1;  // a reader of another process got in after the clearing
  const int64_t rc = _lay_out_store(pool(), kTenMiB);
  cpu_count = saved_cpu_count;
  ASSERT_EQ(rc, kLockTimeout);
  EXPECT_TRUE(log_.contains("[ERROR]: init_memory: could not get write lock\n"));
  EXPECT_EQ(pool()->lock, 1u);
  EXPECT_EQ(pool()->key_tree, 0u);
  EXPECT_EQ(pool()->trie4, 0u);
  EXPECT_EQ(pool()->trie6, 0u);
  ASSERT_EQ(init_memory(pool(), 1, kTenMiB), kDone);
  EXPECT_TRUE(log_.contains("[WARN]: init_memory: the store was never completed, laying it out afresh\n"));
  expect_empty_store();
}

}  // namespace
}  // namespace quillmap
