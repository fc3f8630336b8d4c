#include "entry/ipaddr_ops.h"

#include <gtest/gtest.h>

#include <string>

#include "entry/key_ops.h"
#include "entry/testing/entry_store.h"
#include "store/rwlock.h"
#include "store/testing/log_capture.h"
#include "util/host_params.h"

namespace quillmap {
namespace {

using testing::EntryStore;
using testing::LogCapture;

class IpaddrOps : public ::testing::Test {
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
  int64_t add(const std::string& k, const std::string& v = "v", uint64_t expires = 0) {
    return add_ipaddr(pool(), k.data(), k.size(), v.data(), v.size(), expires);
  }
  int64_t set(const std::string& k, const std::string& v = "v", uint64_t expires = 0) {
    return set_ipaddr(pool(), k.data(), k.size(), v.data(), v.size(), expires);
  }
  int64_t get(const std::string& k) { return get_ipaddr(pool(), k.data(), k.size()); }
  int64_t del(const std::string& k) { return delete_ipaddr(pool(), k.data(), k.size()); }

  // Offset that the trie of the address's family gives for it (kLpcNotFound when none).
  uint64_t trie_value(const std::string& addr) {
    Cidr c;
    EXPECT_EQ(parse_address_key(addr.data(), addr.size(), &c), kDone) << addr;
    if (c.family == kFamilyInet6) {
      const unsigned __int128 a = s6addr_to_uint128(c.addr6);
      return lpctrie128_find(pool(), store_.trie6(), static_cast<uint64_t>(a), static_cast<uint64_t>(a >> 64));
    }
    return lpctrie32_find(pool(), store_.trie4(), c.addr4);
  }
  uint64_t offset_of(const std::string& key) {
    RbtreeNode* n = store_.entry(key);
    return n == nullptr ? 0 : offset_of_record(pool(), n);
  }
  uint64_t prefix_count() {
    uint64_t prefixes = 0;
    EXPECT_EQ(testing::entry_store_check(pool(), nullptr, &prefixes), "");
    return prefixes;
  }

