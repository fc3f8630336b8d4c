#include "server/lock_recovery.h"

#include "store/rwlock.h"
#include "util/log.h"

namespace quillmap {

void break_lock(SlabPool* pool) {
  log_msg(kLogWarn, "Forcibly removing all locks and repeating");
  force_unlock(&pool->lock);
}

}  // namespace quillmap
