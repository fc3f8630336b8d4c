// The hash index's anchor in the IndexHeader (64 bytes, fixed) and the format of its table.
//
// The table maps every dictionary entry, by its key's CRC, to the entry's offset in the dictionary
// segment. It is one allocation of the index pool holding `capacity` slots of 8 bytes, searched by
// linear probing kept in Robin Hood order, so that probes stay short and a miss stops early.
//
// Slot (64 bits, 0 = empty):
//
//     63                    37 36                              0
//    +------------------------+---------------------------------+
//    |  h: 27-bit key hash    |  entry offset / 8 (37 bits)     |
//    +------------------------+---------------------------------+
//
//   - h = hash_mix(key_crc) >> 5. The key tree orders entries by key_crc, so neighbouring CRCs are
//     common; hash_mix (a bijective 32-bit finaliser) spreads them before they choose a slot.
//   - An entry is a slab chunk of the dictionary: its offset is a non-zero multiple of 8 below 2^40,
//     so offset / 8 fits 37 bits and a slot naming an entry is never 0.
//   - The home slot of h is hash_home(h, capacity) = (h * capacity) >> 27, which depends on h alone:
//     a slot tells its own home, so growth re-places every slot without reading the dictionary, and
//     a search compares h before it touches an entry.
//   - The displacement of the slot at index i is (i - home) mod capacity.
//
// Invariants of a table (while the change epoch is even):
//   1. table == 0 exactly when there is no table: then capacity, count and bytes are 0 too.
//   2. table is an allocation of the index pool of `bytes` usable bytes; 16 <= capacity <= bytes / 8
//      and capacity <= kHashMaxSlots.
//   3. count slots are occupied; each names a live entry of the dictionary whose key_crc gives the
//      slot's h; no entry is named twice, and every live entry is named.
//   4. Robin Hood order: walking forward (cyclically), the displacement grows by at most one from a
//      slot to the next, an empty slot counting as -1. So the slots between an entry's home and the
//      entry are all occupied, and a search for h that reaches a slot whose displacement is smaller
//      than its own distance from h's home may stop: h is not further on.
//   5. count <= capacity * 7 / 8, so an empty slot always ends a probe.
// A reader racing the writer may see any bytes here; it bounds every read by the pool and every probe
// by the table's capacity and its view's step budget, and validates its answer by the change epoch.
#pragma once

#include <cstddef>
#include <cstdint>

#include "store/layout.h"

namespace quillmap {

struct HashRoot {
  uint64_t table;     // offset of the slot array in the index pool; 0: no table
  uint64_t capacity;  // number of slots
  uint64_t count;     // occupied slots: the entries indexed
  uint64_t bytes;     // usable bytes of the table's allocation
  uint64_t reserved[4];
};

QM_ASSERT_RECORD(HashRoot);
static_assert(sizeof(HashRoot) == 64 && alignof(HashRoot) == 8);
static_assert(offsetof(HashRoot, table) == 0 && offsetof(HashRoot, capacity) == 8 &&
              offsetof(HashRoot, count) == 16 && offsetof(HashRoot, bytes) == 24 &&
              offsetof(HashRoot, reserved) == 32);

inline constexpr uint64_t kHashBits = 27;
inline constexpr uint64_t kHashEntryBits = 37;
inline constexpr uint64_t kHashEntryMask = (uint64_t{1} << kHashEntryBits) - 1;
inline constexpr uint64_t kHashEntryAlign = 8;
inline constexpr uint64_t kHashMinSlots = 16;
inline constexpr uint64_t kHashMaxSlots = uint64_t{1} << 32;
static_assert(kHashBits + kHashEntryBits == 64);

// The 32-bit finaliser of MurmurHash3: a bijection whose every output bit depends on every input bit.
inline constexpr uint32_t hash_mix(uint32_t x) noexcept {
  x ^= x >> 16;
  x *= 0x85ebca6bu;
  x ^= x >> 13;
  x *= 0xc2b2ae35u;
  x ^= x >> 16;
  return x;
}

inline constexpr uint32_t hash_of_crc(uint32_t crc) noexcept { return hash_mix(crc) >> (32 - kHashBits); }

// Home slot of h in a table of `capacity` slots (capacity <= kHashMaxSlots, so the product fits).
inline constexpr uint64_t hash_home(uint32_t h, uint64_t capacity) noexcept {
  return (uint64_t{h} * capacity) >> kHashBits;
}

inline constexpr uint64_t hash_slot(uint32_t h, uint64_t entry_off) noexcept {
  return (uint64_t{h} << kHashEntryBits) | (entry_off / kHashEntryAlign);
}
inline constexpr uint32_t hash_slot_hash(uint64_t slot) noexcept {
  return static_cast<uint32_t>(slot >> kHashEntryBits);
}
inline constexpr uint64_t hash_slot_entry(uint64_t slot) noexcept {
  return (slot & kHashEntryMask) * kHashEntryAlign;
}

// Displacement of the slot at index i whose home is `home` (both below capacity).
inline constexpr uint64_t hash_displacement(uint64_t i, uint64_t home, uint64_t capacity) noexcept {
  return i >= home ? i - home : i + capacity - home;
}

}  // namespace quillmap
