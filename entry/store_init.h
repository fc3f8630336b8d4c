// Making an attached segment usable when a worker starts.
#pragma once

#include <cstdint>

#include "store/layout.h"

namespace quillmap {

// Runs once per worker start, before the data file is loaded and before any request is served.
//
// Every start clears the lock word (freeing a lock that a dead worker or another process left behind)
// and derives the allocator's per-process sizes. When `restarted` is 0 (the first worker of a master)
// it then lays the store out afresh from `data_size` (discarding whatever the segment held), and under
// the write lock creates the empty key tree (key_tree), the IPv4 trie (trie4) and the IPv6 trie
// (trie6). A restarted worker (1) keeps the store exactly as its predecessor left it, unless the
// predecessor ended before all three existed (one of the header offsets is still 0): the store holds
// no entries then, and it is laid out afresh as for a first worker (WARN "init_memory: the store was
// never completed, laying it out afresh").
//
// Results:
//   0   the store is usable;
//   -3  the write lock could not be taken after the layout (ERROR "init_memory: could not get write
//       lock"): the key tree and the tries do not exist and the store must not be used. The worker
//       then ends, so that the master replaces it; the replacement (restarted 1) finds the store
//       incomplete and lays it out;
//   -1  data_size is below store_min_data_size() (ERROR "init_memory: data size %ld is below the
//       smallest usable size %ld", nothing laid out), or an allocation failed
//       (ERROR "init_memory: could not allocate the key tree" / "... the IPv4 trie" / "... the IPv6
//       trie"); the store must not be used.
// A failed release of the lock is a WARN "init_memory: could not remove write lock" and changes
// nothing. Requires host_params_init().
int64_t init_memory(SlabPool* pool, int restarted, int64_t data_size);

// The part of init_memory that lays a store out, once the lock word has been cleared: checks the size,
// lays out the pool, clears key_tree, trie4 and trie6, and creates the three under the write lock.
// Same results and messages as init_memory.
int64_t _lay_out_store(SlabPool* pool, int64_t data_size);

}  // namespace quillmap
