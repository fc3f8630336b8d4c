// The lock holds of the entry operations, each owned by a scope and logging in the operation's own
// name `op`: ERROR "<op>: could not get read lock" / "<op>: could not get write lock" when the lock
// is not taken, WARN "<op>: could not remove read lock" / "<op>: could not remove write lock" when a
// release fails (the operation's result does not change then).
//
// A write hold of the dictionary whose changes the worker publishes (store/change_epoch.h) brackets
// the change epoch: rwlock_wlock makes it odd as soon as the lock is taken, before the first store
// of the change, and rwlock_unlock makes it even after the last one, before the word is freed. The
// bracket lives in the lock module so that every write path has it; WriteHold gets it from there.
#pragma once

#include <cstdint>

#include "store/layout.h"

namespace quillmap {

class LockHold {
 public:
  LockHold(const LockHold&) = delete;
  LockHold& operator=(const LockHold&) = delete;

  // Whether the hold was obtained; an operation whose hold failed returns kLockTimeout.
  explicit operator bool() const noexcept { return held_; }

  // Ends the hold before the scope does (nothing when it is not held).
  void release() noexcept;

 protected:
  LockHold(SlabPool* pool, const char* op, bool write) noexcept;
  ~LockHold() { release(); }

 private:
  SlabPool* pool_;
  const char* op_;
  bool write_;
  bool held_;
};

// A read share for lookups and snapshots.
class ReadHold : public LockHold {
 public:
  ReadHold(SlabPool* pool, const char* op) noexcept : LockHold(pool, op, false) {}
};

// The write hold for one change of the store.
class WriteHold : public LockHold {
 public:
  WriteHold(SlabPool* pool, const char* op) noexcept : LockHold(pool, op, true) {}
};

// Looks the exact key up (find_entry) under a read share: kDone with *found set (null when absent),
// or kLockTimeout with *found untouched. The changing operations act on this answer under the write
// hold they take next: only the worker changes the dictionary, so it still holds then.
int64_t lookup_entry(SlabPool* pool, const char* op, const char* key, uint64_t key_len, RbtreeNode** found);

// The first steps of an ADD, in the operation's name `op`: kDone when the key and value can be stored and
// the key is absent; kFailed when they cannot be stored; kLockTimeout; kNothingToDo, with the WARN
// "Could not add key %s because key exists", when an entry of either kind has this key.
int64_t admit_new_key(SlabPool* pool, const char* op, const char* key, uint64_t key_len, const char* value,
                      uint64_t value_len);

}  // namespace quillmap
