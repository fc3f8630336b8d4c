#include "entry/key_ops.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "entry/ipaddr_ops.h"
#include "entry/testing/entry_store.h"
#include "store/rwlock.h"
#include "store/slab.h"
#include "store/testing/log_capture.h"
#include "util/host_params.h"

namespace quillmap {
namespace {

using testing::EntryStore;
using testing::LogCapture;

class KeyOps : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_cpu_count_ = cpu_count;
    cpu_count = 1;  // a timed-out lock then sleeps instead of spinning: the lock tests stay quick
  }
  void TearDown() override {
    cpu_count = saved_cpu_count_;
    EXPECT_EQ(testing::entry_store_check(store_.pool()), "");
  }
  SlabPool* pool() { return store_.pool(); }
  int64_t add(const std::string& k, const std::string& v, uint64_t expires = 0) {
    return add_key(pool(), k.data(), k.size(), v.data(), v.size(), expires);
  }
  int64_t set(const std::string& k, const std::string& v, uint64_t expires = 0) {
    return set_key(pool(), k.data(), k.size(), v.data(), v.size(), expires);
  }
  int64_t get(const std::string& k) { return get_key(pool(), k.data(), k.size()); }
  int64_t del(const std::string& k) { return delete_key(pool(), k.data(), k.size()); }
  std::string value_of(const std::string& k) {
    RbtreeNode* n = store_.entry(k);
    return n == nullptr ? "<absent>" : std::string(reinterpret_cast<char*>(node_value(n)), n->value_len);
  }

  EntryStore store_;
  LogCapture log_;
  int64_t saved_cpu_count_ = 1;
};

TEST_F(KeyOps, AddGetDeleteRoundTrip) {
  EXPECT_EQ(get("alpha"), kNothingToDo);
  EXPECT_EQ(add("alpha", "one"), kDone);
  EXPECT_EQ(get("alpha"), kDone);
  EXPECT_EQ(value_of("alpha"), "one");
  EXPECT_EQ(add("alpha", "two"), kNothingToDo);
  EXPECT_TRUE(log_.contains("[WARN]: Could not add key alpha because key exists\n"));
  EXPECT_EQ(value_of("alpha"), "one");
  EXPECT_EQ(del("alpha"), kDone);
  EXPECT_EQ(get("alpha"), kNothingToDo);
  EXPECT_EQ(del("alpha"), kNothingToDo);
  EXPECT_TRUE(log_.contains("[INFO]: No such node alpha. Skip deletion\n"));
}

TEST_F(KeyOps, ExpiredEntryIsStillFoundRefusedAndReplaced) {
  EXPECT_EQ(add("old", "v", 1), kDone);  // expired long ago, never swept
  EXPECT_EQ(get("old"), kDone);
  EXPECT_EQ(add("old", "w"), kNothingToDo);
  EXPECT_EQ(set("old", "w", 0), kDone);
  EXPECT_EQ(store_.entry("old")->expires, 0u);
}

TEST_F(KeyOps, InsertFillsEveryField) {
  EXPECT_EQ(add("key", "value", 1234567890), kDone);
  const RbtreeNode* n = store_.entry("key");
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->key_crc, crc32_short("key", 3));
  EXPECT_EQ(n->key_len, 3u);
  EXPECT_EQ(n->value_len, 5u);
  EXPECT_EQ(n->expires, 1234567890u);
  EXPECT_EQ(n->is_address, 0u);
  EXPECT_EQ(std::memcmp(node_key(n), "keyvalue", 8), 0);
}

TEST_F(KeyOps, EmptyValueStoresNoValueBytes) {
  EXPECT_EQ(add_key(pool(), "k", 1, nullptr, 0, 0), kDone);
  EXPECT_EQ(store_.entry("k")->value_len, 0u);
  EXPECT_EQ(add("k2", ""), kDone);
  EXPECT_EQ(store_.entry("k2")->value_len, 0u);
}

