// Seeded model test: random GET, ADD, SET and DEL of string and address requests (each kind also on
// the other kind's texts, on texts the data file cannot hold, and on keys of the longest length and
// one more), expiry sweeps and purges, checked against a map of entries, a map of the stored prefixes
// to the entry each names, and a brute-force prefix match. Each request's key lies in a buffer that
// goes on past it, and the empty key is sometimes a null pointer. After every step the operator's
// message for the outcome is in the log (showing exactly the key's bytes), the change epoch moved
// exactly when the dictionary was changed (which also clears the saved flag), the whole store is
// checked, and the index kept beside it (rebuilt from scratch now and then) must agree with it; a
// refused request is refused even while another process holds the write lock. After every purge the
// allocator holds what it held when fresh (nothing leaked). The run passes through phases with the
// index kept, with no index, and with an index registered but not valid (as after it ran out of
// room); in each, the worker's lookup of every text answers as the tree does.
#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <random>
#include <string>
#include <tuple>

#include "entry/entry_lookup.h"
#include "entry/ipaddr_ops.h"
#include "entry/key_ops.h"
#include "entry/testing/entry_store.h"
#include "index/index_upkeep.h"
#include "index/prefix_table.h"
#include "index/testing/hash_check.h"
#include "index/testing/index_buffer.h"
#include "store/change_epoch.h"
#include "store/rwlock.h"
#include "store/sweeps.h"
#include "store/testing/log_capture.h"
#include "util/ptr_list.h"
#include "util/testing/seed.h"

namespace quillmap {
namespace {

struct ModelEntry {
  std::string value;
  uint64_t expires;
  bool is_address;
  bool operator==(const ModelEntry&) const = default;
};

// A stored prefix: family, key (host order, 128 bits wide for both families), suffix length.
using PrefixId = std::tuple<uint64_t, unsigned __int128, unsigned>;

// The prefix an address text is stored under (host bits cleared); false when it is not an address.
bool parse(const std::string& text, PrefixId* prefix) {
  Cidr c;
  if (parse_address_key(text.data(), text.size(), &c) != kDone) return false;
  if (c.family == kFamilyInet6) {
    *prefix = {c.family, s6addr_to_uint128(c.addr6), 128u - Trie128Traits::popcount(s6addr_to_uint128(c.mask6))};
  } else {
    *prefix = {c.family, c.addr4, 32u - Trie32Traits::popcount(c.mask4)};
  }
  return true;
}

template <class Traits>
void add_census(SlabPool* pool, const LpcNode<Traits>* root, uint64_t family, std::map<PrefixId, uint64_t>* out) {
  testing::TrieCensus<Traits> census;
  ASSERT_EQ(testing::trie_verify<Traits>(pool, root, &census), "");
  for (const auto& p : census.prefixes) (*out)[{family, p.key, p.slen}] = p.value;
}

class EntryModel : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override {
    ASSERT_EQ(start_index(pool(), index_.header()), kDone);
    publish_changes(&pool()->lock, &state_);
  }
  void TearDown() override {
    publish_changes(nullptr, nullptr);
    stop_index();
  }
  SlabPool* pool() { return store_.pool(); }

  // Removal of an entry that a text names: an address entry takes its prefix along, whoever it names.
  void remove(const std::string& text) {
    PrefixId id;
    if (entries_.at(text).is_address && parse(text, &id)) prefixes_.erase(id);
    entries_.erase(text);
  }

  // GET of an address text: kDone when a stored prefix of its family covers the text's address.
  int64_t expected_address_get(const std::string& text) const {
    PrefixId id;
    if (!parse(text, &id)) return kFailed;
    const auto& [family, addr, ignored] = id;
    const unsigned width = family == kFamilyInet6 ? 128 : 32;
    for (const auto& [stored, owner] : prefixes_) {
      const auto& [fam, key, slen] = stored;
      if (fam == family && (slen >= width || ((addr ^ key) >> slen) == 0)) return kDone;
    }
    return kNothingToDo;
  }

