#include "index/index_upkeep.h"

#include "index/hash_index.h"
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

}  // namespace

IndexHeader* kept_index() { return index_header; }

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
  set_valid(hash_ok ? kIndexHashValid : 0);
}

}  // namespace quillmap
