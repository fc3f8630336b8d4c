// Seeded model test: random GET, ADD, SET and DEL of string and address requests (string requests
// also on address texts, address requests also on string texts), expiry sweeps and purges, checked
// against a std::map of entries and a brute-force longest-prefix match over the stored prefixes.
// After every step the whole store is checked, including that every trie value names a live entry
// of its own prefix.
#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "entry/ipaddr_ops.h"
#include "entry/key_ops.h"
#include "entry/testing/entry_store.h"
#include "store/sweeps.h"
#include "util/log.h"
#include "util/ptr_list.h"

namespace quillmap {
namespace {

struct ModelEntry {
  std::string value;
  uint64_t expires;
  bool is_address;
};

// A stored prefix: family, key (host order, 128 bits wide for both families), suffix length.
using PrefixId = std::tuple<uint64_t, unsigned __int128, unsigned>;

struct Parsed {
  bool ok = false;
  PrefixId prefix;
  unsigned __int128 addr = 0;  // the address a GET looks up
};

Parsed parse(const std::string& text) {
  Parsed p;
  Cidr c;
  if (parse_address_key(text.data(), text.size(), &c) != kDone) return p;
  p.ok = true;
  if (c.family == kFamilyInet6) {
    const unsigned __int128 key = s6addr_to_uint128(c.addr6);
    p.prefix = {c.family, key, 128u - Trie128Traits::popcount(s6addr_to_uint128(c.mask6))};
    p.addr = key;
  } else {
    p.prefix = {c.family, c.addr4, 32u - Trie32Traits::popcount(c.mask4)};
    p.addr = c.addr4;
  }
  return p;
}

class Model {
 public:
  std::map<std::string, ModelEntry> entries;
  std::map<PrefixId, std::string> prefixes;  // prefix -> text of the entry its value names

  // Text of the entry named by the longest stored prefix of `family` covering `addr`, or "" / false.
  bool longest_match(uint64_t family, unsigned __int128 addr, std::string* text) const {
    const unsigned width = family == kFamilyInet6 ? 128 : 32;
    bool found = false;
    unsigned best = 0;
    for (const auto& [id, owner] : prefixes) {
      const auto& [fam, key, slen] = id;
      if (fam != family) continue;
      const unsigned __int128 diff = addr ^ key;
      const bool covers = slen >= width || (diff >> slen) == 0;
      if (covers && (!found || slen < best)) {
        found = true;
        best = slen;
        *text = owner;
      }
    }
    return found;
  }

  // Removal of an entry that a text names: an address entry takes its prefix along, whoever it names.
  void remove(const std::string& text) {
    auto it = entries.find(text);
    if (it->second.is_address) {
      const Parsed p = parse(text);
      if (p.ok) prefixes.erase(p.prefix);
    }
    entries.erase(it);
  }
};

class EntryModel : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override {
    log_setfp(nullptr);  // thousands of operations: keep quiet
    // Key texts: strings, IPv4 and IPv6 addresses (some with host bits set, several per prefix),
    // texts that are not addresses, and the empty key.
    keys_ = {"", "a", "ab", "abc", "k1", "k2", "\xC3\xA9t\xC3\xA9", "10.0.0.0/8", "10.0.0.1/8", "10.0.0.0/16",
             "10.1.0.0/16", "10.1.2.3", "10.1.2.3/24", "10.128.0.0/9", "0.0.0.0/0", "192.168.1.1",
             "192.168.1.0/24", "255.255.255.255", "1..2.3", "::/0", "::", "::1", "2001:db8::/32",
             "2001:db8::/48", "2001:db8::1/32", "2001:db8:0:1::/64", "fe80::1/10", "::ffff:10.1.2.3",
             "8000::/1", "10.0.0.0/33", "not/an/address", "1:2:3:4:5:6:7:8"};
    probes_ = {"10.1.2.3", "10.1.2.4", "10.200.0.1", "11.0.0.1", "192.168.1.1", "192.168.1.77",
               "255.255.255.255", "0.0.0.1", "::1", "::2", "2001:db8::1", "2001:db8:0:1::5", "2001:db8:5::1",
               "fe80::99", "ff00::1", "::ffff:10.1.2.3"};
  }
  void TearDown() override { log_setfp(nullptr); }

  SlabPool* pool() { return store_.pool(); }

  // Compares the key tree with the model entry by entry, and the tries with the model's prefixes.
  void compare(const std::string& where) {
    uint64_t entries = 0, prefixes = 0;
    ASSERT_EQ(testing::entry_store_check(pool(), &entries, &prefixes), "") << where;
    ASSERT_EQ(entries, model_.entries.size()) << where;
    ASSERT_EQ(prefixes, model_.prefixes.size()) << where;
    for (const auto& [text, e] : model_.entries) {
      const RbtreeNode* n = store_.entry(text);
      ASSERT_NE(n, nullptr) << where << " missing '" << text << "'";
      ASSERT_EQ(std::string(reinterpret_cast<const char*>(node_value(n)), n->value_len), e.value) << where << text;
      ASSERT_EQ(n->expires, e.expires) << where << text;
      ASSERT_EQ(n->is_address != 0, e.is_address) << where << text;
    }
    for (const auto& [id, owner] : model_.prefixes) {
      const auto& [family, key, slen] = id;
      // The owner's offset is what the trie holds for this exact prefix (checked through the census
      // by entry_store_check: the value names a live entry of this prefix); here also that it is
      // the entry the model expects.
      const uint64_t off = offset_of_record(pool(), store_.entry(owner));
      uint64_t found;
      if (family == kFamilyInet6) {
        testing::TrieCensus<Trie128Traits> census;
        ASSERT_EQ(testing::trie_verify<Trie128Traits>(pool(), store_.trie6(), &census), "");
        found = kLpcNotFound;
        for (const auto& p : census.prefixes) {
          if (p.key == key && p.slen == slen) found = p.value;
        }
      } else {
        testing::TrieCensus<Trie32Traits> census;
        ASSERT_EQ(testing::trie_verify<Trie32Traits>(pool(), store_.trie4(), &census), "");
        found = kLpcNotFound;
        for (const auto& p : census.prefixes) {
          if (p.key == static_cast<uint32_t>(key) && p.slen == slen) found = p.value;
        }
      }
      ASSERT_EQ(found, off) << where << " prefix of '" << owner << "'";
    }
  }

