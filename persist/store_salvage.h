// Rebuilding a store that a worker left in the middle of a change.
//
// A worker killed while it held the write lock (the change epoch is odd and no journalled in-place
// write explains it) may have left the key tree mid-rotation, a trie mid-resize or the allocator
// mid-update. Rather than trust structures that may be half changed, the next worker keeps what the
// entries themselves say and rebuilds everything else:
//   1. every entry record reachable by any tree link (left, right or parent) from the root, from the
//      sentinel's links, or from the records the dying worker had named as in flight (the entry it
//      linked or unlinked, the entry replacing it, a successor being spliced, the two nodes of a rotation) is a candidate;
//      the sentinel itself is excluded;
//   2. a candidate is kept only when it lies in the pool, is aligned as a node chunk, starts an
//      allocation that is in use and large enough for its key and value, and has a sane kind flag;
//   3. candidates are deduplicated by key (the in-flight entry first, so a replacement in flight is
//      kept whole), copied out, the store is laid out afresh, and they are stored again, address
//      entries with their prefixes.
// Every entry whose write had been answered is linked somewhere and comes back; the one write in
// flight comes back whole or not at all.
//
// The rebuild itself may be killed: before the store is laid out afresh, the kept entries are written
// to "<data_path>.salvage" (with a length and CRC-32 trailer, synced) and kStateRebuilding is set;
// a successor that finds the flag replays that file instead, and the file goes when the rebuild is
// done.
#pragma once

#include <cstdint>

#include "store/layout.h"
#include "store/state_layout.h"

namespace quillmap {

struct SalvageReport {
  int64_t kept = 0;       // entries stored again
  int64_t dropped = 0;    // records refused by the checks or duplicates
};

// Whether `state` shows a write hold that never ended (and no journalled change to undo), or a
// rebuild that was itself cut short.
bool write_was_interrupted(const StateHeader* state);

// Rebuilds the store as above (the caller is its only writer). kDone with `report` filled, logging
// CRIT "The previous worker died during a change; the store was rebuilt from %ld entries (%ld
// records dropped)"; or the layout's failure code.
int64_t salvage_store(SlabPool* pool, int64_t data_size, SalvageReport* report);

}  // namespace quillmap