TEST_F(KeyOps, SetAbsentAddsAndSetExistingReplaces) {
  EXPECT_EQ(set("s", "first", 10), kNothingToDo);
  EXPECT_EQ(value_of("s"), "first");
  EXPECT_EQ(set("s", "second, longer value", 20), kDone);
  EXPECT_EQ(value_of("s"), "second, longer value");
  EXPECT_EQ(store_.entry("s")->expires, 20u);
}

TEST_F(KeyOps, NullKeyOfLengthZeroIsTheEmptyKey) {
  EXPECT_EQ(add_key(pool(), nullptr, 0, "v", 1, 0), kDone);
  EXPECT_EQ(get_key(pool(), nullptr, 0), kDone);
  EXPECT_EQ(store_.entry("")->key_len, 0u);
  EXPECT_EQ(store_.entry("")->key_crc, 0u);
  // A null key is never deleted, whatever the lock: no lock is taken.
  pool()->lock = kLockWriter;
  EXPECT_EQ(delete_key(pool(), nullptr, 0), kNothingToDo);
  EXPECT_EQ(pool()->lock, kLockWriter);
  pool()->lock = 0;
  EXPECT_TRUE(log_.contains("[WARN]: On deletion attempt get NULL key. Skipping...\n"));
  EXPECT_EQ(get_key(pool(), nullptr, 0), kDone);
  EXPECT_EQ(delete_key(pool(), "", 0), kDone);
  EXPECT_EQ(get_key(pool(), nullptr, 0), kNothingToDo);
}

TEST_F(KeyOps, KeysMatchOnlyWithTheirExactLength) {
  EXPECT_EQ(add("ab", "1"), kDone);
  EXPECT_EQ(get("abc"), kNothingToDo);
  EXPECT_EQ(get("a"), kNothingToDo);
  EXPECT_EQ(add("abc", "2"), kDone);
  EXPECT_EQ(value_of("ab"), "1");
  EXPECT_EQ(value_of("abc"), "2");
  EXPECT_EQ(del("ab"), kDone);
  EXPECT_EQ(get("abc"), kDone);
}

TEST_F(KeyOps, LogLinesShowExactlyTheKeyBytes) {
  const char buffer[] = "keyTRAILING";  // the key is the first three bytes
  EXPECT_EQ(add_key(pool(), buffer, 3, "v", 1, 0), kDone);
  EXPECT_EQ(add_key(pool(), buffer, 3, "v", 1, 0), kNothingToDo);
  EXPECT_EQ(delete_key(pool(), buffer + 3, 4), kNothingToDo);
  const std::string text = log_.text();
  EXPECT_NE(text.find("Could not add key key because key exists\n"), std::string::npos) << text;
  EXPECT_NE(text.find("No such node TRAI. Skip deletion\n"), std::string::npos) << text;
}

struct RefusalCase {
  const char* name;
  std::string key;
  std::string value;
  const char* reason;  // message after "<op>: "
};

TEST_F(KeyOps, AddAndSetRefuseWhatTheDataFileCannotHold) {
  const RefusalCase cases[] = {
      {"latin-1 key", "caf\xE9", "v", "key is not valid UTF-8 text, refused"},
      {"overlong key", "\xC0\xAF", "v", "key is not valid UTF-8 text, refused"},
      {"surrogate value", "k", "\xED\xA0\x80", "value is not valid UTF-8 text, refused"},
      {"truncated value", "k", "ok\xE2\x82", "value is not valid UTF-8 text, refused"},
      {"key over 65535 bytes", std::string(65536, 'x'), "v", "key is longer than 65535 bytes, refused"},
  };
  // Refusal comes before any lock is taken: a held lock does not turn it into a time-out.
  pool()->lock = kLockWriter;
  for (const auto& c : cases) {
    log_.clear();
    EXPECT_EQ(add(c.key, c.value), kFailed) << c.name;
    EXPECT_TRUE(log_.contains(std::string("[ERROR]: add_key: ") + c.reason + "\n")) << c.name << log_.text();
    log_.clear();
    EXPECT_EQ(set(c.key, c.value), kFailed) << c.name;
    EXPECT_TRUE(log_.contains(std::string("[ERROR]: set_key: ") + c.reason + "\n")) << c.name << log_.text();
  }
  pool()->lock = 0;
  uint64_t entries = 1;
  EXPECT_EQ(testing::entry_store_check(pool(), &entries), "");
  EXPECT_EQ(entries, 0u);
  // The longest key an entry holds, and text in several scripts, are stored.
  EXPECT_EQ(add(std::string(65535, 'y'), "v"), kDone);
  EXPECT_EQ(add("\xE2\x82\xAC \xF0\x9F\x98\x80", "\xC3\xA9t\xC3\xA9"), kDone);
}

