// The worker's upkeep of the index segment: it rebuilds the index from the key tree (and the tries)
// before it serves, then keeps it equal to them in every write hold that changes them.
//
// The hash follows the key tree through the tree observer (store/tree_observer.h), so every path that
// links or unlinks an entry keeps it; the prefix tables are told by the entry layer's prefix routines.
// An update that fails (the index pool is out of memory) clears that structure's valid bit for the
// rest of this worker's life, with one WARN line: readers then take the plain walk for it, and the
// next worker rebuilds it. Only the registered dictionary is kept; other pools change nothing here.
#pragma once

#include <cstdint>

#include "index/index_layout.h"
#include "lpctrie/cidr.h"
#include "store/layout.h"

namespace quillmap {

// Registers `index` (laid out by the daemon: header naming `dict`, pool_bytes set) as the index of
// `dict` and rebuilds it under dict's write lock. Null `index` registers none. 0; -3 when the write
// lock could not be taken (the index is then left not valid).
int64_t start_index(SlabPool* dict, IndexHeader* index);

// Marks `index` (null: none) as agreeing with nothing, so that readers walk the dictionary: what a
// worker does first, before it repairs or lays out the store its predecessor left, and what the
// daemon does to an index it will not keep.
void suspend_index(IndexHeader* index);

// Stops keeping the index (tests; a worker keeps it to the end).
void stop_index();

// The registered index header, or null.
IndexHeader* kept_index();

// The registered index header when it is the index of `dict`, or null (no index, or another pool's).
// Its valid bits say which of its structures agree with dict now.
IndexHeader* kept_index_of(const SlabPool* dict);

// Rebuilds every structure from the dictionary. Write lock of dict held.
void rebuild_index_locked(SlabPool* dict);

// The entry layer tells of every prefix it stores in (or removes from) a trie of `dict`, in the same
// write hold; the prefix tables follow. An IPv4 Cidr has addr4 and mask4 in host order, as the
// entry layer's locked routines hold them. Nothing happens for another pool or without an index.
void index_prefix_stored(const SlabPool* dict, const Cidr& cidr, uint64_t entry_off);
void index_prefix_removed(const SlabPool* dict, const Cidr& cidr);

}  // namespace quillmap
