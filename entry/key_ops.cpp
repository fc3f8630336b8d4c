#include "entry/key_ops.h"

#include <cstring>

#include "entry/entry_text.h"
#include "entry/intent.h"
#include "entry/ipaddr_ops.h"
#include "entry/lock_steps.h"
#include "store/crash_hook.h"
#include "store/rbtree.h"
#include "store/slab.h"
#include "util/host_params.h"
#include "util/log.h"

namespace quillmap {

int64_t get_key(SlabPool* pool, const char* key, uint64_t key_len) {
  RbtreeNode* found = nullptr;
  if (lookup_entry(pool, "get_key", key, key_len, &found) != kDone) return kLockTimeout;
  return found != nullptr ? kDone : kNothingToDo;
}

// ADD, SET and DEL find the key under a read share and reuse that answer under the write hold: only
// this process changes the dictionary, so the entry found cannot change in between. The read share is
// kept rather than the lookup moved under the write hold: an ADD of a present key and a DEL of an
// absent one must not take the write lock (they neither open a change epoch nor mark the store
// unsaved, and they are not turned away while outside readers hold shares), and a lock that cannot
// be had must still be reported as the read lock it is today.
int64_t add_key(SlabPool* pool, const char* key, uint64_t key_len, const char* value, uint64_t value_len,
                uint64_t expires) {
  if (const int64_t rc = admit_new_key(pool, "add_key", key, key_len, value, value_len); rc != kDone) return rc;
  WriteHold hold(pool, "add_key");
  if (!hold) return kLockTimeout;
  RbtreeNode* node = nullptr;
  return insert_key_locked(pool, key, key_len, value, value_len, expires, 0, &node);
}

int64_t set_key(SlabPool* pool, const char* key, uint64_t key_len, const char* value, uint64_t value_len,
                uint64_t expires) {
  if (check_storable("set_key", key, key_len, value, value_len) != kDone) return kFailed;
  RbtreeNode* found = nullptr;
  if (lookup_entry(pool, "set_key", key, key_len, &found) != kDone) return kLockTimeout;
  WriteHold hold(pool, "set_key");
  if (!hold) return kLockTimeout;
  if (found == nullptr) {
    RbtreeNode* node = nullptr;
    return insert_key_locked(pool, key, key_len, value, value_len, expires, 0, &node) == kDone ? kNothingToDo : kFailed;
  }
  if (found->is_address == 0 && value_len <= kIntentBytes && value_fits_in_place(pool, found, value_len)) {
    overwrite_value_in_place_locked(pool, found, value, value_len, expires);
    return kDone;
  }
  RbtreeNode* fresh = new_entry_locked(pool, key, key_len, value, value_len, expires, 0);
  if (fresh == nullptr) return kFailed;
  // The new entry exists before the old one goes, all under one write hold: a failure keeps the old
  // entry, and a reader sees the old entry or the new one. It is named as in flight first, so that a
  // kill after the old entry is freed and before the new one is linked still leaves one of them.
  note_replacement_in_flight(pool, fresh);
  remove_entry_locked(pool, found);
  note_entry_in_flight(pool, fresh);
  rbtree_insert(pool, key_tree_of(pool), fresh);
  return kDone;
}

int64_t delete_key(SlabPool* pool, const char* key, uint64_t key_len) {
  if (key == nullptr) {
    log_msg(kLogWarn, "On deletion attempt get NULL key. Skipping...");
    return kNothingToDo;
  }
  RbtreeNode* found = nullptr;
  if (lookup_entry(pool, "delete_key", key, key_len, &found) != kDone) return kLockTimeout;
  if (found == nullptr) {
    log_msg(kLogInfo, "No such node %.*s. Skip deletion", log_len(key_len), key);
    return kNothingToDo;
  }
  WriteHold hold(pool, "delete_key");
  if (!hold) return kLockTimeout;
  remove_entry_locked(pool, found);
  return kDone;
}

RbtreeNode* new_entry_locked(SlabPool* pool, const char* key, uint64_t key_len, const char* value,
                             uint64_t value_len, uint64_t expires, uint8_t is_address) {
  if (key_len > kMaxKeyLength) {
    log_msg(kLogError, "insert_key_locked: key is longer than 65535 bytes, refused");
    return nullptr;
  }
  if (value_len > kMaxValueLength) {
    log_msg(kLogError, "insert_key_locked: value is longer than 4294967295 bytes, refused");
    return nullptr;
  }
  auto* node = static_cast<RbtreeNode*>(slab_calloc_locked(pool, kNodeHeaderSize + key_len + value_len));
  if (node == nullptr) {
    log_msg(kLogWarn, "Could not allocate memory for %.*s in rbtree", log_len(key_len), log_ptr(key));
    return nullptr;
  }
  node->key_crc = crc32_short(key, key_len);
  node->key_len = static_cast<uint16_t>(key_len);
  node->value_len = static_cast<uint32_t>(value_len);
  node->expires = expires;
  node->is_address = is_address;
  if (key_len != 0) std::memcpy(node_key(node), key, key_len);
  if (value_len != 0) std::memcpy(node_value(node), value, value_len);
  return node;
}

int64_t insert_key_locked(SlabPool* pool, const char* key, uint64_t key_len, const char* value, uint64_t value_len,
                          uint64_t expires, uint8_t is_address, RbtreeNode** out) {
  RbtreeNode* node = new_entry_locked(pool, key, key_len, value, value_len, expires, is_address);
  if (node == nullptr) return kFailed;
  note_entry_in_flight(pool, node);
  rbtree_insert(pool, key_tree_of(pool), node);
  // A linked node's parent is a node or the sentinel, never offset 0; rbtree_insert leaves a node
  // with an equal key unlinked, with the zero links of its fresh chunk.
  if (node->parent == 0) {
    log_msg(kLogWarn, "Could not add key %.*s because key exists", log_len(key_len), log_ptr(key));
    slab_free_locked(pool, node);
    return kNothingToDo;
  }
  if (out != nullptr) *out = node;
  return kDone;
}

void remove_entry_locked(SlabPool* pool, RbtreeNode* node) {
  note_entry_in_flight(pool, node);
  // An address entry's prefix goes first. If its text does not parse (-1), no prefix was ever stored
  // for it, and it is removed like a string entry.
  if (node->is_address && delete_ipaddr_by_node_locked(pool, node) == kDone) return;
  rbtree_delete(pool, key_tree_of(pool), node);
  slab_free_locked(pool, node);
  crash_step();  // the entry is gone; what the hold does next must not depend on it
}

int64_t get_stat(SlabPool* pool, StatRecord* out) {
  const int64_t classes = page_shift - static_cast<int64_t>(static_cast<uint32_t>(pool->min_chunk_shift));
  ReadHold share(pool, "get_stat");
  if (!share) return kLockTimeout;
  const int64_t bytes_total = static_cast<int64_t>(pool->pool_end);
  const int64_t pages_free = static_cast<int64_t>(pool->free_pages);
  int64_t bytes_alloc = 0;
  int64_t bytes_used = 0;
  const ClassStats* stats = class_stats_of(pool);
  const uint32_t min_shift = static_cast<uint32_t>(pool->min_chunk_shift);
  for (int64_t i = 0; i < classes; ++i) {
    const int64_t chunk = int64_t{1} << (min_shift + i);
    bytes_alloc += chunk * static_cast<int64_t>(stats[i].total);
    bytes_used += chunk * static_cast<int64_t>(stats[i].used);
  }
  const int64_t pages_total = static_cast<int64_t>((pool->pool_end - pool->data_start) >> page_shift);
  share.release();

  // Pages handed out whole (requests above the largest class) are in no class counter: every page
  // that is neither free nor taken by a class counts as allocated and used.
  const int64_t class_pages = (bytes_alloc + page_size - 1) / page_size;
  const int64_t whole_page_bytes = (pages_total - pages_free - class_pages) * page_size;
  out->bytes_total = bytes_total;
  out->pages_total = pages_total;
  out->pages_free = pages_free;
  out->bytes_alloc = bytes_alloc + whole_page_bytes;
  out->bytes_used = bytes_used + whole_page_bytes;
  return kDone;
}

}  // namespace quillmap
