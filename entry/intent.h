// Changes that a worker killed halfway must not leave half done, journalled in the state segment's
// intent record (store/state_layout.h) so that the next worker can undo them.
//
// Protocol of a journalled change, under the write lock:
//   1. everything needed to undo it is written into the record, then the record's op, each ordered
//      before what follows (release fences);
//   2. the change is made;
//   3. op is cleared.
// A successor that finds op set undoes that one change before it trusts the store.
#pragma once

#include <cstdint>

#include "store/layout.h"
#include "store/state_layout.h"

namespace quillmap {

// Overwrites the value and expiry of `node` in its own chunk (the new value must fit:
// value_fits_in_place). Journalled through the published state header when there is one, so that a
// kill at any store leaves the old value and expiry whole. Write lock held.
void overwrite_value_in_place_locked(SlabPool* pool, RbtreeNode* node, const char* value, uint64_t value_len,
                                     uint64_t expires);

// Whether `value_len` bytes fit behind the key of `node` in the chunk it was allocated in.
bool value_fits_in_place(const SlabPool* pool, const RbtreeNode* node, uint64_t value_len);

// For a replacement worker, before it serves: undoes the change recorded in `state` (when one is),
// clears the record and makes a dead writer's odd epoch even, with CRIT naming what was found and
// done. Without a record an odd epoch is left odd for the rebuild. No lock needed: no other writer
// exists.
void undo_interrupted_change(SlabPool* pool, StateHeader* state);

// Names `node` as the entry the current write hold links or unlinks, so that a rebuild after a kill
// finds it even when no tree link reaches it (intent.aux[0]; the end of the hold clears it).
void note_entry_in_flight(const SlabPool* pool, const RbtreeNode* node);

// Names `node` as the new entry that replaces one which the current write hold unlinks and frees
// first (intent.aux[4]; the end of the hold clears it).
void note_replacement_in_flight(const SlabPool* pool, const RbtreeNode* node);

// Forgets any record (a first worker lays the store out afresh).
void clear_intent(StateHeader* state);

}  // namespace quillmap
