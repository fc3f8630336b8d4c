// The worker's publication of its changes in the state segment: the change epoch (odd while the
// dictionary changes) and the "saved" flag that every change clears.
//
// One process publishes for one dictionary: the worker registers its dictionary's lock word and state
// header once; from then on every write hold of that lock taken with rwlock_wlock makes the epoch odd
// as it begins and even as rwlock_unlock ends it, so no write path can forget it. Processes that
// register nothing (readers, tools, most tests) publish nothing.
#pragma once

#include <cstdint>

#include "store/state_layout.h"

namespace quillmap {

// Makes `state` the header that write holds of `lock` publish to; null `state` stops publishing.
void publish_changes(const uint64_t* lock, StateHeader* state);

// The registered header, or null.
StateHeader* published_state();

// Which unbroken run of this process's own changes the published dictionary is in: the number moves
// on whenever a change begins on an epoch other than the one this process's last change left (another
// writer came between, or publishing began anew). 0 when `lock` is not the registered one. Process
// memory that mirrors the store stays true while this number stays the same.
uint64_t published_chain(const uint64_t* lock);

// Called by the lock module: a write hold of `lock` has begun / is about to end.
void note_write_begins(const uint64_t* lock);
void note_write_ends(const uint64_t* lock);

// For a change made without the lock (the layout of the store), or one made of several write holds
// that readers must not see halfway (a rebuild): the same odd/even bracket. Brackets nest; write holds
// inside one leave the epoch odd, and only the outermost end makes it even.
void change_begins();
void change_ends();

// A worker starting on a store whose last writer died mid-change calls this once the store is
// repaired: an odd epoch left behind becomes even, so that readers validate again.
void settle_change_epoch();

// Names a record that the current write hold is relinking (intent.aux[slot], slot 0 .. 5), so that
// a rebuild after a kill finds it even when no link reaches it; the end of the hold clears them.
void note_in_flight(int slot, uint64_t offset);

// The data file now holds the whole store (call after a dump to the data file succeeded).
void note_store_saved();
bool store_saved();

// Whether the data file must not be overwritten: it did not load whole and no copy of it could be
// kept (kStateFileHeld). It outlives the worker that set it, with the state segment.
void note_data_file_held(bool held);
bool data_file_held();

// Whether a worker of this master finished its start-up load; set once it has.
bool startup_load_done();
void note_startup_load_done();

}  // namespace quillmap