  int64_t expected_address_get(const std::string& text) const {
    const Parsed p = parse(text);
    if (!p.ok) return kFailed;
    std::string owner;
    return model_.longest_match(std::get<0>(p.prefix), p.addr, &owner) ? kDone : kNothingToDo;
  }

  testing::EntryStore store_;
  Model model_;
  std::vector<std::string> keys_;
  std::vector<std::string> probes_;
};

TEST_P(EntryModel, RandomRequestsAgreeWithTheModel) {
  const uint32_t seed = GetParam();
  std::mt19937 rng(seed);
  const uint64_t now = static_cast<uint64_t>(time(nullptr));
  const std::vector<std::string> values = {"", "v", "value", std::string(100, 'x'), std::string(3000, 'y'),
                                           "\xE2\x82\xAC"};
  for (int step = 0; step < 5000; ++step) {
    const std::string key = keys_[rng() % keys_.size()];
    const std::string value = values[rng() % values.size()];
    const uint64_t expiry_choice = rng() % 4;
    const uint64_t expires = expiry_choice == 0 ? 1 : expiry_choice == 1 ? now + 100000 : 0;  // past / future / never
    const bool address = rng() % 2 == 0;
    const unsigned op = rng() % 100;
    std::string what;
    int64_t rc, expected;
    auto it = model_.entries.find(key);
    const bool exists = it != model_.entries.end();
    const Parsed parsed = parse(key);
    if (op < 25) {  // GET
      what = "GET";
      if (address) {
        const std::string probe = rng() % 2 ? key : probes_[rng() % probes_.size()];
        what += " " + probe;
        rc = get_ipaddr(pool(), probe.data(), probe.size());
        expected = expected_address_get(probe);
      } else {
        rc = get_key(pool(), key.data(), key.size());
        expected = exists ? kDone : kNothingToDo;
      }
    } else if (op < 50) {  // ADD
      what = "ADD";
      if (address) {
        rc = add_ipaddr(pool(), key.data(), key.size(), value.data(), value.size(), expires);
        expected = exists ? kNothingToDo : !parsed.ok ? kFailed : kDone;
      } else {
        rc = add_key(pool(), key.data(), key.size(), value.data(), value.size(), expires);
        expected = exists ? kNothingToDo : kDone;
      }
      if (expected == kDone) {
        model_.entries[key] = {value, expires, address};
        if (address) model_.prefixes[parsed.prefix] = key;
      }
    } else if (op < 70) {  // SET
      what = "SET";
      if (address) {
        rc = set_ipaddr(pool(), key.data(), key.size(), value.data(), value.size(), expires);
        expected = !parsed.ok ? kFailed : exists ? kDone : kNothingToDo;
        if (parsed.ok) {
          // The old entry goes without touching the prefix, which is then pointed at the new one.
          model_.entries[key] = {value, expires, true};
          model_.prefixes[parsed.prefix] = key;
        }
      } else {
        rc = set_key(pool(), key.data(), key.size(), value.data(), value.size(), expires);
        expected = exists ? kDone : kNothingToDo;
        if (exists) model_.remove(key);
        model_.entries[key] = {value, expires, false};
      }
    } else if (op < 95) {  // DEL
      what = "DEL";
      if (address) {
        rc = delete_ipaddr(pool(), key.data(), key.size());
        expected = !exists ? kNothingToDo : !parsed.ok ? kFailed : kDone;
        if (expected == kDone) {
          // The prefix of the text goes, whichever entry it named, and so does the entry.
          model_.prefixes.erase(parsed.prefix);
          model_.entries.erase(key);
        }
      } else {
        rc = delete_key(pool(), key.data(), key.size());
        expected = exists ? kDone : kNothingToDo;
        if (exists) model_.remove(key);
      }
    } else if (op < 99) {  // the periodic expiry sweep
      what = "SWEEP";
      ScopedPtrList expired;
      ASSERT_EQ(rbtree_collect(pool(), expired.get()), kDone);
      rc = rbtree_clean(pool(), expired.get(), delete_ipaddr_by_node_locked);
      expected = kDone;
      std::vector<std::string> gone;
      for (const auto& [text, e] : model_.entries) {
        if (e.expires != 0 && e.expires < now) gone.push_back(text);
      }
      for (const auto& text : gone) model_.remove(text);
    } else {  // CLEAR
      what = "CLEAR";
      rc = rbtree_purge(pool(), delete_ipaddr_by_node_locked);
      expected = kDone;
      model_.entries.clear();
      model_.prefixes.clear();
    }
    const std::string where = "seed " + std::to_string(seed) + " step " + std::to_string(step) + ": " + what +
                              (address ? " address '" : " string '") + key + "'";
    ASSERT_EQ(rc, expected) << where;
    compare(where);
    if (::testing::Test::HasFatalFailure()) return;
    if (step % 50 == 0) {
      for (const auto& probe : probes_) {
        ASSERT_EQ(get_ipaddr(pool(), probe.data(), probe.size()), expected_address_get(probe)) << where << probe;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, EntryModel, ::testing::Values(1u, 2u, 3u, 4u, 5u, 20240611u));

}  // namespace
}  // namespace quillmap