struct LockCase {
  const char* op;
  uint64_t lock_word;  // all ones: a writer holds it; 1: a reader does
  int64_t expected;
  const char* message;
};

TEST_F(KeyOps, LockTimeOutsAreReportedInTheOperationsName) {
  ASSERT_EQ(add("present", "v"), kDone);
  const LockCase cases[] = {
      {"get", kLockWriter, kLockTimeout, "[ERROR]: get_key: could not get read lock\n"},
      {"add", kLockWriter, kLockTimeout, "[ERROR]: add_key: could not get read lock\n"},
      {"set", kLockWriter, kLockTimeout, "[ERROR]: set_key: could not get read lock\n"},
      {"del", kLockWriter, kLockTimeout, "[ERROR]: delete_key: could not get read lock\n"},
      {"stat", kLockWriter, kLockTimeout, "[ERROR]: get_stat: could not get read lock\n"},
      {"add", 1, kLockTimeout, "[ERROR]: add_key: could not get write lock\n"},
      {"set", 1, kLockTimeout, "[ERROR]: set_key: could not get write lock\n"},
      {"del", 1, kLockTimeout, "[ERROR]: delete_key: could not get write lock\n"},
      {"get", 1, kDone, nullptr},  // readers share
  };
  for (const auto& c : cases) {
    log_.clear();
    pool()->lock = c.lock_word;
    const std::string op = c.op;
    StatRecord stat{-7, -7, -7, -7, -7};
    int64_t rc;
    if (op == "get") rc = get("present");
    else if (op == "add") rc = add("absent", "v");
    else if (op == "set") rc = set("present", "w");
    else if (op == "del") rc = del("present");
    else rc = get_stat(pool(), &stat);
    EXPECT_EQ(rc, c.expected) << c.op << " with lock " << c.lock_word;
    EXPECT_EQ(pool()->lock, c.lock_word) << c.op;
    if (c.message != nullptr) {
      EXPECT_TRUE(log_.contains(c.message)) << c.op << log_.text();
    }
    if (op == "stat") {
      EXPECT_EQ(stat.bytes_total, -7);  // untouched
    }
  }
  pool()->lock = 0;
  EXPECT_EQ(value_of("present"), "v");
  EXPECT_EQ(get("absent"), kNothingToDo);
}

TEST_F(KeyOps, InsertOfAPresentKeyChangesNothing) {
  ASSERT_EQ(add("dup", "v"), kDone);
  testing::SlabCensus before, after;
  ASSERT_EQ(testing::slab_check(pool(), &before), "");
  RbtreeNode* out = nullptr;
  EXPECT_EQ(insert_key_locked(pool(), "dup", 3, "w", 1, 0, 0, &out), kNothingToDo);
  EXPECT_EQ(out, nullptr);
  ASSERT_EQ(testing::slab_check(pool(), &after), "");
  EXPECT_EQ(after.used, before.used);
  EXPECT_EQ(value_of("dup"), "v");
}

TEST_F(KeyOps, StringRequestsOnAnAddressEntryTakeItsPrefixAlong) {
  ASSERT_EQ(add_ipaddr(pool(), "10.0.0.0/8", 10, "a", 1, 0), kDone);
  ASSERT_EQ(get_ipaddr(pool(), "10.1.1.1", 8), kDone);
  EXPECT_EQ(del("10.0.0.0/8"), kDone);
  EXPECT_EQ(get_ipaddr(pool(), "10.1.1.1", 8), kNothingToDo);
  EXPECT_EQ(testing::entry_store_check(pool()), "");

  ASSERT_EQ(add_ipaddr(pool(), "2001:db8::/32", 13, "a", 1, 0), kDone);
  EXPECT_EQ(set("2001:db8::/32", "now a string"), kDone);
  EXPECT_EQ(store_.entry("2001:db8::/32")->is_address, 0u);
  EXPECT_EQ(get_ipaddr(pool(), "2001:db8::1", 11), kNothingToDo);
  EXPECT_EQ(testing::entry_store_check(pool()), "");
}

