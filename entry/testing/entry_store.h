// Test support for the entry layer: a pool laid out by init_memory, a snapshot of its entries, and a
// checker of the allocator, the key tree, both tries, and that every trie value names a live address
// entry whose own text parses to that very prefix.
#pragma once

#include <cstdlib>
#include <map>
#include <string>
#include <tuple>

#include "entry/ipaddr_ops.h"
#include "entry/store_init.h"
#include "lpctrie/lpctrie.h"
#include "lpctrie/testing/trie_check.h"
#include "store/rbtree.h"
#include "store/segment_view.h"
#include "store/slab.h"
#include "store/testing/check_format.h"
#include "store/testing/pool_fixture.h"
#include "store/testing/rbtree_check.h"
#include "store/testing/slab_check.h"
#include "util/host_params.h"

namespace quillmap::testing {

// What one entry holds: value, expiry and kind.
struct EntryImage {
  std::string value;
  uint64_t expires = 0;
  bool is_address = false;
  bool operator==(const EntryImage&) const = default;
};
using DictImage = std::map<std::string, EntryImage>;

// A pool as the first worker leaves it after init_memory.
class EntryStore {
 public:
  explicit EntryStore(int64_t data_size = 10 << 20, PoolBacking backing = PoolBacking::kHeap)
      : fixture_(data_size, backing, /*create_key_tree=*/false) {
    if (init_memory(pool(), 0, data_size) != 0) abort();
  }
  SlabPool* pool() const { return fixture_.pool(); }
  int64_t size() const { return fixture_.size(); }

  // The entry with exactly this key, or null (no lock taken: tests are the only user).
  RbtreeNode* entry(const std::string& key) const {
    return rbtree_get(pool(), key_tree_of(pool()), key.data(), key.size());
  }

  DictImage image() const {
    DictImage out;
    TrustedView view(pool());
    rbtree_walk_inorder(view, key_tree_of(pool()), [&](const RbtreeNode* n) {
      const auto* key = reinterpret_cast<const char*>(node_key(n));
      out[std::string(key, n->key_len)] = {std::string(key + n->key_len, n->value_len), n->expires, n->is_address != 0};
      return true;
    });
    return out;
  }

 private:
  PoolFixture fixture_;
};

// A stored prefix: family, key (host order, 128 bits wide for both families), suffix length.
using PrefixId = std::tuple<uint64_t, unsigned __int128, unsigned>;

// The prefix an address text is stored under (host bits cleared); false when it is not an address.
inline bool address_prefix(const std::string& text, PrefixId* prefix) {
  Cidr c;
  if (parse_address_key(text.data(), text.size(), &c) != 0) return false;
  if (c.family == kFamilyInet6)
    *prefix = {c.family, s6addr_to_uint128(c.addr6), 128u - Trie128Traits::popcount(s6addr_to_uint128(c.mask6))};
  else
    *prefix = {c.family, c.addr4, 32u - Trie32Traits::popcount(c.mask4)};
  return true;
}

// Every prefix of both tries with the value it holds; *err names the first fault of either trie.
inline std::map<PrefixId, uint64_t> trie_prefixes(const SlabPool* pool, std::string* err) {
  TrieCensus<Trie32Traits> census4;
  TrieCensus<Trie128Traits> census6;
  *err = trie_verify<Trie32Traits>(pool, _lfof_<const LpcNode32>(pool, pool->trie4), &census4);
  if (err->empty()) *err = trie_verify<Trie128Traits>(pool, _lfof_<const LpcNode128>(pool, pool->trie6), &census6);
  std::map<PrefixId, uint64_t> out;
  for (const auto& p : census4.prefixes) out[{kFamilyInet, p.key, p.slen}] = p.value;
  for (const auto& p : census6.prefixes) out[{kFamilyInet6, p.key, p.slen}] = p.value;
  return out;
}

// "" when the store is sound, else the first violation.
inline std::string entry_store_check(SlabPool* pool) {
  std::string err = slab_check(pool);
  if (!err.empty()) return "slab: " + err;
  err = rbtree_check(pool, key_tree_of(pool));
  if (!err.empty()) return "key tree: " + err;
  std::map<uint64_t, std::string> addresses;  // offset of every address entry -> its text
  TrustedView view(pool);
  rbtree_walk_inorder(view, key_tree_of(pool), [&](const RbtreeNode* node) {
    const std::string text(reinterpret_cast<const char*>(node_key(node)), node->key_len);
    if (node->is_address) addresses[offset_of_record(pool, node)] = text;
    return true;
  });
  const auto prefixes = trie_prefixes(pool, &err);
  if (!err.empty()) return "tries: " + err;
  for (const auto& [id, value] : prefixes) {
    const auto named = addresses.find(value);
    PrefixId own;
    if (named == addresses.end() || !address_prefix(named->second, &own) || own != id)
      return check_format("prefix value %lu names no address entry of that prefix", (unsigned long)value);
  }
  return "";
}

}  // namespace quillmap::testing
