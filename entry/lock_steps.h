// The lock steps every entry operation repeats, each logging in the operation's own name `op`:
// ERROR "<op>: could not get read lock" / "<op>: could not get write lock" when a lock is not taken,
// WARN "<op>: could not remove read lock" / "<op>: could not remove write lock" when a release fails
// (the operation's result does not change then).
#pragma once

#include <cstdint>

#include "store/layout.h"

namespace quillmap {

// Looks the exact key up under the read lock: kDone with *found set (null when absent), or
// kLockTimeout with *found untouched.
int64_t lookup_entry(SlabPool* pool, const char* op, const char* key, uint64_t key_len, RbtreeNode** found);

// True when the write lock is now held.
bool take_write_lock(SlabPool* pool, const char* op);

// Releases a hold of either kind.
void release_write_lock(SlabPool* pool, const char* op);
void release_read_lock(SlabPool* pool, const char* op);

// True when a read share is now held.
bool take_read_lock(SlabPool* pool, const char* op);

// The first steps of an ADD, in the operation's name `op`: kDone when the key and value can be stored and
// the key is absent; kFailed when they cannot be stored; kLockTimeout; kNothingToDo, with the WARN
// "Could not add key %s because key exists", when an entry of either kind has this key.
int64_t admit_new_key(SlabPool* pool, const char* op, const char* key, uint64_t key_len, const char* value,
                      uint64_t value_len);

}  // namespace quillmap
