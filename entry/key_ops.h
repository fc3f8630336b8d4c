// String key operations (GET, ADD, SET, DEL on string requests), the creation of every dictionary
// entry (insert_key_locked) and the INFO statistics (get_stat).
//
// Keys and values are (pointer, length) pairs; a pointer may be null with length 0. Keys are compared
// as byte strings of exactly their length. Expiry times are absolute seconds since the epoch (0 for
// never); they are stored here and never consulted: an expired entry stays until the sweep removes it.
//
// The changing operations look the key up (find_entry: through the index's hash when it is valid)
// under the read lock, release it, decide, then take the write lock for the change. That is sound because only the worker changes the dictionary, one
// operation at a time. Lock failures are logged by the operation ("<name>: could not get read lock",
// "<name>: could not get write lock" at ERROR, then -3; "<name>: could not remove read lock" /
// "... write lock" at WARN, result unchanged).
//
// An entry found by its text may be an address entry (is_address 1), indexed in a prefix trie as
// well. Every removal here goes through delete_ipaddr_by_node_locked for such an entry, so that no
// trie value ever names a released entry.
//
// Result codes: kDone 0, kFailed -1, kLockTimeout -3, kNothingToDo -4.
#pragma once

#include <cstdint>

#include "store/layout.h"

namespace quillmap {

// The INFO figures, in this order.
struct StatRecord {
  int64_t bytes_total;  // segment size
  int64_t pages_total;  // pages of the pool
  int64_t pages_free;   // pages in free runs
  int64_t bytes_alloc;  // bytes the class pages offer, plus pages handed out whole
  int64_t bytes_used;   // bytes of chunks in use, plus pages handed out whole
};

// 0 when an entry with exactly this key exists, -4 when none does, -3 read lock not obtained.
int64_t get_key(SlabPool* pool, const char* key, uint64_t key_len);

// 0 added; -4 the key exists already (WARN "Could not add key %.*s because key exists"); -1 refused
// (key over 65535 bytes, key or value not valid UTF-8: ERROR, no lock taken) or no memory; -3.
int64_t add_key(SlabPool* pool, const char* key, uint64_t key_len, const char* value, uint64_t value_len,
                uint64_t expires);

// 0 an existing entry was replaced (old and new under one write hold); -4 the key was absent and has
// been added; -1 refused as for add_key, or no memory (an existing entry is gone then); -3.
int64_t set_key(SlabPool* pool, const char* key, uint64_t key_len, const char* value, uint64_t value_len,
                uint64_t expires);

// 0 removed; -4 absent (INFO "No such node %.*s. Skip deletion"), or a null key (WARN "On deletion
// attempt get NULL key. Skipping...", no lock taken); -3.
int64_t delete_key(SlabPool* pool, const char* key, uint64_t key_len);

// Creates one entry (a zero-filled chunk of 57 + key_len + value_len bytes), links it into the key
// tree and stores its address in *out. The caller holds the write lock and has made sure the key is
// absent. Results:
//   0   done, *out set;
//   -1  no memory (WARN "Could not allocate memory for %.*s in rbtree"), or a key over 65535 bytes or
//       a value over 2^32 - 1 bytes (ERROR); nothing changed, *out untouched;
//   -4  an entry with this key exists after all (WARN "Could not add key %.*s because key exists");
//       the new chunk is released again, nothing changed, *out untouched.
int64_t insert_key_locked(SlabPool* pool, const char* key, uint64_t key_len, const char* value, uint64_t value_len,
                          uint64_t expires, uint8_t is_address, RbtreeNode** out);

// The first half of insert_key_locked: a new entry, allocated and filled but not linked into the key
// tree, or null after the same messages (no memory, lengths over the limits). Write lock held.
RbtreeNode* new_entry_locked(SlabPool* pool, const char* key, uint64_t key_len, const char* value,
                             uint64_t value_len, uint64_t expires, uint8_t is_address);

// Takes `node` out of the key tree and releases it; an address entry leaves its prefix trie first
// (delete_ipaddr_by_node_locked). Write lock held.
void remove_entry_locked(SlabPool* pool, RbtreeNode* node);

// Fills *out from the header and the class counters under the read lock: 0, or -3 (record untouched).
// Pages handed out whole count once in bytes_alloc and once in bytes_used, in page_size units.
int64_t get_stat(SlabPool* pool, StatRecord* out);

}  // namespace quillmap