  EntryStore store_;
  LogCapture log_;
  int64_t saved_cpu_count_ = 1;
};

struct Probe {
  const char* key;
  int64_t expected;
};


TEST_F(IpaddrOps, PrefixCoversItsAddresses) {
  ASSERT_EQ(add("10.0.0.0/8"), kDone);
  const Probe probes[] = {
      {"10.20.30.40", kDone},  {"11.0.0.1", kNothingToDo}, {"10.0.0.0/8", kDone},
      {"10.255.255.255", kDone}, {"9.255.255.255", kNothingToDo}, {"10.1.2.3/16", kDone},
      {"::a00:0", kNothingToDo},  // IPv6 never matches an IPv4 prefix
      {"not an address", kFailed}, {"", kFailed}, {"10.0.0.0/33", kFailed},
  };
  for (const auto& p : probes) EXPECT_EQ(get(p.key), p.expected) << p.key;
}

TEST_F(IpaddrOps, KeyTextIsKeptAndHostBitsAreClearedInThePrefix) {
  ASSERT_EQ(add("10.0.0.1/8"), kDone);
  ASSERT_NE(store_.entry("10.0.0.1/8"), nullptr);
  EXPECT_EQ(store_.entry("10.0.0.0/8"), nullptr);
  EXPECT_EQ(store_.entry("10.0.0.1/8")->is_address, 1u);
  testing::TrieCensus<Trie32Traits> census;
  ASSERT_EQ(testing::trie_verify<Trie32Traits>(pool(), store_.trie4(), &census), "");
  ASSERT_EQ(census.prefixes.size(), 1u);
  EXPECT_EQ(census.prefixes[0].key, 0x0A000000u);
  EXPECT_EQ(census.prefixes[0].slen, 24u);
  EXPECT_EQ(census.prefixes[0].value, offset_of("10.0.0.1/8"));
}

TEST_F(IpaddrOps, AHostKeyIsAThirtyTwoBitPrefix) {
  ASSERT_EQ(add("192.168.1.1"), kDone);
  EXPECT_EQ(get("192.168.1.1"), kDone);
  EXPECT_EQ(get("192.168.1.2"), kNothingToDo);
  EXPECT_EQ(get("192.168.1.0/24"), kNothingToDo);  // looked up as 192.168.1.0
}

TEST_F(IpaddrOps, MaskOfAGetOnlyClearsHostBits) {
  ASSERT_EQ(add("10.1.2.3"), kDone);
  EXPECT_EQ(get("10.1.2.3/32"), kDone);
  EXPECT_EQ(get("10.1.2.3/16"), kNothingToDo);  // looked up as 10.1.0.0
  ASSERT_EQ(add("10.1.0.0/16"), kDone);
  EXPECT_EQ(get("10.1.2.3/16"), kDone);
}

TEST_F(IpaddrOps, DeleteRemovesBothHomes) {
  ASSERT_EQ(add("10.0.0.0/8"), kDone);
  EXPECT_EQ(del("10.0.0.0/8"), kDone);
  EXPECT_EQ(get("10.1.1.1"), kNothingToDo);
  EXPECT_EQ(store_.entry("10.0.0.0/8"), nullptr);
  EXPECT_EQ(prefix_count(), 0u);
  EXPECT_EQ(del("10.0.0.0/8"), kNothingToDo);
  EXPECT_TRUE(log_.contains("[WARN]: Could not delete non-existent key 10.0.0.0/8\n"));
}

TEST_F(IpaddrOps, TwoKeysOfOnePrefix) {
  ASSERT_EQ(add("10.0.0.0/8", "first"), kDone);
  ASSERT_EQ(add("10.0.0.1/8", "second"), kDone);
  EXPECT_EQ(prefix_count(), 1u);
  EXPECT_EQ(trie_value("10.9.9.9"), offset_of("10.0.0.1/8"));
  EXPECT_EQ(del("10.0.0.0/8"), kDone);  // takes the shared prefix and the first entry
  EXPECT_EQ(get("10.9.9.9"), kNothingToDo);
  EXPECT_NE(store_.entry("10.0.0.1/8"), nullptr);
  EXPECT_FALSE(log_.contains("is missing"));
  EXPECT_EQ(del("10.0.0.1/8"), kDone);
  EXPECT_TRUE(log_.contains("[WARN]: CIDR value for '10.0.0.1/8' is missing: nothing to clear\n"));
  EXPECT_EQ(store_.entry("10.0.0.1/8"), nullptr);
}

TEST_F(IpaddrOps, AddRefusals) {
  EXPECT_EQ(add("10.0.0.0/8/1"), kFailed);
  EXPECT_EQ(add("256.1.1.1"), kFailed);
  EXPECT_EQ(log_.text(), "");  // a key that is not an address fails silently
  ASSERT_EQ(add_key(pool(), "10.0.0.0/8", 10, "s", 1, 0), kDone);
  EXPECT_EQ(add("10.0.0.0/8"), kNothingToDo);
  EXPECT_TRUE(log_.contains("[WARN]: Could not add key 10.0.0.0/8 because key exists\n"));
  EXPECT_EQ(get("10.1.1.1"), kNothingToDo);
  ASSERT_EQ(add("1.2.3.4"), kDone);
  EXPECT_EQ(add("1.2.3.4"), kNothingToDo);
  uint64_t entries = 0;
  EXPECT_EQ(testing::entry_store_check(pool(), &entries), "");
  EXPECT_EQ(entries, 2u);
}

TEST_F(IpaddrOps, SetAddsOrRepointsThePrefix) {
  EXPECT_EQ(set("10.0.0.0/8", "one"), kNothingToDo);
  EXPECT_EQ(get("10.3.3.3"), kDone);
  EXPECT_EQ(trie_value("10.3.3.3"), offset_of("10.0.0.0/8"));
  EXPECT_EQ(set("10.0.0.0/8", "a much longer second value", 99), kDone);
  const RbtreeNode* n = store_.entry("10.0.0.0/8");
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->value_len, 26u);
  EXPECT_EQ(n->expires, 99u);
  EXPECT_EQ(n->is_address, 1u);
  EXPECT_EQ(trie_value("10.3.3.3"), offset_of("10.0.0.0/8"));
  EXPECT_EQ(prefix_count(), 1u);
  EXPECT_EQ(set("bogus"), kFailed);
  // A string entry of the same text becomes an address entry.
  ASSERT_EQ(add_key(pool(), "fe80::/10", 9, "s", 1, 0), kDone);
  EXPECT_EQ(set("fe80::/10"), kDone);
  EXPECT_EQ(store_.entry("fe80::/10")->is_address, 1u);
  EXPECT_EQ(get("fe80::1"), kDone);
}

TEST_F(IpaddrOps, FamiliesLiveInSeparateTries) {
  ASSERT_EQ(add("::/0"), kDone);
  EXPECT_EQ(get("1.2.3.4"), kNothingToDo);
  EXPECT_EQ(get("::ffff:1.2.3.4"), kDone);
  ASSERT_EQ(add("0.0.0.0/0"), kDone);
  ASSERT_EQ(del("::/0"), kDone);
  EXPECT_EQ(get("::1"), kNothingToDo);
  EXPECT_EQ(get("1.2.3.4"), kDone);
}

TEST_F(IpaddrOps, LongestPrefixOfIpv6) {
  ASSERT_EQ(add("2001:db8::/32", "short"), kDone);
  ASSERT_EQ(add("2001:db8::/48", "long"), kDone);
  EXPECT_EQ(trie_value("2001:db8:0:1::1"), offset_of("2001:db8::/48"));
  EXPECT_EQ(trie_value("2001:db8:1::1"), offset_of("2001:db8::/32"));
  EXPECT_EQ(get("2001:db9::"), kNothingToDo);
}

TEST_F(IpaddrOps, AllOnesAddressIsAnAddress) {
  EXPECT_EQ(add("255.255.255.255"), kDone);
  EXPECT_EQ(get("255.255.255.255"), kDone);
  EXPECT_EQ(get("255.255.255.254"), kNothingToDo);
  EXPECT_EQ(add("255.255.255.255/24"), kDone);
  EXPECT_EQ(get("255.255.255.1"), kDone);
}

TEST_F(IpaddrOps, AddAndSetRefuseTextsTheDataFileCannotHold) {
  pool()->lock = kLockWriter;  // refused before any lock is taken
  EXPECT_EQ(add("10.0.0.0/8", "\xFF"), kFailed);
  EXPECT_TRUE(log_.contains("[ERROR]: add_ipaddr: value is not valid UTF-8 text, refused\n"));
  EXPECT_EQ(set("10.0.0.0/8\xC3", "v"), kFailed);
  EXPECT_TRUE(log_.contains("[ERROR]: set_ipaddr: key is not valid UTF-8 text, refused\n"));
  EXPECT_EQ(add(std::string(70000, '1'), "v"), kFailed);
  EXPECT_TRUE(log_.contains("[ERROR]: add_ipaddr: key is longer than 65535 bytes, refused\n"));
  pool()->lock = 0;
  EXPECT_EQ(prefix_count(), 0u);
}

TEST_F(IpaddrOps, RemovalByNode) {
  EXPECT_EQ(delete_ipaddr_by_node_locked(pool(), nullptr), kNothingToDo);
  EXPECT_TRUE(log_.contains("[WARN]: Could not delete node by NULL pointer\n"));
  RbtreeNode* odd = nullptr;
  ASSERT_EQ(insert_key_locked(pool(), "garbage", 7, "v", 1, 0, 1, &odd), kDone);
  EXPECT_EQ(delete_ipaddr_by_node_locked(pool(), odd), kFailed);
  EXPECT_TRUE(log_.contains("[ERROR]: Could not convert key to CIDR for 'garbage'\n"));
  EXPECT_EQ(store_.entry("garbage"), odd);
  ASSERT_EQ(add("fe80::1/64"), kDone);
  EXPECT_EQ(delete_ipaddr_by_node_locked(pool(), store_.entry("fe80::1/64")), kDone);
  EXPECT_EQ(get("fe80::2"), kNothingToDo);
  EXPECT_EQ(store_.entry("fe80::1/64"), nullptr);
}

struct LockCase {
  const char* op;
  uint64_t lock_word;  // all ones: a writer holds it; 1: a reader does
  const char* message;
};

TEST_F(IpaddrOps, LockTimeOutsAreReportedInTheOperationsName) {
  ASSERT_EQ(add("10.0.0.0/8"), kDone);
  const LockCase cases[] = {
      {"get", kLockWriter, "[ERROR]: get_ipaddr: could not get read lock\n"},
      {"add", kLockWriter, "[ERROR]: add_ipaddr: could not get read lock\n"},
      {"set", kLockWriter, "[ERROR]: set_ipaddr: could not get read lock\n"},
      {"del", kLockWriter, "[ERROR]: delete_ipaddr: could not get read lock\n"},
      {"add", 1, "[ERROR]: _add_ipaddr: could not get write lock\n"},
      {"set absent", 1, "[ERROR]: _add_ipaddr: could not get write lock\n"},
      {"set", 1, "[ERROR]: set_ipaddr: could not get write lock\n"},
      {"del", 1, "[ERROR]: delete_ipaddr: could not get write lock\n"},
  };
  for (const auto& c : cases) {
    log_.clear();
    pool()->lock = c.lock_word;
    const std::string op = c.op;
    int64_t rc;
    if (op == "get") rc = get("10.1.1.1");
    else if (op == "add") rc = add("11.0.0.0/8");
    else if (op == "set absent") rc = set("12.0.0.0/8");
    else if (op == "set") rc = set("10.0.0.0/8", "w");
    else rc = del("10.0.0.0/8");
    EXPECT_EQ(rc, kLockTimeout) << c.op << " with lock " << c.lock_word;
    EXPECT_EQ(pool()->lock, c.lock_word) << c.op;
    EXPECT_TRUE(log_.contains(c.message)) << c.op << log_.text();
  }
  pool()->lock = 0;
  EXPECT_EQ(get("10.1.1.1"), kDone);
  EXPECT_EQ(get("11.1.1.1"), kNothingToDo);
  EXPECT_EQ(get("12.1.1.1"), kNothingToDo);
  // A non-address GET fails before the lock.
  pool()->lock = kLockWriter;
  EXPECT_EQ(get("nonsense"), kFailed);
  pool()->lock = 0;
}

TEST_F(IpaddrOps, NoMemoryInTheTrieUndoesTheEntry) {
  // Entries of 57 + 10 + 1 bytes come from the 128-byte class page that init_memory opened for the
  // IPv6 trie root; trie leaves and aliases need 32-byte chunks, of which none is left.
  testing::exhaust_pool(pool(), 32);
  EXPECT_EQ(add("10.0.0.0/8"), kFailed);
  EXPECT_TRUE(log_.contains("[WARN]: Could not allocate memory for 10.0.0.0/8 in lpctrie\n"));
  EXPECT_EQ(store_.entry("10.0.0.0/8"), nullptr);
  EXPECT_EQ(get("10.1.1.1"), kNothingToDo);
  EXPECT_EQ(set("10.0.0.0/8"), kFailed);
  EXPECT_EQ(store_.entry("10.0.0.0/8"), nullptr);
}

TEST_F(IpaddrOps, FailedReplacementTakesThePrefixAlong) {
  ASSERT_EQ(add("10.0.0.0/8", "v"), kDone);  // a 68-byte entry in a 128-byte chunk
  testing::exhaust_pool(pool(), 512);
  const std::string big(300, 'b');  // 367 bytes: the 512-byte class, which has no page
  EXPECT_EQ(set("10.0.0.0/8", big), kFailed);
  EXPECT_TRUE(log_.contains("[WARN]: Could not allocate memory for 10.0.0.0/8 in rbtree\n"));
  EXPECT_EQ(store_.entry("10.0.0.0/8"), nullptr);
  EXPECT_EQ(get("10.1.1.1"), kNothingToDo);  // no trie value names the released entry
  EXPECT_EQ(prefix_count(), 0u);
}

TEST_F(IpaddrOps, ReplacementKeepsOtherPrefixesWhenItsOwnCannotBeRepointed) {
  // The old entry is a string entry of the same text: no trie value names it, so a failed
  // replacement leaves the prefix stored for another key alone.
  ASSERT_EQ(add("10.0.0.1/8"), kDone);
  ASSERT_EQ(add_key(pool(), "10.0.0.0/8", 10, "s", 1, 0), kDone);
  testing::exhaust_pool(pool(), 512);
  EXPECT_EQ(set("10.0.0.0/8", std::string(300, 'b')), kFailed);
  EXPECT_EQ(trie_value("10.1.1.1"), offset_of("10.0.0.1/8"));
}

}  // namespace
}  // namespace quillmap