  // The index phases the run goes through, in turn.
  enum Phase { kIndexKept, kNoIndex, kIndexNotValid };
  void enter(Phase phase) {
    phase_ = phase;
    if (phase == kNoIndex) return stop_index();
    ASSERT_EQ(start_index(pool(), index_.header()), kDone);
    // Registered but agreeing with nothing: told of every change and ignoring it, so the hash goes
    // stale, as after an update found no room.
    if (phase == kIndexNotValid) suspend_index(index_.header());
  }

  void compare(const std::string& where, const std::vector<std::string>& texts) {
    ASSERT_EQ(testing::entry_store_check(pool()), "") << where;
    for (const std::string& text : texts) {
      ASSERT_EQ(find_entry(pool(), text.data(), text.size()), store_.entry(text)) << where << ": lookup of '" << text << "'";
    }
    std::map<std::string, ModelEntry> image;
    TrustedView view(pool());
    rbtree_walk_inorder(view, store_.tree(), [&](const RbtreeNode* n) {
      image[std::string(reinterpret_cast<const char*>(node_key(n)), n->key_len)] = {
          std::string(reinterpret_cast<const char*>(node_value(n)), n->value_len), n->expires, n->is_address != 0};
      return true;
    });
    ASSERT_EQ(image, entries_) << where;
    std::map<PrefixId, uint64_t> stored, want;
    add_census<Trie32Traits>(pool(), store_.trie4(), kFamilyInet, &stored);
    add_census<Trie128Traits>(pool(), store_.trie6(), kFamilyInet6, &stored);
    for (const auto& [id, owner] : prefixes_) want[id] = offset_of_record(pool(), store_.entry(owner));
    ASSERT_EQ(stored, want) << where;
    if (phase_ != kIndexKept) return;
    IndexHeader* h = index_.header();
    ASSERT_EQ(h->valid, kIndexHashValid | kIndexPrefix4Valid | kIndexPrefix6Valid) << where;
    ASSERT_EQ(testing::hash_check(index_pool(h), h->hash, pool()), "") << where;
    // The prefix tables answer as the tries do: at both ends of every stored prefix, just outside
    // them, and at a few random addresses.
    std::vector<std::pair<uint64_t, unsigned __int128>> probes;
    for (const auto& [id, value] : stored) {
      const auto& [family, key, slen] = id;
      const unsigned __int128 span = slen >= 128 ? ~static_cast<unsigned __int128>(0)
                                                 : (static_cast<unsigned __int128>(1) << slen) - 1;
      for (unsigned __int128 a : {key, key + span, key - 1, key + span + 1}) probes.push_back({family, a});
    }
    for (int i = 0; i < 8; ++i) {
      probes.push_back({kFamilyInet, rng_() & 0xffffffffu});
      probes.push_back({kFamilyInet6, (static_cast<unsigned __int128>(rng_()) << 64) | rng_()});
    }
    TrustedView iv(index_pool(h));
    for (auto [family, a] : probes) {
      uint8_t bytes[16];
      uint64_t trie_answer;
      if (family == kFamilyInet) {
        const auto a4 = static_cast<uint32_t>(a);
        for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(a4 >> (24 - 8 * i));
        trie_answer = lpctrie32_find(pool(), store_.trie4(), a4);
      } else {
        uint128_to_s6addr(static_cast<uint64_t>(a), static_cast<uint64_t>(a >> 64), bytes);
        trie_answer = lpctrie128_find(pool(), store_.trie6(), static_cast<uint64_t>(a), static_cast<uint64_t>(a >> 64));
      }
      const uint64_t table_answer = prefix_match(iv, family == kFamilyInet ? h->prefix4 : h->prefix6, bytes);
      ASSERT_EQ(table_answer, trie_answer == kLpcNotFound ? 0 : trie_answer) << where;
    }
  }

