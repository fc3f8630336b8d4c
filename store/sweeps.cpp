#include "store/sweeps.h"

#include <ctime>

#include "store/rbtree.h"
#include "store/rwlock.h"
#include "store/segment_view.h"
#include "store/sha1.h"
#include "store/slab.h"
#include "util/log.h"
#include "util/strings.h"

namespace quillmap {
namespace {

inline int key_len_arg(const RbtreeNode* n) { return static_cast<int>(n->key_len); }
inline const char* key_arg(const RbtreeNode* n) { return reinterpret_cast<const char*>(node_key(n)); }

// Removes an address entry through the entry layer; false when it was kept.
bool remove_entry(SlabPool* pool, RbtreeNode* node, AddressEntryRemover remove_address) {
  return remove_address != nullptr && remove_address(pool, node) != kFailed;
}

// Pushes every node of the key tree, in tree order. Read hold taken by the caller.
void gather_all(SlabPool* pool, PtrList* list) {
  TrustedView view(pool);
  rbtree_walk_inorder(view, key_tree_of(pool), [&](const RbtreeNode* node) {
    shm_llist_push(list, reinterpret_cast<uintptr_t>(node));
    return true;
  });
}

}  // namespace

int64_t rbtree_collect(SlabPool* pool, PtrList* list) {
  const uint64_t now = static_cast<uint64_t>(time(nullptr));
  if (rwlock_rlock(&pool->lock) != kDone) {
    log_msg(kLogError, "rbtree_collect: could not get read lock");
    return kLockTimeout;
  }
  TrustedView view(pool);
  rbtree_walk_inorder(view, key_tree_of(pool), [&](const RbtreeNode* node) {
    if (node->expires != 0 && node->expires < now) shm_llist_push(list, reinterpret_cast<uintptr_t>(node));
    return true;
  });
  if (rwlock_unlock(&pool->lock) != kDone) log_msg(kLogWarn, "rbtree_collect: could not remove read lock");
  return kDone;
}

int64_t rbtree_clean(SlabPool* pool, PtrList* list, AddressEntryRemover remove_address) {
  while (uintptr_t value = shm_llist_fetch(list)) {
    RbtreeNode* node = reinterpret_cast<RbtreeNode*>(value);
    if (rwlock_wlock(&pool->lock) != kDone) {
      log_msg(kLogError, "rbtree_clean: could not get write lock");
      return kLockTimeout;
    }
    log_msg(kLogInfo, "Purging node '%.*s'", key_len_arg(node), key_arg(node));
    if (node->is_address) {
      if (!remove_entry(pool, node, remove_address)) log_msg(kLogError, "Could not purge '%.*s'", key_len_arg(node), key_arg(node));
    } else {
      rbtree_delete(pool, key_tree_of(pool), node);
      slab_free_locked(pool, node);
    }
    if (rwlock_unlock(&pool->lock) != kDone) log_msg(kLogWarn, "rbtree_clean: could not remove write lock");
  }
  shm_llist_clear(list);
  return kDone;
}

void sweep_expired(SlabPool* pool, PtrList* expired, AddressEntryRemover remove_address,
                   LockBreaker break_stuck_lock) {
  if (rbtree_collect(pool, expired) == kLockTimeout) {
    break_stuck_lock(pool);
    rbtree_collect(pool, expired);
  }
  if (expired->head == nullptr) return;
  if (rbtree_clean(pool, expired, remove_address) == kLockTimeout) {
    break_stuck_lock(pool);
    if (rbtree_clean(pool, expired, remove_address) != kDone) shm_llist_clear(expired);
  }
}

int64_t rbtree_purge(SlabPool* pool, AddressEntryRemover remove_address) {
  ScopedPtrList nodes;
  if (rwlock_rlock(&pool->lock) != kDone) {
    log_msg(kLogError, "rbtree_purge: could not get read lock");
    return kLockTimeout;
  }
  gather_all(pool, nodes.get());
  if (rwlock_unlock(&pool->lock) != kDone) log_msg(kLogWarn, "rbtree_purge: could not remove read lock");

  if (rwlock_wlock(&pool->lock) != kDone) {
    log_msg(kLogError, "rbtree_purge: could not get write lock");
    return kLockTimeout;
  }
  while (uintptr_t value = shm_llist_fetch(nodes.get())) {
    RbtreeNode* node = reinterpret_cast<RbtreeNode*>(value);
    log_msg(kLogInfo, "Forcibly purging node '%.*s'", key_len_arg(node), key_arg(node));
    if (!node->is_address) {
      rbtree_delete(pool, key_tree_of(pool), node);
      slab_free_locked(pool, node);
    } else if (!remove_entry(pool, node, remove_address)) {
      log_msg(kLogError, "Could not forcibly purge '%.*s'", key_len_arg(node), key_arg(node));
    }
  }
  if (rwlock_unlock(&pool->lock) != kDone) log_msg(kLogWarn, "rbtree_purge: could not remove write lock");
  return kDone;
}

int64_t rbtree_get_hashsum(SlabPool* pool, char* out) {
  Sha1Context ctx;
  shm_sha1_init(&ctx);
  if (rwlock_rlock(&pool->lock) != kDone) {
    log_msg(kLogError, "rbtree_get_hashsum: could not get read lock");
    return kLockTimeout;
  }
  TrustedView view(pool);
  rbtree_walk_inorder(view, key_tree_of(pool), [&](const RbtreeNode* node, const uint8_t* key) {
    shm_sha1_update(&ctx, key, node->key_len);
    return true;
  });
  if (rwlock_unlock(&pool->lock) != kDone) log_msg(kLogWarn, "rbtree_get_hashsum: could not remove read lock");
  uint8_t digest[kSha1DigestSize];
  shm_sha1_final(digest, &ctx);
  shm_hex_dump(out, digest, sizeof digest);
  return kDone;
}

}  // namespace quillmap
