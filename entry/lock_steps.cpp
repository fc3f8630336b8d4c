#include "entry/lock_steps.h"

#include "entry/entry_lookup.h"
#include "entry/entry_text.h"
#include "store/rwlock.h"
#include "util/log.h"

namespace quillmap {

LockHold::LockHold(SlabPool* pool, const char* op, bool write) noexcept : pool_(pool), op_(op), write_(write) {
  held_ = (write ? rwlock_wlock(&pool->lock) : rwlock_rlock(&pool->lock)) == kDone;
  if (!held_) log_msg(kLogError, "%s: could not get %s lock", op, write ? "write" : "read");
}

void LockHold::release() noexcept {
  if (!held_) return;
  held_ = false;
  if (rwlock_unlock(&pool_->lock) != kDone) log_msg(kLogWarn, "%s: could not remove %s lock", op_, write_ ? "write" : "read");
}

int64_t lookup_entry(SlabPool* pool, const char* op, const char* key, uint64_t key_len, RbtreeNode** found) {
  ReadHold share(pool, op);
  if (!share) return kLockTimeout;
  *found = find_entry(pool, key, key_len);
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
