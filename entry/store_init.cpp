#include "entry/store_init.h"

#include "entry/lock_steps.h"
#include "lpctrie/lpctrie.h"
#include "store/change_epoch.h"
#include "store/rwlock.h"
#include "store/slab.h"
#include "store/store_init.h"
#include "util/log.h"

namespace quillmap {

namespace {

bool store_complete(const SlabPool* pool) { return pool->key_tree != 0 && pool->trie4 != 0 && pool->trie6 != 0; }

// Creates the key tree and both tries (write lock held). kDone, or kFailed after logging which
// allocation failed.
int64_t create_indexes_locked(SlabPool* pool) {
  if (store_create_key_tree_locked(pool) != kDone) {
    log_msg(kLogError, "init_memory: could not allocate the key tree");
    return kFailed;
  }
  LpcNode32* trie4 = lpctrie32_create(pool);
  if (trie4 == nullptr) {
    log_msg(kLogError, "init_memory: could not allocate the IPv4 trie");
    return kFailed;
  }
  pool->trie4 = offset_of_record(pool, trie4);
  LpcNode128* trie6 = lpctrie128_create(pool);
  if (trie6 == nullptr) {
    log_msg(kLogError, "init_memory: could not allocate the IPv6 trie");
    return kFailed;
  }
  pool->trie6 = offset_of_record(pool, trie6);
  return kDone;
}

}  // namespace

int64_t init_memory(SlabPool* pool, int restarted, int64_t data_size) {
  __atomic_store_n(&pool->lock, uint64_t{0}, __ATOMIC_RELEASE);
  slab_derive_sizes();
  if (restarted != 0) {
    if (store_complete(pool)) return kDone;
    // The first worker ended before the key tree and both tries existed: there are no entries to keep,
    // and the store is laid out here as the first worker would have done it.
    log_msg(kLogWarn, "init_memory: the store was never completed, laying it out afresh");
  }
  return _lay_out_store(pool, data_size);
}

int64_t _lay_out_store(SlabPool* pool, int64_t data_size) {
  if (data_size < store_min_data_size()) {
    log_msg(kLogError, "init_memory: data size %ld is below the smallest usable size %ld", static_cast<long>(data_size),
            static_cast<long>(store_min_data_size()));
    return kFailed;
  }
  // No writer uses the segment before it has been laid out, so this step takes no lock; readers that
  // take none either (attached to a segment an earlier worker left) see an odd change epoch from here
  // until the write hold below ends.
  change_begins();
  store_layout(pool, data_size);
  // Until all three exist the store is incomplete, whatever an earlier daemon left in these fields.
  pool->key_tree = 0;
  pool->trie4 = 0;
  pool->trie6 = 0;
  int64_t rc = kLockTimeout;
  if (WriteHold hold(pool, "init_memory"); hold) rc = create_indexes_locked(pool);
  // A layout that failed stays marked as changing: the store is not to be used.
  if (rc == kDone) change_ends();
  return rc;
}

}  // namespace quillmap
