// How the worker finds a dictionary entry by its key text, for every request that names a key
// (GET, ADD's existence check, SET and DEL of string and address requests).
//
// While the worker keeps an index of this dictionary whose hash agrees with the key tree
// (kIndexHashValid), the entry is found through the hash: its slot, then the entry itself, a few
// cache misses where the tree walk takes one per level. Otherwise (no index, another pool, the hash
// given up after it ran out of room) the key tree is walked. Both give the very same entry: the hash
// names exactly the tree's entries, kept so in every write hold by the tree observer.
#pragma once

#include <cstdint>

#include "store/layout.h"

namespace quillmap {

// The entry whose key is exactly `key` (key_len bytes; key may be null with length 0), or null.
// The caller holds a read share or the write hold of the dictionary's lock, and is not between the
// two halves of a tree change (the hash follows each link and unlink as it happens).
RbtreeNode* find_entry(SlabPool* pool, const char* key, uint64_t key_len);

// For a run of requests: the two stages of fetching ahead what find_entry will read for a key of
// checksum `crc` (crc32_short of its text): the hash slot, then, once that has arrived, the entry it
// names. Hints only: nothing is changed or answered, and without a valid hash they do nothing. The
// caller holds a share or the write hold, or is the store's only writer between its changes.
void prefetch_entry_slot(SlabPool* pool, uint32_t crc);
void prefetch_entry_node(SlabPool* pool, uint32_t crc);
// A third stage for a DEL: once the entry has arrived, its tree neighbours (parent and children),
// which the unlinking reads and rewrites.
void prefetch_entry_links(SlabPool* pool, uint32_t crc);

}  // namespace quillmap
