// The companion state segment: a small segment beside the dictionary segment, keyed from the same data
// path (project id kStateProjectId), created, owned and removed with it. It holds what must survive a
// worker and be visible to the next one, and what lock-free readers need, without touching the
// dictionary's own layout. Like the dictionary it is an inter-process format of fixed-width fields.
//
// Invariants:
//   1. magic, version and the dictionary's identity (its shmid and creation time) are written once,
//      when the segment is created or found naming another dictionary; a header whose identity does
//      not match the attached dictionary says nothing about it.
//   2. change_epoch is even while the dictionary is not being changed. The worker makes it odd before
//      its first store of a change and even again after its last one, under the write lock, with
//      release ordering on both sides; a reader that sees the same even epoch before and after its
//      reads has seen no change.
//   3. kStateSaved is set only when the data file holds the whole dictionary; every change clears it.
//      kStateFileHeld is set while the data file could not be loaded whole and no copy of it could be
//      kept beside it; nothing writes over the data file then.
//   4. intent.op is kIntentNone except while one change is in flight; the record holds what a
//      successor needs to undo that change (it is written and fenced before the change begins).
#pragma once

#include <cstddef>
#include <cstdint>

#include "store/layout.h"
#include "store/segment_identity.h"

namespace quillmap {

inline constexpr uint64_t kStateMagic = 0x3145544154534d51ull;  // "QMSTATE1" in memory order
inline constexpr uint32_t kStateVersion = 1;

// flags
inline constexpr uint64_t kStateLoaded = 1;  // a worker of this master finished its start-up load
inline constexpr uint64_t kStateSaved = 2;   // the data file holds the store as it is
inline constexpr uint64_t kStateRebuilding = 4;  // a rebuild is replaying its salvage file
inline constexpr uint64_t kStateFileHeld = 8;    // the data file did not load whole and no copy of it is kept

inline constexpr size_t kIntentBytes = 2048;  // a request body is at most this long

enum IntentOp : uint64_t {
  kIntentNone = 0,
  // An entry's value overwritten in its own chunk: node is the entry, old_value_len and old_expires
  // its fields before, old_bytes the first saved_len bytes of its value before.
  kIntentValueInPlace = 1,
};

struct IntentRecord {
  uint64_t op;            // IntentOp
  uint64_t node;          // offset of the entry the change touches
  uint64_t aux[6];        // further record offsets, by op
  uint64_t key_len;       // bytes of key (the entry's key, for messages)
  uint64_t saved_len;     // bytes of old_bytes in use
  uint64_t old_value_len;
  uint64_t old_expires;
  uint8_t key[kIntentBytes];
  uint8_t old_bytes[kIntentBytes];
};

struct StateHeader {
  uint64_t magic;
  uint32_t version;
  uint32_t header_size;   // sizeof(StateHeader) of the writer
  int64_t dict_id;        // shmid of the dictionary segment
  int64_t dict_ctime;     // its creation time (shm_ctime at creation)
  uint64_t change_epoch;
  uint64_t flags;
  uint64_t reserved[2];
  IntentRecord intent;
};

static_assert(std::is_standard_layout_v<IntentRecord> && std::is_trivially_copyable_v<IntentRecord>);
static_assert(std::is_standard_layout_v<StateHeader> && std::is_trivially_copyable_v<StateHeader>);
static_assert(offsetof(IntentRecord, op) == 0 && offsetof(IntentRecord, node) == 8 && offsetof(IntentRecord, aux) == 16);
static_assert(offsetof(IntentRecord, key_len) == 64 && offsetof(IntentRecord, saved_len) == 72);
static_assert(offsetof(IntentRecord, old_value_len) == 80 && offsetof(IntentRecord, old_expires) == 88);
static_assert(offsetof(IntentRecord, key) == 96 && offsetof(IntentRecord, old_bytes) == 96 + kIntentBytes);
static_assert(sizeof(IntentRecord) == 96 + 2 * kIntentBytes);
static_assert(offsetof(StateHeader, magic) == 0 && offsetof(StateHeader, version) == 8 &&
              offsetof(StateHeader, header_size) == 12);
static_assert(offsetof(StateHeader, dict_id) == 16 && offsetof(StateHeader, dict_ctime) == 24);
static_assert(offsetof(StateHeader, change_epoch) == 32 && offsetof(StateHeader, flags) == 40);
static_assert(offsetof(StateHeader, intent) == 64);
static_assert(sizeof(StateHeader) == 64 + sizeof(IntentRecord) && alignof(StateHeader) == 8);

// The state segment's size: the header rounded up to whole 4096-byte pages.
inline constexpr size_t kStateSegmentSize = (sizeof(StateHeader) + 4095) / 4096 * 4096;

}  // namespace quillmap
