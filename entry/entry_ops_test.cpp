// What the model test leaves out: a layout that cannot be made, entries that cannot be stored, an
// address entry whose text does not parse, and the INFO figures.
#include <gtest/gtest.h>

#include <string>

#include "entry/key_ops.h"
#include "entry/testing/entry_store.h"
#include "store/rwlock.h"
#include "store/store_init.h"
#include "store/testing/log_capture.h"

namespace quillmap {
namespace {

class EntryOps : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(testing::entry_store_check(pool()), ""); }
  SlabPool* pool() { return store_.pool(); }
  int64_t run(decltype(&add_key) op, const std::string& k, const std::string& v = "v") {
    return op(pool(), k.data(), k.size(), v.data(), v.size(), 0);
  }
  int64_t run(decltype(&get_key) op, const std::string& k) { return op(pool(), k.data(), k.size()); }
  uint64_t offset_of(const std::string& key) { return offset_of_record(pool(), store_.entry(key)); }
  uint64_t trie4_value(uint32_t addr) { return lpctrie32_find(pool(), store_.trie4(), addr); }

  testing::EntryStore store_;
  testing::LogCapture log_;
};

// A size below the smallest store is refused; a layout that cannot take the write lock leaves the
// store marked incomplete, so that the next worker lays it out again.
TEST_F(EntryOps, LayoutsThatCannotBeMade) {
  EXPECT_EQ(init_memory(pool(), 0, store_min_data_size() - 1), kFailed);
  EXPECT_TRUE(log_.contains("[ERROR]: init_memory: data size")) << log_.text();
  cpu_count = 1;  // a lock that is not had sleeps instead of spinning
  pool()->lock = 1;
  ASSERT_EQ(_lay_out_store(pool(), store_.size()), kLockTimeout);
  EXPECT_TRUE(log_.contains("[ERROR]: init_memory: could not get write lock\n"));
  EXPECT_EQ(pool()->lock, 1u);
  EXPECT_EQ(pool()->key_tree | pool()->trie4 | pool()->trie6, 0u);
  ASSERT_EQ(init_memory(pool(), 1, store_min_data_size()), kDone);  // the smallest store is usable
  EXPECT_TRUE(log_.contains("[WARN]: init_memory: the store was never completed, laying it out afresh\n"));
  EXPECT_EQ(run(add_ipaddr, "10.0.0.0/8"), kDone);
}

// An address entry whose text does not parse (only insert_key_locked can make one) is kept by the
// removal by node, and removed like a string entry by DEL.
TEST_F(EntryOps, AddressEntryWhoseTextDoesNotParse) {
  EXPECT_EQ(delete_ipaddr_by_node_locked(pool(), nullptr), kNothingToDo);
  EXPECT_TRUE(log_.contains("[WARN]: Could not delete node by NULL pointer\n"));
  RbtreeNode* odd = nullptr;
  ASSERT_EQ(insert_key_locked(pool(), "garbage", 7, "v", 1, 0, 1, &odd), kDone);
  EXPECT_EQ(delete_ipaddr_by_node_locked(pool(), odd), kFailed);
  EXPECT_TRUE(log_.contains("[ERROR]: Could not convert key to CIDR for 'garbage'\n"));
  EXPECT_EQ(store_.entry("garbage"), odd);
  EXPECT_EQ(run(delete_key, "garbage"), kDone);
}

