// Laying out a fresh store in an attached segment. The complete start-up sequence (clearing the lock,
// creating the key tree and both tries under the write lock) is built on these by the entry layer.
#pragma once

#include <cstdint>

#include "store/layout.h"

namespace quillmap {

// Sets min_chunk_shift 3, pool_end = data_size, min_chunk 8 (in that order), then slab_init. No lock
// is taken: the caller is the segment's only user. Requires host_params_init() and a data_size of at
// least store_min_data_size() and at most the attached segment's size (start-up refuses others).
void store_layout(SlabPool* pool, int64_t data_size);

// Creates the empty key tree: a 16-byte TreeRoot and a 64-byte black sentinel, root = sentinel, and
// records the TreeRoot's offset in key_tree. 0, or -1 when an allocation failed (nothing is kept and
// key_tree is left 0). Write lock held.
int64_t store_create_key_tree_locked(SlabPool* pool);

// The smallest data_size for which store_layout yields the 4 pages that initialisation takes (class
// pages for the TreeRoot, the sentinel and the two trie roots) with this process's page size. Every
// larger size yields at least as many. Requires host_params_init().
int64_t store_min_data_size();

}  // namespace quillmap
