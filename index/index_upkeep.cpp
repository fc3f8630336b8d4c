#include "index/index_upkeep.h"

#include <cstring>
#include <vector>

#include "index/hash_index.h"
#include "index/prefix_table.h"
#include "lpctrie/lpctrie_walk.h"
#include "store/rbtree.h"
#include "store/rwlock.h"
#include "store/segment_view.h"
#include "store/slab.h"
#include "store/store_init.h"
#include "store/tree_observer.h"
#include "util/log.h"

namespace quillmap {
namespace {

SlabPool* kept_dict = nullptr;
IndexHeader* index_header = nullptr;
PrefixTableWriter prefix4;  // the writers' shadows of the two tries
PrefixTableWriter prefix6;

void set_valid(uint64_t bits) { __atomic_store_n(&index_header->valid, bits, __ATOMIC_RELEASE); }
uint64_t valid_bits() { return __atomic_load_n(&index_header->valid, __ATOMIC_RELAXED); }

// A structure that could not follow a change is given up until the next worker rebuilds it.
void give_up(uint64_t bit, const char* what) {
  if ((valid_bits() & bit) == 0) return;
  set_valid(valid_bits() & ~bit);
  log_msg(kLogWarn, "The index has no room for the %s: its lookups walk the dictionary until the next worker "
          "rebuilds it", what);
}

void entry_linked(SlabPool* dict, RbtreeNode* node) {
  if ((valid_bits() & kIndexHashValid) == 0) return;
  if (hash_insert_locked(index_pool(index_header), &index_header->hash, dict, offset_of_record(dict, node)) != kDone) {
    give_up(kIndexHashValid, "hash of keys");
  }
}

void entry_unlinking(SlabPool* dict, RbtreeNode* node) {
  if ((valid_bits() & kIndexHashValid) == 0) return;
  if (hash_remove_locked(index_pool(index_header), &index_header->hash, dict, offset_of_record(dict, node)) != kDone) {
    give_up(kIndexHashValid, "hash of keys");
  }
}

constexpr TreeObserver kHashUpkeep{entry_linked, entry_unlinking};

// A Cidr as the prefix tables take it: network-order bytes and a length.
PrefixTableWriter::Prefix table_prefix(const Cidr& cidr) {
  PrefixTableWriter::Prefix p{};
  if (cidr.family == kFamilyInet6) {
    std::memcpy(p.addr, cidr.addr6, 16);
    for (uint8_t b : cidr.mask6) p.len += static_cast<unsigned>(__builtin_popcount(b));
  } else {
    for (int i = 0; i < 4; ++i) p.addr[i] = static_cast<uint8_t>(cidr.addr4 >> (24 - 8 * i));
    p.len = static_cast<unsigned>(__builtin_popcount(cidr.mask4));
  }
  return p;
}

struct Family {
  PrefixTableWriter* writer;
  uint64_t bit;
  const char* what;
};

Family family_of(const Cidr& cidr) {
  if (cidr.family == kFamilyInet6) return {&prefix6, kIndexPrefix6Valid, "IPv6 prefix table"};
  return {&prefix4, kIndexPrefix4Valid, "IPv4 prefix table"};
}

// The prefixes of a trie as the prefix tables take them.
template <class Traits>
std::vector<PrefixTableWriter::Prefix> trie_prefixes(const SlabPool* dict, uint64_t root_off) {
  std::vector<PrefixTableWriter::Prefix> out;
  if (root_off == 0) return out;
  lpctrie_for_each_prefix<Traits>(dict, _lfof_<const LpcNode<Traits>>(dict, root_off),
                                  [&](typename Traits::Key key, unsigned len, uint64_t value) {
                                    PrefixTableWriter::Prefix p{};
                                    for (unsigned i = 0; i < Traits::kKeyLength / 8; ++i) {
                                      p.addr[i] = static_cast<uint8_t>(key >> (Traits::kKeyLength - 8 - 8 * i));
                                    }
                                    p.len = len;
                                    p.entry_off = value;
                                    out.push_back(p);
                                  });
  return out;
}

}  // namespace

IndexHeader* kept_index() { return index_header; }

IndexHeader* kept_index_of(const SlabPool* dict) { return dict == kept_dict ? index_header : nullptr; }

void suspend_index(IndexHeader* index) {
  if (index != nullptr) __atomic_store_n(&index->valid, uint64_t{0}, __ATOMIC_RELEASE);
}

void stop_index() {
  observe_tree(nullptr, nullptr);
  kept_dict = nullptr;
  index_header = nullptr;
}

int64_t start_index(SlabPool* dict, IndexHeader* index) {
  stop_index();
  if (index == nullptr) return kDone;
  kept_dict = dict;
  index_header = index;
  set_valid(0);
  if (rwlock_wlock(&dict->lock) != kDone) {
    log_msg(kLogError, "start_index: could not get write lock");
    return kLockTimeout;
  }
  rebuild_index_locked(dict);
  if (rwlock_unlock(&dict->lock) != kDone) log_msg(kLogWarn, "start_index: could not remove write lock");
  observe_tree(dict, &kHashUpkeep);
  return kDone;
}

void rebuild_index_locked(SlabPool* dict) {
  set_valid(0);
  SlabPool* ipool = index_pool(index_header);
  store_layout(ipool, static_cast<int64_t>(index_header->pool_bytes));
  index_header->hash = HashRoot{};
  index_header->prefix4 = PrefixRoot{};
  index_header->prefix6 = PrefixRoot{};

  TrustedView v(dict);
  const TreeRoot* tree = key_tree_of(dict);
  uint64_t entries = 0;
  rbtree_walk_inorder(v, tree, [&](const RbtreeNode*) { return ++entries, true; });
  bool hash_ok = hash_init_locked(ipool, &index_header->hash, entries) == kDone;
  rbtree_walk_inorder(v, tree, [&](const RbtreeNode* node) {
    hash_ok = hash_insert_locked(ipool, &index_header->hash, dict, offset_of_record(dict, node)) == kDone;
    return hash_ok;
  });
  if (!hash_ok) {
    log_msg(kLogWarn, "The index has no room for the hash of %llu keys: key lookups walk the key tree",
            static_cast<unsigned long long>(entries));
  }
  uint64_t valid = hash_ok ? kIndexHashValid : 0;
  const struct {
    PrefixTableWriter* writer;
    PrefixRoot* root;
    int family;
    std::vector<PrefixTableWriter::Prefix> prefixes;
    uint64_t bit;
  } tables[] = {
      {&prefix4, &index_header->prefix4, kFamilyInet, trie_prefixes<Trie32Traits>(dict, dict->trie4), kIndexPrefix4Valid},
      {&prefix6, &index_header->prefix6, kFamilyInet6, trie_prefixes<Trie128Traits>(dict, dict->trie6),
       kIndexPrefix6Valid},
  };
  for (const auto& t : tables) {
    if (t.writer->init(ipool, t.root, t.family) == kDone && t.writer->rebuild(t.prefixes) == kDone) {
      valid |= t.bit;
    } else {
      log_msg(kLogWarn, "The index has no room for the %s prefixes of %zu entries: their matches walk the trie",
              t.family == kFamilyInet ? "IPv4" : "IPv6", t.prefixes.size());
    }
  }
  set_valid(valid);
}

void index_prefix_stored(const SlabPool* dict, const Cidr& cidr, uint64_t entry_off) {
  if (index_header == nullptr || dict != kept_dict) return;
  const Family f = family_of(cidr);
  if ((valid_bits() & f.bit) == 0) return;
  const PrefixTableWriter::Prefix p = table_prefix(cidr);
  if (f.writer->put(p.addr, p.len, entry_off) != kDone) give_up(f.bit, f.what);
}

void index_prefix_removed(const SlabPool* dict, const Cidr& cidr) {
  if (index_header == nullptr || dict != kept_dict) return;
  const Family f = family_of(cidr);
  if ((valid_bits() & f.bit) == 0) return;
  const PrefixTableWriter::Prefix p = table_prefix(cidr);
  if (f.writer->remove(p.addr, p.len) == kFailed) give_up(f.bit, f.what);
}

}  // namespace quillmap
