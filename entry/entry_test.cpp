// Seeded model test: random GET, ADD, SET and DEL of both kinds (also on the other kind's texts, on
// texts the data file cannot hold, on keys of the longest length and one more, now and then against a
// lock another process holds), sweeps, purges and fresh layouts, against a map of entries and one of
// stored prefixes. After every step: the message, the change epoch and saved flag, the whole store,
// and the index beside it (kept, absent, or registered but not valid).
#include <gtest/gtest.h>

#include <array>
#include <ctime>
#include <random>
#include <tuple>

#include "entry/entry_lookup.h"
#include "entry/key_ops.h"
#include "entry/testing/entry_store.h"
#include "index/index_upkeep.h"
#include "index/prefix_table.h"
#include "index/testing/hash_check.h"
#include "index/testing/index_buffer.h"
#include "store/change_epoch.h"
#include "store/rwlock.h"
#include "store/store_init.h"
#include "store/sweeps.h"
#include "store/testing/log_capture.h"
#include "util/ptr_list.h"
#include "util/testing/seed.h"

namespace quillmap {
namespace {

using testing::PrefixId;
using testing::address_prefix;

LpcNode32* trie4_of(SlabPool* pool) { return _lfof_<LpcNode32>(pool, pool->trie4); }

// Takes every free page, then every free chunk of the size class that serves `bytes`.
void exhaust_pool(SlabPool* pool, uint64_t bytes) {
  for (const uint64_t size : {static_cast<uint64_t>(page_size), bytes})
    while (slab_alloc_locked(pool, size) != nullptr) continue;
}

class EntryModel : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override { publish_changes(&pool()->lock, &state_), enter(kIndexKept); }
  void TearDown() override { publish_changes(nullptr, nullptr), stop_index(); }
  SlabPool* pool() { return store_.pool(); }

  // Removal of an entry that a text names: an address entry takes its prefix along, whoever it names.
  void remove(const std::string& text) {
    PrefixId id;
    if (entries_.at(text).is_address && address_prefix(text, &id)) prefixes_.erase(id);
    entries_.erase(text);
  }

  // GET of an address text: kDone when a stored prefix of its family covers the text's address.
  int64_t expected_address_get(const std::string& text) const {
    PrefixId id;
    if (!address_prefix(text, &id)) return kFailed;
    const auto& [family, addr, ignored] = id;
    for (const auto& [stored, owner] : prefixes_) {
      const auto& [fam, key, slen] = stored;
      if (fam == family && (slen >= (family == kFamilyInet6 ? 128u : 32u) || ((addr ^ key) >> slen) == 0)) return kDone;
    }
    return kNothingToDo;
  }

  // Not valid: registered and told of every change but ignoring it, as after an update found no room.
  enum Phase { kIndexKept, kNoIndex, kIndexNotValid };
  void enter(Phase phase) {
    phase_ = phase;
    if (phase == kNoIndex) return stop_index();
    ASSERT_EQ(start_index(pool(), index_.header()), kDone);
    if (phase == kIndexNotValid) suspend_index(index_.header());
  }

