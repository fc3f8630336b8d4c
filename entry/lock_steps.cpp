#include "entry/lock_steps.h"

#include "entry/entry_text.h"
#include "store/rbtree.h"
#include "store/rwlock.h"
#include "util/log.h"

namespace quillmap {

bool take_read_lock(SlabPool* pool, const char* op) {
  if (rwlock_rlock(&pool->lock) == kDone) return true;
  log_msg(kLogError, "%s: could not get read lock", op);
  return false;
}

void release_read_lock(SlabPool* pool, const char* op) {
  if (rwlock_unlock(&pool->lock) != kDone) log_msg(kLogWarn, "%s: could not remove read lock", op);
}

bool take_write_lock(SlabPool* pool, const char* op) {
  if (rwlock_wlock(&pool->lock) == kDone) return true;
  log_msg(kLogError, "%s: could not get write lock", op);
  return false;
}

void release_write_lock(SlabPool* pool, const char* op) {
  if (rwlock_unlock(&pool->lock) != kDone) log_msg(kLogWarn, "%s: could not remove write lock", op);
}

int64_t lookup_entry(SlabPool* pool, const char* op, const char* key, uint64_t key_len, RbtreeNode** found) {
  if (!take_read_lock(pool, op)) return kLockTimeout;
  *found = rbtree_get(pool, key_tree_of(pool), key, key_len);
  release_read_lock(pool, op);
  return kDone;
}

int64_t admit_new_key(SlabPool* pool, const char* op, const char* key, uint64_t key_len, const char* value,
                      uint64_t value_len) {
  if (check_storable(op, key, key_len, value, value_len) != kDone) return kFailed;
  RbtreeNode* found = nullptr;
  if (lookup_entry(pool, op, key, key_len, &found) != kDone) return kLockTimeout;
  if (found != nullptr) {
    log_msg(kLogWarn, "Could not add key %.*s because key exists", log_len(key_len), log_ptr(key));
    return kNothingToDo;
  }
  return kDone;
}

}  // namespace quillmap