TEST_F(KeyOps, AnAddressEntryWhoseTextDoesNotParseIsRemovedLikeAString) {
  RbtreeNode* node = nullptr;
  ASSERT_EQ(insert_key_locked(pool(), "not an address", 14, "v", 1, 0, 1, &node), kDone);
  EXPECT_EQ(del("not an address"), kDone);
  EXPECT_TRUE(log_.contains("[ERROR]: Could not convert key to CIDR for 'not an address'\n"));
  EXPECT_EQ(get("not an address"), kNothingToDo);
}

TEST_F(KeyOps, NoMemoryForAnEntry) {
  ASSERT_EQ(add("keep", "v"), kDone);  // 62 bytes: a 64-byte chunk
  testing::exhaust_pool(pool(), 64);
  const std::string big(300, 'b');  // a 512-byte class, which has no page
  EXPECT_EQ(add("new", big), kFailed);
  EXPECT_TRUE(log_.contains("[WARN]: Could not allocate memory for new in rbtree\n"));
  EXPECT_EQ(get("new"), kNothingToDo);
  EXPECT_EQ(set("absent", big), kFailed);
  EXPECT_EQ(get("absent"), kNothingToDo);
  // Replacing: the old entry is gone even though the new one could not be stored.
  EXPECT_EQ(set("keep", big), kFailed);
  EXPECT_EQ(get("keep"), kNothingToDo);
  // Its chunk is free again, so an entry of the old size fits.
  EXPECT_EQ(add("keep", "w"), kDone);
}

TEST_F(KeyOps, StatOfAFreshStoreAndOfWholePageAllocations) {
  if (page_size != 4096) GTEST_SKIP() << "figures below assume 4096-byte pages";
  StatRecord s{};
  ASSERT_EQ(get_stat(pool(), &s), kDone);
  // init_memory took a 16-byte, a 32-byte, a 64-byte and a 128-byte chunk, each from a page of its own.
  const int64_t class_bytes = 16 * 254 + 32 * 127 + 64 * 64 + 128 * 32;
  EXPECT_EQ(s.bytes_total, 10485760);
  EXPECT_EQ(s.pages_total, 2544);
  EXPECT_EQ(s.pages_free, 2540);
  EXPECT_EQ(s.bytes_alloc, class_bytes);
  EXPECT_EQ(s.bytes_used, 16 + 32 + 64 + 128);

  // An entry of 57 + 1 + 3000 bytes takes one whole page, one of 57 + 1 + 5000 two.
  ASSERT_EQ(add("p", std::string(3000, 'x')), kDone);
  ASSERT_EQ(add("q", std::string(5000, 'x')), kDone);
  ASSERT_EQ(get_stat(pool(), &s), kDone);
  EXPECT_EQ(s.pages_free, 2537);
  EXPECT_EQ(s.bytes_alloc, class_bytes + 3 * 4096);
  EXPECT_EQ(s.bytes_used, 16 + 32 + 64 + 128 + 3 * 4096);

  // A class entry: one more 128-byte chunk in use, nothing more allocated.
  ASSERT_EQ(add("r", std::string(40, 'x')), kDone);
  ASSERT_EQ(get_stat(pool(), &s), kDone);
  EXPECT_EQ(s.bytes_alloc, class_bytes + 3 * 4096);
  EXPECT_EQ(s.bytes_used, 16 + 32 + 64 + 2 * 128 + 3 * 4096);

  ASSERT_EQ(del("q"), kDone);
  ASSERT_EQ(get_stat(pool(), &s), kDone);
  EXPECT_EQ(s.pages_free, 2539);
  EXPECT_EQ(s.bytes_alloc, class_bytes + 4096);
}

}  // namespace
}  // namespace quillmap