  void compare(const std::string& where, const std::vector<std::string>& texts) {
    ASSERT_EQ(testing::entry_store_check(pool()), "") << where;
    for (const std::string& text : texts) {
      ASSERT_EQ(find_entry(pool(), text.data(), text.size()), store_.entry(text)) << where << ": lookup of " << text;
    }
    ASSERT_EQ(store_.image(), entries_) << where;
    std::map<PrefixId, uint64_t> want;
    for (const auto& [id, owner] : prefixes_) want[id] = offset_of_record(pool(), store_.entry(owner));
    std::string err;
    ASSERT_EQ(testing::trie_prefixes(pool(), &err), want) << where;
    if (phase_ != kIndexKept) return;
    IndexHeader* h = index_.header();
    ASSERT_EQ(h->valid, kIndexHashValid | kIndexPrefix4Valid | kIndexPrefix6Valid) << where;
    ASSERT_EQ(testing::hash_check(index_pool(h), h->hash, pool()), "") << where;
    // The prefix tables answer as the tries do at both ends of every text's prefix and just outside.
    TrustedView iv(index_pool(h));
    for (const std::string& text : texts) {
      PrefixId id;
      if (!address_prefix(text, &id)) continue;
      const auto& [family, key, slen] = id;
      const bool v4 = family == kFamilyInet;
      const uint128_t span = slen >= 128 ? ~uint128_t{0} : (uint128_t{1} << slen) - 1;
      for (uint128_t a : {key, key + span, key - 1, key + span + 1}) {
        const auto low = static_cast<uint64_t>(a), high = static_cast<uint64_t>(a >> 64);
        uint8_t bytes[16];  // big-endian: an IPv4 address is the last four
        uint128_to_s6addr(low, high, bytes);
        const uint64_t trie = v4 ? lpctrie32_find(pool(), trie4_of(pool()), static_cast<uint32_t>(a))
                                 : lpctrie128_find(pool(), _lfof_<LpcNode128>(pool(), pool()->trie6), low, high);
        ASSERT_EQ(prefix_match(iv, v4 ? h->prefix4 : h->prefix6, v4 ? bytes + 12 : bytes),
                  trie == kLpcNotFound ? 0 : trie) << where << ": prefix tables at " << text;
      }
    }
  }