TEST_F(EntryOps, NoMemoryLeavesNoHalfStoredEntry) {
  {
    // Entries of 57 + 10 + 1 bytes come from the 128-byte class page that init_memory opened for
    // the IPv6 trie root; trie leaves need 32-byte chunks, of which none is left.
    testing::EntryStore small;
    testing::exhaust_pool(small.pool(), 32);
    EXPECT_EQ(add_ipaddr(small.pool(), "10.0.0.0/8", 10, "v", 1, 0), kFailed);
    EXPECT_TRUE(log_.contains("[WARN]: Could not allocate memory for 10.0.0.0/8 in lpctrie\n"));
    EXPECT_EQ(set_ipaddr(small.pool(), "10.0.0.0/8", 10, "v", 1, 0), kFailed);
    EXPECT_EQ(small.entry("10.0.0.0/8"), nullptr);
    EXPECT_EQ(testing::entry_store_check(small.pool()), "");
  }
  ASSERT_EQ(run(add_key, "keep") + run(add_ipaddr, "10.0.0.0/8"), kDone);  // 64- and 128-byte chunks
  ASSERT_EQ(run(add_ipaddr, "20.0.0.1/8") + run(add_key, "20.0.0.0/8"), kDone);  // the string entry has no prefix
  testing::exhaust_pool(pool(), 64);
  const std::string big(300, 'b');  // 367 bytes: the 512-byte class, which has no page
  EXPECT_EQ(run(add_key, "new", big) + run(set_key, "absent", big), 2 * kFailed);
  EXPECT_TRUE(log_.contains("[WARN]: Could not allocate memory for new in rbtree\n"));
  EXPECT_EQ(run(get_key, "new") + run(get_key, "absent"), 2 * kNothingToDo);
  // Replacing: a new value that fits nowhere fails and keeps the old entry and its prefix whole; one
  // that fits the old entry's own chunk replaces it in place, even in a full pool.
  EXPECT_EQ(run(set_key, "keep", big), kFailed);
  EXPECT_EQ(run(set_key, "keep", "w"), kDone);
  EXPECT_EQ(store_.image().at("keep").value, "w");
  const uint64_t net = offset_of("10.0.0.0/8");
  EXPECT_EQ(run(set_ipaddr, "10.0.0.0/8", big), kFailed);
  EXPECT_EQ(offset_of("10.0.0.0/8"), net);
  EXPECT_EQ(trie4_value(0x0a010101), net);
  EXPECT_EQ(run(set_ipaddr, "10.0.0.0/8", "x"), kDone);
  EXPECT_EQ(trie4_value(0x0a010101), net);
  // A prefix stored for another key of the same prefix stays with it when the SET fails.
  EXPECT_EQ(run(set_ipaddr, "20.0.0.0/8", big), kFailed);
  EXPECT_EQ(trie4_value(0x14010101), offset_of("20.0.0.1/8"));
}

TEST_F(EntryOps, StatFigures) {
  if (page_size != 4096) GTEST_SKIP() << "figures below assume 4096-byte pages";
  // init_memory took a 16-byte, a 32-byte, a 64-byte and a 128-byte chunk, each from a page of its
  // own. An entry of 57 + 1 + 3000 bytes takes one whole page, one of 57 + 1 + 5000 two, one of
  // 57 + 1 + 40 a 128-byte chunk. A writer's lock leaves the record untouched.
  const int64_t alloc = 16 * 254 + 32 * 127 + 64 * 64 + 128 * 32, used = 16 + 32 + 64 + 128;
  StatRecord s[4] = {{}, {}, {}, {-7, -7, -7, -7, -7}};
  ASSERT_EQ(get_stat(pool(), &s[0]), kDone);
  ASSERT_EQ(run(add_key, "p", std::string(3000, 'x')) + run(add_key, "q", std::string(5000, 'x')), kDone);
  ASSERT_EQ(run(add_key, "r", std::string(40, 'x')) + get_stat(pool(), &s[1]), kDone);
  ASSERT_EQ(run(delete_key, "q") + get_stat(pool(), &s[2]), kDone);
  cpu_count = 1;
  pool()->lock = kLockWriter;
  EXPECT_EQ(get_stat(pool(), &s[3]), kLockTimeout);
  pool()->lock = 0;
  const int64_t want[4][5] = {{10485760, 2544, 2540, alloc, used},
                              {10485760, 2544, 2537, alloc + 3 * 4096, used + 128 + 3 * 4096},
                              {10485760, 2544, 2539, alloc + 4096, used + 128 + 4096},
                              {-7, -7, -7, -7, -7}};
  for (int i = 0; i < 4; ++i) {
    const int64_t got[5] = {s[i].bytes_total, s[i].pages_total, s[i].pages_free, s[i].bytes_alloc, s[i].bytes_used};
    for (int f = 0; f < 5; ++f) EXPECT_EQ(got[f], want[i][f]) << "stat " << i << " field " << f;
  }
}

}  // namespace
}  // namespace quillmap
