#include "entry/entry_lookup.h"

#include <cassert>
#include <initializer_list>

#include "index/hash_index.h"
#include "index/index_upkeep.h"
#include "store/rbtree.h"
#include "store/segment_view.h"

namespace quillmap {

namespace {

// The kept index when its hash may be used, else null.
IndexHeader* hashed_index(SlabPool* pool) {
  IndexHeader* index = kept_index_of(pool);
  if (index == nullptr || (__atomic_load_n(&index->valid, __ATOMIC_RELAXED) & kIndexHashValid) == 0) return nullptr;
  return index;
}

}  // namespace

RbtreeNode* find_entry(SlabPool* pool, const char* key, uint64_t key_len) {
  IndexHeader* index = hashed_index(pool);
  if (index == nullptr) return rbtree_get(pool, key_tree_of(pool), key, key_len);
  // The same search the lock-free readers run, through views that trust every offset: only this
  // process writes, and it is not writing now.
  TrustedView iv(index_pool(index));
  TrustedView dv(pool);
  const uint64_t off = hash_find(iv, index->hash, dv, key, key_len, crc32_short(key, key_len));
  RbtreeNode* found = off != 0 ? _lfof_<RbtreeNode>(pool, off) : nullptr;
  assert(found == rbtree_get(pool, key_tree_of(pool), key, key_len));
  return found;
}

void prefetch_entry_slot(SlabPool* pool, uint32_t crc) {
  if (IndexHeader* index = hashed_index(pool)) {
    TrustedView iv(index_pool(index));
    hash_prefetch(iv, index->hash, crc);
  }
}

void prefetch_entry_node(SlabPool* pool, uint32_t crc) {
  if (IndexHeader* index = hashed_index(pool)) {
    TrustedView iv(index_pool(index));
    TrustedView dv(pool);
    hash_prefetch_entry(iv, index->hash, dv, crc);
  }
}

void prefetch_entry_links(SlabPool* pool, uint32_t crc) {
  IndexHeader* index = hashed_index(pool);
  if (index == nullptr) return;
  TrustedView iv(index_pool(index));
  const uint64_t off = hash_home_entry(iv, index->hash, crc);
  if (off == 0) return;
  const RbtreeNode* node = _lfof_<RbtreeNode>(pool, off);
  for (const uint64_t link : {node->parent, node->left, node->right}) {
    if (link != 0) __builtin_prefetch(_lfof_<const uint8_t>(pool, link));
  }
}

}  // namespace quillmap
