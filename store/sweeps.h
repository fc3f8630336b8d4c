// Whole-tree operations over the key tree, each an in-order walk: the expiry sweep (collect, then
// clean), the purge of every entry, and the SHA-1 digest over all keys. A walk never changes the
// tree it walks: nodes are gathered in a process-local PtrList first and removed afterwards.
#pragma once

#include <cstdint>

#include "store/layout.h"
#include "util/ptr_list.h"

namespace quillmap {

// Removes an address entry from its prefix trie and from the key tree and frees its chunk (write lock
// held): 0, or -1 when the entry's key does not parse as an address (the entry is kept). Supplied by
// the entry layer, so that the store does not depend on it.
using AddressEntryRemover = int64_t (*)(SlabPool*, RbtreeNode*);

// Pushes every expired entry (expires != 0 and expires < now) onto `list`, under the read lock.
// 0, or -3 when the read lock was not obtained (nothing pushed):
//   ERROR "rbtree_collect: could not get read lock", WARN "rbtree_collect: could not remove read lock".
int64_t rbtree_collect(SlabPool* pool, PtrList* list);

// Removes every entry on `list`, newest pushed first, each under a write hold of its own; address
// entries through `remove_address`. Then frees the list's blocks and returns 0. Returns -3 when a
// write lock was not obtained: the node in hand stays in the tree and the unfetched ones stay on the
// list (the caller still owns and must clear it).
//   INFO "Purging node '%.*s'", ERROR "Could not purge '%.*s'",
//   ERROR "rbtree_clean: could not get write lock", WARN "rbtree_clean: could not remove write lock".
int64_t rbtree_clean(SlabPool* pool, PtrList* list, AddressEntryRemover remove_address);

// Breaks a lock that a dead or stalled holder left behind (the server's forced unlock), supplied by the
// caller for the same reason.
using LockBreaker = void (*)(SlabPool*);

// One expiry sweep, as the worker runs it between requests: collect, then clean; when either step
// times out on the lock, `break_stuck_lock` is called once and the step retried. A clean that fails
// again leaves nodes still in the tree on `expired`: the list is cleared, so that the next collection
// lists them once and nothing is freed twice. `expired` is empty afterwards.
void sweep_expired(SlabPool* pool, PtrList* expired, AddressEntryRemover remove_address,
                   LockBreaker break_stuck_lock);

// Removes every entry: gathers all nodes under the read lock, then removes them under one write hold.
// 0, or -3 when a lock was not obtained.
//   INFO "Forcibly purging node '%.*s'", ERROR "Could not forcibly purge '%.*s'",
//   ERROR/WARN "rbtree_purge: could not get read lock" / "... remove read lock",
//   "rbtree_purge: could not get write lock" / "... remove write lock".
int64_t rbtree_purge(SlabPool* pool, AddressEntryRemover remove_address);

// SHA-1 over the key bytes of all entries in tree order (nothing else is hashed), written as 40
// lowercase hex digits to out[0..39] (no terminator). 0, or -3 when the read lock was not obtained
// (out untouched): ERROR "rbtree_get_hashsum: could not get read lock",
// WARN "rbtree_get_hashsum: could not remove read lock".
int64_t rbtree_get_hashsum(SlabPool* pool, char* out);

}  // namespace quillmap
