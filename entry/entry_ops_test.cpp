// What the model test leaves out: lock time-outs, entries that cannot be stored, and the INFO figures.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "entry/ipaddr_ops.h"
#include "entry/key_ops.h"
#include "entry/testing/entry_store.h"
#include "store/rwlock.h"
#include "store/testing/log_capture.h"
#include "util/host_params.h"

namespace quillmap {
namespace {

using Change = int64_t (*)(SlabPool*, const char*, uint64_t, const char*, uint64_t, uint64_t);
using Lookup = int64_t (*)(SlabPool*, const char*, uint64_t);

class EntryOps : public ::testing::Test {
 protected:
  void SetUp() override { cpu_count = 1; }  // a timed-out lock then sleeps instead of spinning
  void TearDown() override { EXPECT_EQ(testing::entry_store_check(pool()), ""); }
  SlabPool* pool() { return store_.pool(); }
  int64_t run(Change op, const std::string& k, const std::string& v = "v") {
    return op(pool(), k.data(), k.size(), v.data(), v.size(), 0);
  }
  int64_t run(Lookup op, const std::string& k) { return op(pool(), k.data(), k.size()); }
  uint64_t offset_of(const std::string& key) { return offset_of_record(pool(), store_.entry(key)); }
  uint64_t trie4_value(uint32_t addr) { return lpctrie32_find(pool(), store_.trie4(), addr); }

  testing::EntryStore store_;
  testing::LogCapture log_;
};

TEST_F(EntryOps, LockTimeOutsAreReportedInTheOperationsName) {
  ASSERT_EQ(run(add_key, "present") + run(add_ipaddr, "10.0.0.0/8"), kDone);
  StatRecord stat{-7, -7, -7, -7, -7};
  // Each operation against a held write lock (its read lock is refused) and a held read lock (the
  // write lock is refused, in the routine named `writer`; lookups share it and succeed).
  const struct {
    std::function<int64_t()> op;
    const char* name;
    const char* writer;
  } cases[] = {
      {[&] { return run(get_key, "present"); }, "get_key", ""},
      {[&] { return run(add_key, "absent"); }, "add_key", "add_key"},
      {[&] { return run(set_key, "present", "w"); }, "set_key", "set_key"},
      {[&] { return run(delete_key, "present"); }, "delete_key", "delete_key"},
      {[&] { return run(get_ipaddr, "10.1.1.1"); }, "get_ipaddr", ""},
      {[&] { return run(add_ipaddr, "11.0.0.0/8"); }, "add_ipaddr", "_add_ipaddr"},
      {[&] { return run(set_ipaddr, "12.0.0.0/8"); }, "set_ipaddr", "_add_ipaddr"},
      {[&] { return run(set_ipaddr, "10.0.0.0/8", "w"); }, "set_ipaddr", "set_ipaddr"},
      {[&] { return run(delete_ipaddr, "10.0.0.0/8"); }, "delete_ipaddr", "delete_ipaddr"},
      {[&] { return get_stat(pool(), &stat); }, "get_stat", ""},
  };
  for (const auto& c : cases) {
    for (uint64_t lock_word : {kLockWriter, uint64_t{1}}) {
      log_.clear();
      pool()->lock = lock_word;
      const bool shares = lock_word == 1 && *c.writer == 0;
      EXPECT_EQ(c.op(), shares ? kDone : kLockTimeout) << c.name << " lock " << lock_word;
      EXPECT_EQ(pool()->lock, lock_word) << c.name;
      if (lock_word != 1) {
        EXPECT_EQ(stat.bytes_total, -7);  // untouched by a refused get_stat
      }
      const std::string msg = lock_word == 1 ? std::string(c.writer) + ": could not get write lock"
                                             : std::string(c.name) + ": could not get read lock";
      if (!shares) {
        EXPECT_TRUE(log_.contains("[ERROR]: " + msg + "\n")) << msg << log_.text();
      }
    }
  }
  pool()->lock = kLockWriter;
  EXPECT_EQ(run(get_ipaddr, "nonsense"), kFailed);  // refused before the lock
  pool()->lock = 0;
  uint64_t entries = 0;
  EXPECT_EQ(testing::entry_store_check(pool(), &entries), "");
  EXPECT_EQ(entries, 2u);  // nothing added or removed
  EXPECT_EQ(store_.entry("present")->value_len, 1u);
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
  EXPECT_EQ(run(get_key, "keep"), kDone);
  EXPECT_EQ(run(set_key, "keep", "w"), kDone);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(node_value(store_.entry("keep"))), 1), "w");
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
  // 57 + 1 + 40 a 128-byte chunk.
  const int64_t alloc = 16 * 254 + 32 * 127 + 64 * 64 + 128 * 32, used = 16 + 32 + 64 + 128;
  StatRecord s[3];
  ASSERT_EQ(get_stat(pool(), &s[0]), kDone);
  ASSERT_EQ(run(add_key, "p", std::string(3000, 'x')) + run(add_key, "q", std::string(5000, 'x')), kDone);
  ASSERT_EQ(run(add_key, "r", std::string(40, 'x')), kDone);
  ASSERT_EQ(get_stat(pool(), &s[1]), kDone);
  ASSERT_EQ(run(delete_key, "q") + get_stat(pool(), &s[2]), kDone);
  const int64_t want[3][5] = {{10485760, 2544, 2540, alloc, used},
                              {10485760, 2544, 2537, alloc + 3 * 4096, used + 128 + 3 * 4096},
                              {10485760, 2544, 2539, alloc + 4096, used + 128 + 4096}};
  for (int i = 0; i < 3; ++i) {
    const int64_t got[5] = {s[i].bytes_total, s[i].pages_total, s[i].pages_free, s[i].bytes_alloc, s[i].bytes_used};
    for (int f = 0; f < 5; ++f) EXPECT_EQ(got[f], want[i][f]) << "stat " << i << " field " << f;
  }
}

}  // namespace
}  // namespace quillmap