  testing::EntryStore store_;
  testing::IndexBuffer index_;
  testing::LogCapture log_;
  StateHeader state_{};
  std::mt19937_64 rng_{7};  // addresses probed in the prefix tables
  std::map<std::string, ModelEntry> entries_;
  std::map<PrefixId, std::string> prefixes_;  // prefix -> text of the entry its value names
  Phase phase_ = kIndexKept;
};

TEST_P(EntryModel, RandomRequestsAgreeWithTheModel) {
  const uint32_t seed = testing::test_seed(GetParam());  // QUILLMAP_SEED replaces every instance's seed
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937 rng(seed);
  const uint64_t now = static_cast<uint64_t>(time(nullptr));
  // Strings, IPv4 and IPv6 addresses (some with host bits set, several per prefix), texts that are
  // not addresses, the empty key, and (below) a text that is not UTF-8.
  std::vector<std::string> keys = {
      "", "a", "ab", "abc", "k1", "\xC3\xA9t\xC3\xA9", "10.0.0.0/8", "10.0.0.1/8", "10.0.0.0/16", "10.1.0.0/16",
      "10.1.2.3", "10.1.2.3/24", "10.128.0.0/9", "0.0.0.0/0", "192.168.1.1", "192.168.1.0/24", "255.255.255.255",
      "1..2.3", "::/0", "::", "::1", "2001:db8::/32", "2001:db8::/48", "2001:db8::1/32", "2001:db8:0:1::/64",
      "fe80::1/10", "::ffff:10.1.2.3", "8000::/1", "10.0.0.0/33", "not/an/address", "1:2:3:4:5:6:7:8"};
  const std::vector<std::string> probes = {
      "10.1.2.3", "10.1.2.4", "10.200.0.1", "11.0.0.1", "192.168.1.77", "255.255.255.255", "0.0.0.1", "::1", "::2",
      "2001:db8::1", "2001:db8:0:1::5", "2001:db8:5::1", "fe80::99", "ff00::1", "::ffff:10.1.2.3"};
  const std::string bad_key = "10.0.0.0/8\xC0\xAF", bad_value = "ok\xE2\x82";  // not UTF-8 text
  keys.push_back(bad_key);
  const std::vector<std::string> values = {"", "v", std::string(100, 'x'), std::string(3000, 'y'), "\xE2\x82\xAC",
                                           bad_value};
  testing::SlabCensus fresh, census;
  ASSERT_EQ(testing::slab_check(pool(), &fresh), "");
  for (int step = 0; step < 5000; ++step) {
    const std::string key = rng() % 300 == 0 ? std::string(65535 + rng() % 2, '1') : keys[rng() % keys.size()];
    const std::string value = values[rng() % values.size()];
    const uint64_t expiry_choice = rng() % 4;
    const uint64_t expires = expiry_choice == 0 ? 1 : expiry_choice == 1 ? now + 100000 : 0;  // past/future/never
    const bool address = rng() % 2 == 0;
    const unsigned op = rng() % 100;
    const bool exists = entries_.count(key) != 0;
    PrefixId id;
    const bool parses = parse(key, &id);
    const std::string buffer = key + "TRAILING";
    const char* k = key.empty() && !address && rng() % 2 == 0 ? nullptr : buffer.data();
    const std::string refusal = key.size() > 65535 ? "key is longer than 65535 bytes"
                                : key == bad_key   ? "key is not valid UTF-8 text"
                                : value == bad_value ? "value is not valid UTF-8 text"
                                                     : "";
    const bool held = !refusal.empty() && op >= 25 && op < 70 && rng() % 2 == 0;
    std::string what, message;  // the request, and the line the log must show for its outcome
    int64_t rc, expected;
    log_.clear();
    note_store_saved();
    const uint64_t epoch = state_.change_epoch;
    if (held) pool()->lock = kLockWriter;
    if (op < 25) {
      what = "GET";
      if (address) {
        const std::string probe = rng() % 2 ? key : probes[rng() % probes.size()];
        what += " " + probe;
        rc = get_ipaddr(pool(), probe.data(), probe.size());
        expected = expected_address_get(probe);
      } else {
        rc = get_key(pool(), k, key.size());
        expected = exists ? kDone : kNothingToDo;
      }
    } else if (op < 50) {
      what = "ADD";
      rc = (address ? add_ipaddr : add_key)(pool(), k, key.size(), value.data(), value.size(), expires);
      expected = !refusal.empty() ? kFailed : exists ? kNothingToDo : address && !parses ? kFailed : kDone;
      if (!refusal.empty()) message = std::string("[ERROR]: ") + (address ? "add_ipaddr: " : "add_key: ") + refusal + ", refused";
      if (expected == kNothingToDo) message = "[WARN]: Could not add key " + key + " because key exists";
      if (expected == kDone) entries_[key] = {value, expires, address};
      if (expected == kDone && address) prefixes_[id] = key;
    } else if (op < 70) {
      what = "SET";
      rc = (address ? set_ipaddr : set_key)(pool(), k, key.size(), value.data(), value.size(), expires);
      expected = !refusal.empty() || (address && !parses) ? kFailed : exists ? kDone : kNothingToDo;
      if (!refusal.empty()) {
        message = std::string("[ERROR]: ") + (address ? "set_ipaddr: " : "set_key: ") + refusal + ", refused";
      } else if (address && parses) {
        // The old entry goes without touching the prefix, which is then pointed at the new one.
        entries_[key] = {value, expires, true};
        prefixes_[id] = key;
      } else if (!address) {
        if (exists) remove(key);
        entries_[key] = {value, expires, false};
      }
    } else if (op < 95) {
      what = "DEL";
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
    } else if (op < 99) {
      what = "SWEEP";  // the periodic expiry sweep
      ScopedPtrList expired;
      ASSERT_EQ(rbtree_collect(pool(), expired.get()), kDone);
      rc = rbtree_clean(pool(), expired.get(), delete_ipaddr_by_node_locked);
      expected = kDone;
      std::vector<std::string> gone;
      for (const auto& [text, e] : entries_) {
        if (e.expires != 0 && e.expires < now) gone.push_back(text);
      }
      for (const auto& text : gone) remove(text);
    } else {
      what = "CLEAR";
      rc = rbtree_purge(pool(), delete_ipaddr_by_node_locked);
      expected = kDone;
      entries_.clear();
      prefixes_.clear();
    }
    pool()->lock = 0;
    const std::string where = "seed " + std::to_string(seed) + " step " + std::to_string(step) + ": " + what +
                              (address ? " address '" : " string '") + key.substr(0, 40) + "'";
    ASSERT_EQ(rc, expected) << where;
    if (!message.empty() && (!refusal.empty() || (key.size() < 1000 && key != bad_key))) {
      ASSERT_TRUE(log_.contains(message + "\n")) << where << "\n" << log_.text();
    }
    // A change is one write hold, which clears the saved flag; a read, a refusal, an ADD of a present
    // key and a DEL of an absent one take none.
    if (what != "SWEEP" && what != "CLEAR") {
      const bool changed = what.substr(0, 3) != "GET" && (rc == kDone || (what == "SET" && rc == kNothingToDo));
      ASSERT_EQ(state_.change_epoch, changed ? epoch + 2 : epoch) << where;
      ASSERT_EQ(store_saved(), !changed) << where;
    }
    ASSERT_EQ(state_.change_epoch % 2, 0u) << where;
    compare(where, keys);
    if (::testing::Test::HasFatalFailure()) return;
    if (step % 997 == 0 && phase_ == kIndexKept) {
      ASSERT_EQ(start_index(pool(), index_.header()), kDone);  // a new worker's rebuild
      compare(where + " (index rebuilt)", keys);
    }
    if (step % 700 == 699) {
      enter(static_cast<Phase>((phase_ + 1) % 3));
      compare(where + " (index phase " + std::to_string(phase_) + ")", keys);
    }
    if (what == "CLEAR") {
      ASSERT_EQ(testing::slab_check(pool(), &census), "");
      ASSERT_EQ(census.used, fresh.used) << where << ": chunks leaked";
      ASSERT_EQ(census.free_pages, fresh.free_pages) << where << ": pages leaked";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, EntryModel, ::testing::Values(1u, 2u, 3u, 4u, 5u, 20240611u));

}  // namespace
}  // namespace quillmap