  testing::EntryStore store_;
  testing::IndexBuffer index_;
  testing::LogCapture log_;
  StateHeader state_{};
  testing::DictImage entries_;
  std::map<PrefixId, std::string> prefixes_;  // prefix -> text of the entry its value names
  Phase phase_ = kIndexKept;
};

TEST_P(EntryModel, RandomRequestsAgreeWithTheModel) {
  const uint32_t seed = testing::test_seed(GetParam());  // QUILLMAP_SEED replaces every instance's seed
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937 rng(seed);
  cpu_count = 1;  // a lock that is not had sleeps instead of spinning
  const uint64_t now = static_cast<uint64_t>(time(nullptr));
  const std::string bad_key = "10.0.0.0/8\xC0\xAF", bad_value = "ok\xE2\x82";  // not UTF-8 text
  // Some addresses have host bits set, several share a prefix; probes are only looked up.
  const std::vector<std::string> keys = {
      "", "a", "ab", "abc", "k1", "\xC3\xA9t\xC3\xA9", "10.0.0.0/8", "10.0.0.1/8", "10.0.0.0/16", "10.1.0.0/16",
      "10.1.2.3", "10.1.2.3/24", "10.128.0.0/9", "0.0.0.0/0", "192.168.1.1", "192.168.1.0/24", "255.255.255.255",
      "1..2.3", "::/0", "::", "::1", "2001:db8::/32", "2001:db8::/48", "2001:db8::1/32", "2001:db8:0:1::/64",
      "fe80::1/10", "::ffff:10.1.2.3", "8000::/1", "10.0.0.0/33", "not/an/address", "1:2:3:4:5:6:7:8", bad_key};
  const std::vector<std::string> probes = {"10.1.2.4", "10.200.0.1", "11.0.0.1", "192.168.1.77", "0.0.0.1", "::2",
                                           "2001:db8::1", "2001:db8:0:1::5", "2001:db8:5::1", "fe80::99", "ff00::1"};
  std::vector<std::string> texts(keys);
  texts.insert(texts.end(), probes.begin(), probes.end());
  const std::string values[] = {"", "v", std::string(100, 'x'), std::string(3000, 'y'), "\xE2\x82\xAC", bad_value};
  testing::SlabCensus fresh, census;
  ASSERT_EQ(testing::slab_check(pool(), &fresh), "");
  for (int step = 0; step < 5000; ++step) {
    const std::string key = rng() % 300 == 0 ? std::string(65535 + rng() % 2, '1') : keys[rng() % keys.size()];
    const std::string value = values[rng() % 6], probe = rng() % 2 ? key : probes[rng() % probes.size()];
    const uint64_t expires = std::array<uint64_t, 4>{1, now + 100000, 0, 0}[rng() % 4];  // past, future, never
    const bool address = rng() % 2 == 0, exists = entries_.count(key) != 0;
    const unsigned op = rng() % 100;
    PrefixId id;
    const bool parses = address_prefix(key, &id);
    const std::string buffer = key + "TRAILING";
    const char* k = key.empty() && !address && rng() % 2 == 0 ? nullptr : buffer.data();
    const std::string verb = op < 25 ? "get" : op < 50 ? "add" : op < 70 ? "set" : op < 95 ? "delete" : "";
    std::string name = verb + (address ? "_ipaddr" : "_key");  // the operation, as its messages say
    const std::string refusal = verb != "add" && verb != "set" ? ""
                                : key.size() > 65535           ? "key is longer than 65535 bytes"
                                : key == bad_key               ? "key is not valid UTF-8 text"
                                : value == bad_value           ? "value is not valid UTF-8 text"
                                                               : "";
    // Another process holds the write lock, or a read share of it.
    const uint64_t held = !verb.empty() && ((!refusal.empty() && rng() % 2) || rng() % 100 == 0)
                              ? (rng() % 2 ? kLockWriter : uint64_t{1}) : 0;
    const auto before = std::make_pair(entries_, prefixes_);
    std::string message = refusal.empty() ? "" : "[ERROR]: " + name + ": " + refusal + ", refused";
    int64_t rc, expected = kDone;
    log_.clear();
    note_store_saved();
    const uint64_t epoch = state_.change_epoch;
    pool()->lock = held;
    if (verb == "get") {
      rc = address ? get_ipaddr(pool(), probe.data(), probe.size()) : get_key(pool(), k, key.size());
      expected = address ? expected_address_get(probe) : exists ? kDone : kNothingToDo;
    } else if (verb == "add") {
      rc = (address ? add_ipaddr : add_key)(pool(), k, key.size(), value.data(), value.size(), expires);
      expected = !refusal.empty() ? kFailed : exists ? kNothingToDo : address && !parses ? kFailed : kDone;
      if (expected == kNothingToDo) message = "[WARN]: Could not add key " + key + " because key exists";
      if (expected == kDone) entries_[key] = {value, expires, address};
      if (expected == kDone && address) prefixes_[id] = key;
    } else if (verb == "set") {
      rc = (address ? set_ipaddr : set_key)(pool(), k, key.size(), value.data(), value.size(), expires);
      expected = !refusal.empty() || (address && !parses) ? kFailed : exists ? kDone : kNothingToDo;
      // An address entry is replaced without touching its prefix, which is then pointed at the new one.
      if (expected != kFailed && !address && exists) remove(key);
      if (expected != kFailed) entries_[key] = {value, expires, address};
      if (expected != kFailed && address) prefixes_[id] = key;
    } else if (verb == "delete") {
      rc = (address ? delete_ipaddr : delete_key)(pool(), k, key.size());
      expected = k == nullptr || !exists ? kNothingToDo : address && !parses ? kFailed : kDone;
      if (k == nullptr) {
        message = "[WARN]: On deletion attempt get NULL key. Skipping...";
      } else if (!exists) {
        message = address ? "[WARN]: Could not delete non-existent key " + key : "[INFO]: No such node " + key + ". Skip deletion";
      } else if (expected == kDone && address) {
        // The prefix of the text goes, whichever entry it named, and so does the entry.
        if (prefixes_.erase(id) == 0) message = "[WARN]: CIDR value for '" + key + "' is missing: nothing to clear";
        entries_.erase(key);
      } else if (expected == kDone) {
        remove(key);
      }
    } else if (op < 99) {  // the periodic expiry sweep
      ScopedPtrList expired;
      ASSERT_EQ(rbtree_collect(pool(), expired.get()), kDone);
      rc = rbtree_clean(pool(), expired.get(), delete_ipaddr_by_node_locked);
      for (const auto& [text, e] : before.first) {
        if (e.expires != 0 && e.expires < now) remove(text);
      }
    } else {
      // A purge, a first worker's layout over a readers' lock word left set, or over an unfinished store.
      const unsigned how = rng() % 3;
      if (how == 2) pool()->trie6 = 0;
      pool()->lock = how == 0 ? 0 : 3;
      rc = how == 0 ? rbtree_purge(pool(), delete_ipaddr_by_node_locked) : init_memory(pool(), how - 1, store_.size());
      ASSERT_EQ(pool()->lock, 0u);
      if (how != 0) enter(phase_);  // the new worker's index is built afresh
      if (how == 2) message = "[WARN]: init_memory: the store was never completed, laying it out afresh";
      entries_.clear();
      prefixes_.clear();
    }
    ASSERT_TRUE(verb.empty() || pool()->lock == held) << name << ": the lock word changed";
    pool()->lock = 0;
    const std::string where = "seed " + std::to_string(seed) + " step " + std::to_string(step) + ": " + name +
                              " '" + key.substr(0, 40) + "'" + (held ? " (lock held)" : "");
    const bool changed = verb != "get" && (expected == kDone || (verb == "set" && expected == kNothingToDo));
    // A writer's word turns away every request that reached the lock; a read share only changes.
    const bool locked_out =
        held == kLockWriter ? refusal.empty() && (verb != "delete" || k != nullptr) &&
                                  (verb != "get" || !address || expected_address_get(probe) != kFailed)
                            : held != 0 && changed;
    if (locked_out) {
      std::tie(entries_, prefixes_) = before;
      expected = kLockTimeout;
      if (held == 1 && address && (verb == "add" || !exists)) name = "_add_ipaddr";
      message = "[ERROR]: " + name + (held == 1 ? ": could not get write lock" : ": could not get read lock");
    }
    ASSERT_EQ(rc, expected) << where;
    const bool shown = locked_out || !refusal.empty() || (key.size() < 1000 && key != bad_key);  // else cut or escaped
    ASSERT_TRUE(message.empty() || !shown || log_.contains(message + "\n")) << where << "\n" << log_.text();
    // A change is one write hold, which clears the saved flag; nothing else takes one.
    if (!verb.empty()) {
      ASSERT_EQ(state_.change_epoch, changed && !locked_out ? epoch + 2 : epoch) << where;
      ASSERT_EQ(store_saved(), !changed || locked_out) << where;
    }
    ASSERT_EQ(state_.change_epoch % 2, 0u) << where;
    ASSERT_NO_FATAL_FAILURE(compare(where, texts));
    if (step % 700 == 699) {
      pool()->lock = kLockWriter;  // a replacement worker keeps the store its predecessor died in
      ASSERT_EQ(init_memory(pool(), 1, store_.size()), kDone);
      ASSERT_EQ(pool()->lock, 0u);
      enter(static_cast<Phase>((phase_ + 1) % 3));
      compare(where + " (index phase " + std::to_string(phase_) + ")", texts);
    }
    if (op >= 99) {
      ASSERT_EQ(testing::slab_check(pool(), &census), "");
      ASSERT_EQ(std::pair(census.used, census.free_pages), std::pair(fresh.used, fresh.free_pages)) << where << ": leaked";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, EntryModel, ::testing::Values(1u, 2u, 3u, 4u, 5u, 20240611u));

class EntryOps : public ::testing::Test {
 protected:
  void SetUp() override { cpu_count = 1; }  // a lock that is not had sleeps instead of spinning
  void TearDown() override { EXPECT_EQ(testing::entry_store_check(pool()), ""); }
  SlabPool* pool() { return store_.pool(); }
  int64_t run(decltype(&add_key) op, const std::string& k, const std::string& v = "v") {
    return op(pool(), k.data(), k.size(), v.data(), v.size(), 0);
  }
  int64_t run(decltype(&get_key) op, const std::string& k) { return op(pool(), k.data(), k.size()); }
  uint64_t offset_of(const std::string& key) { return offset_of_record(pool(), store_.entry(key)); }
  uint64_t trie4_value(uint32_t addr) { return lpctrie32_find(pool(), trie4_of(pool()), addr); }

  testing::EntryStore store_;
  testing::LogCapture log_;
};

// A layout that cannot take the write lock leaves the store incomplete, for the next worker to redo.
TEST_F(EntryOps, LayoutsThatCannotBeMade) {
  EXPECT_EQ(init_memory(pool(), 0, store_min_data_size() - 1), kFailed);
  EXPECT_TRUE(log_.contains("[ERROR]: init_memory: data size")) << log_.text();
  pool()->lock = 1;
  ASSERT_EQ(_lay_out_store(pool(), store_.size()), kLockTimeout);
  EXPECT_TRUE(log_.contains("[ERROR]: init_memory: could not get write lock\n"));
  EXPECT_EQ(pool()->lock, 1u);
  EXPECT_EQ(pool()->key_tree | pool()->trie4 | pool()->trie6, 0u);
  ASSERT_EQ(init_memory(pool(), 1, store_min_data_size()), kDone);  // the smallest store is usable
  EXPECT_EQ(run(add_ipaddr, "10.0.0.0/8"), kDone);
}

// An address entry whose text does not parse (only insert_key_locked makes one) is kept by the removal
// by node, and removed like a string entry by DEL.
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
    exhaust_pool(small.pool(), 32);
    EXPECT_EQ(add_ipaddr(small.pool(), "10.0.0.0/8", 10, "v", 1, 0), kFailed);
    EXPECT_TRUE(log_.contains("[WARN]: Could not allocate memory for 10.0.0.0/8 in lpctrie\n"));
    EXPECT_EQ(set_ipaddr(small.pool(), "10.0.0.0/8", 10, "v", 1, 0), kFailed);
    EXPECT_EQ(small.entry("10.0.0.0/8"), nullptr);
    EXPECT_EQ(testing::entry_store_check(small.pool()), "");
  }
  ASSERT_EQ(run(add_key, "keep") + run(add_ipaddr, "10.0.0.0/8"), kDone);  // 64- and 128-byte chunks
  ASSERT_EQ(run(add_ipaddr, "20.0.0.1/8") + run(add_key, "20.0.0.0/8"), kDone);  // the string entry has no prefix
  exhaust_pool(pool(), 64);
  const std::string big(300, 'b');  // 367 bytes: the 512-byte class, which has no page
  EXPECT_EQ(run(add_key, "new", big) + run(set_key, "absent", big), 2 * kFailed);
  EXPECT_TRUE(log_.contains("[WARN]: Could not allocate memory for new in rbtree\n"));
  EXPECT_EQ(run(get_key, "new") + run(get_key, "absent"), 2 * kNothingToDo);
  // A new value that fits nowhere keeps the old entry and its prefix; one that fits its chunk is
  // written in place.
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
  // init_memory took a 16-, 32-, 64- and 128-byte chunk, each from its own page; entries of 57 + 1 +
  // 3000, 5000 and 40 bytes take one page, two pages and a 128-byte chunk.
  const int64_t alloc = 16 * 254 + 32 * 127 + 64 * 64 + 128 * 32, used = 16 + 32 + 64 + 128;
  using Figures = std::array<int64_t, 5>;
  const auto figures = [&] {
    StatRecord s{};
    EXPECT_EQ(get_stat(pool(), &s), kDone);
    return Figures{s.bytes_total, s.pages_total, s.pages_free, s.bytes_alloc, s.bytes_used};
  };
  EXPECT_EQ(figures(), (Figures{10485760, 2544, 2540, alloc, used}));
  ASSERT_EQ(run(add_key, "p", std::string(3000, 'x')) + run(add_key, "q", std::string(5000, 'x')), kDone);
  ASSERT_EQ(run(add_key, "r", std::string(40, 'x')), kDone);
  pool()->lock = 1;  // a read share does not hold the figures up; a writer does
  EXPECT_EQ(figures(), (Figures{10485760, 2544, 2537, alloc + 3 * 4096, used + 128 + 3 * 4096}));
  pool()->lock = kLockWriter;
  StatRecord s{};
  EXPECT_EQ(get_stat(pool(), &s), kLockTimeout);
  EXPECT_TRUE(log_.contains("[ERROR]: get_stat: could not get read lock\n"));
}

}  // namespace
}  // namespace quillmap
