#include "entry/store_init.h"

#include <gtest/gtest.h>

#include <string>

#include "entry/ipaddr_ops.h"
#include "entry/key_ops.h"
#include "entry/testing/entry_store.h"
#include "store/rwlock.h"
#include "store/store_init.h"
#include "store/testing/log_capture.h"
#include "util/host_params.h"

namespace quillmap {
namespace {

constexpr int64_t kTenMiB = 10485760;

// A segment as a master attaches it: zero-filled, nothing laid out.
class StoreInit : public ::testing::Test {
 protected:
  StoreInit() : fixture_(kTenMiB, testing::PoolBacking::kHeap, /*create_key_tree=*/false) {}
  SlabPool* pool() { return fixture_.pool(); }
  void fill() {
    ASSERT_EQ(add_key(pool(), "k", 1, "v", 1, 0), kDone);
    ASSERT_EQ(add_ipaddr(pool(), "10.0.0.0/8", 10, "v", 1, 0), kDone);
    ASSERT_EQ(add_ipaddr(pool(), "2001:db8::/32", 13, "v", 1, 0), kDone);
  }
  // The store is sound, unlocked, holds `entries` entries, and GET of each filled entry says `found`.
  void expect_store(uint64_t entries, int64_t found) {
    uint64_t count = ~uint64_t{0};
    EXPECT_EQ(testing::entry_store_check(pool(), &count), "");
    EXPECT_EQ(count, entries);
    EXPECT_EQ(pool()->lock, 0u);
    EXPECT_EQ(get_key(pool(), "k", 1), found);
    EXPECT_EQ(get_ipaddr(pool(), "10.1.1.1", 8), found);
    EXPECT_EQ(get_ipaddr(pool(), "2001:db8::1", 11), found);
  }

  testing::PoolFixture fixture_;
  testing::LogCapture log_;
};

TEST_F(StoreInit, FirstWorkerLaysOutAnEmptyStoreAndDiscardsAnEarlierOne) {
  EXPECT_EQ(init_memory(pool(), 0, store_min_data_size() - 1), kFailed);
  EXPECT_EQ(init_memory(pool(), 0, -1), kFailed);
  EXPECT_TRUE(log_.contains("[ERROR]: init_memory: data size")) << log_.text();
  EXPECT_EQ(pool()->key_tree, 0u);
  log_.clear();
  pool()->lock = 3;  // left by readers of an earlier daemon
  ASSERT_EQ(init_memory(pool(), 0, store_min_data_size()), kDone);  // the smallest store is usable
  expect_store(0, kNothingToDo);
  fill();
  ASSERT_EQ(init_memory(pool(), 0, kTenMiB), kDone);
  expect_store(0, kNothingToDo);
  EXPECT_EQ(log_.text(), "");
  // The TreeRoot, the sentinel and the two trie roots each opened a class page.
  EXPECT_EQ(pool()->free_pages, (pool()->pool_end - pool()->data_start) / page_size - 4);
}

TEST_F(StoreInit, ReplacementWorkerKeepsTheEntriesAndFreesTheLock) {
  ASSERT_EQ(init_memory(pool(), 0, kTenMiB), kDone);
  fill();
  const SlabPool before = *pool();
  pool()->lock = kLockWriter;  // the predecessor died holding the write lock
  ASSERT_EQ(init_memory(pool(), 1, kTenMiB), kDone);
  EXPECT_EQ(pool()->key_tree, before.key_tree);
  EXPECT_EQ(pool()->free_pages, before.free_pages);
  expect_store(3, kDone);
  EXPECT_EQ(log_.text(), "");
}

// A worker that ended before the store was complete (here: its write lock was taken by another
// process between the clearing of the lock word and the layout) leaves a store that must not be
// used; its replacement lays it out afresh.
TEST_F(StoreInit, IncompleteStoreIsLaidOutByTheReplacement) {
  ASSERT_EQ(init_memory(pool(), 0, kTenMiB), kDone);
  pool()->trie6 = 0;  // ended before creating the IPv6 trie
  ASSERT_EQ(init_memory(pool(), 1, kTenMiB), kDone);
  expect_store(0, kNothingToDo);
  const int64_t saved_cpu_count = cpu_count;
  cpu_count = 1;  // a timed-out lock sleeps instead of spinning
  pool()->lock = 1;
  const int64_t rc = _lay_out_store(pool(), kTenMiB);
  cpu_count = saved_cpu_count;
  ASSERT_EQ(rc, kLockTimeout);
  EXPECT_TRUE(log_.contains("[ERROR]: init_memory: could not get write lock\n"));
  EXPECT_EQ(pool()->lock, 1u);
  EXPECT_EQ(pool()->key_tree | pool()->trie4 | pool()->trie6, 0u);
  ASSERT_EQ(init_memory(pool(), 1, kTenMiB), kDone);
  expect_store(0, kNothingToDo);
  const std::string text = log_.text();
  const std::string relaid = "[WARN]: init_memory: the store was never completed, laying it out afresh\n";
  EXPECT_NE(text.find(relaid), text.rfind(relaid)) << text;  // once for each incomplete store
}

}  // namespace
}  // namespace quillmap
