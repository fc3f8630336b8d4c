// Test support for the entry layer: a private pool initialised by init_memory (key tree and both
// tries), a snapshot of its entries, and a checker of the whole store: the allocator's bookkeeping, the
// key tree, both tries, and the link between them (every trie value names a live address entry whose
// own text parses to that very prefix).
#pragma once

#include <cstdlib>
#include <map>
#include <set>
#include <string>

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
  TreeRoot* tree() const { return key_tree_of(pool()); }
  LpcNode32* trie4() const { return _lfof_<LpcNode32>(pool(), pool()->trie4); }
  LpcNode128* trie6() const { return _lfof_<LpcNode128>(pool(), pool()->trie6); }
  int64_t size() const { return fixture_.size(); }

  // The entry with exactly this key, or null (no lock taken: tests are the only user).
  RbtreeNode* entry(const std::string& key) const { return rbtree_get(pool(), tree(), key.data(), key.size()); }

  // Every entry of the key tree.
  DictImage image() const {
    DictImage out;
    TrustedView view(pool());
    rbtree_walk_inorder(view, tree(), [&](const RbtreeNode* n) {
      const auto* key = reinterpret_cast<const char*>(node_key(n));
      out[std::string(key, n->key_len)] = {std::string(key + n->key_len, n->value_len), n->expires, n->is_address != 0};
      return true;
    });
    return out;
  }

 private:
  PoolFixture fixture_;
};

// Takes every free page, then every free chunk of the size class that serves `bytes`: afterwards only
// chunks of the other classes' open pages remain.
inline void exhaust_pool(SlabPool* pool, uint64_t bytes) {
  while (slab_alloc_locked(pool, static_cast<uint64_t>(page_size)) != nullptr) {
  }
  while (slab_alloc_locked(pool, bytes) != nullptr) {
  }
}

namespace entry_check_detail {

// Checks that each prefix of one trie names a live address entry whose text parses to that prefix.
template <class Traits>
std::string check_trie_values(const SlabPool* pool, const LpcNode<Traits>* root, const std::set<uint64_t>& live,
                              const char* name) {
  TrieCensus<Traits> census;
  std::string err = trie_verify<Traits>(pool, root, &census);
  if (!err.empty()) return std::string(name) + ": " + err;
  for (const auto& p : census.prefixes) {
    if (live.count(p.value) == 0) return check_format("%s: prefix value %lu names no live entry", name, (unsigned long)p.value);
    const RbtreeNode* node = _lfof_<const RbtreeNode>(pool, p.value);
    const std::string text(reinterpret_cast<const char*>(node_key(node)), node->key_len);
    Cidr c;
    if (!node->is_address || parse_address_key(text.data(), text.size(), &c) != 0 ||
        c.family != (Traits::kKeyLength == 32 ? kFamilyInet : kFamilyInet6)) {
      return check_format("%s: prefix names '%s', which is no address entry of this family", name, text.c_str());
    }
    typename Traits::Key key, mask;
    if constexpr (Traits::kKeyLength == 32) {
      key = c.addr4, mask = c.mask4;
    } else {
      key = s6addr_to_uint128(c.addr6), mask = s6addr_to_uint128(c.mask6);
    }
    if (key != p.key || Traits::kKeyLength - Traits::popcount(mask) != p.slen)
      return check_format("%s: entry '%s' is stored under another prefix", name, text.c_str());
  }
  return "";
}

}  // namespace entry_check_detail

// "" when the store is sound, else the first violation. Optionally reports the number of entries.
inline std::string entry_store_check(SlabPool* pool, uint64_t* entries = nullptr) {
  std::string err = slab_check(pool);
  if (!err.empty()) return "slab: " + err;
  const TreeRoot* tree = key_tree_of(pool);
  uint64_t count = 0;
  err = rbtree_check(pool, tree, &count);
  if (!err.empty()) return "key tree: " + err;
  std::set<uint64_t> live;
  TrustedView view(pool);
  rbtree_walk_inorder(view, tree, [&](const RbtreeNode* node) { return live.insert(offset_of_record(pool, node)), true; });
  err = entry_check_detail::check_trie_values<Trie32Traits>(pool, _lfof_<const LpcNode32>(pool, pool->trie4), live, "trie4");
  if (err.empty()) {
    err = entry_check_detail::check_trie_values<Trie128Traits>(pool, _lfof_<const LpcNode128>(pool, pool->trie6), live,
                                                               "trie6");
  }
  if (entries != nullptr) *entries = count;
  return err;
}

}  // namespace quillmap::testing
