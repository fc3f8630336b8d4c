// The segment's reader/writer lock: the 64-bit word at offset 0 of the segment.
//
//   0                  free
//   all ones           held by one writer
//   n (1 .. all-1)     held by n readers
//
// No owner, no waiting count, no writer preference: a writer gets the word only when it is 0, and
// readers are admitted whenever no writer holds it. Every compare-and-swap is a full barrier; the
// plain stores of 0 (a writer's release, force_unlock) are release-ordered so that they are never
// seen before the writer's changes to the segment.
//
// Taking the lock tries at most kLockPasses passes. A pass is one attempt; then, when more than one
// processor is online, eleven spin bursts of 1, 2, 4, ..., 1024 spin-wait hints, each followed by an
// attempt; then usleep(1). The lock is not recursive: a holder asking again times out.
#pragma once

#include <cstdint>

namespace quillmap {

inline constexpr int kLockPasses = 1024;
inline constexpr uint64_t kLockWriter = ~uint64_t{0};

// 0: the caller now holds the lock as its writer; -3 (kLockTimeout): gave up, the word untouched.
// A write hold of the worker's dictionary also brackets the change epoch (change_epoch.h).
int64_t rwlock_wlock(uint64_t* lock);

// 0: the caller now holds one reader share; -3: gave up, the word untouched.
int64_t rwlock_rlock(uint64_t* lock);

// Releases the caller's hold of either kind. 0 on success; -3 when the word kept changing for
// kLockPasses attempts, or when the word is 0 (nothing to release), leaving the word unchanged.
int64_t rwlock_unlock(uint64_t* lock);

// Release for processes that only ever read: gives back one reader share by decrementing a count of
// at least 1. Never turns 0 into all ones and never clears a writer's hold (a share that was taken
// away by force_unlock cannot be given back). 0 on success; -3 when the word is 0 or all ones, or
// kept changing for kLockPasses attempts; the word is then untouched.
int64_t rwlock_read_unlock(uint64_t* lock);

// Sets the word to 0 whatever holds it: 0 when it was held, -4 (kNothingToDo) when it was free.
int64_t force_unlock(uint64_t* lock);

// Number of spin bursts executed by this process so far (lets tests see that a single-processor
// host never spins).
uint64_t rwlock_spin_bursts();

}  // namespace quillmap
