// The hash index: an exact get in about two cache misses (the slot's line, then the entry).
//
// The table (format and invariants in index/hash_layout.h) lives in the index pool; every entry it
// names lives in the dictionary segment, whose base the writer passes as dict_base. The writer keeps it
// equal to the key tree: the entry layer calls hash_insert_locked, hash_remove_locked,
// hash_replace_locked and hash_clear_locked in the same write hold, inside the change epoch, as the
// tree change they mirror.
//
// Growth and shrinking build the new table beside the old one, re-place every slot, switch the root
// and free the old table, all in one call: a reader sees either table (or, torn, a mix of the two
// roots that the pool bounds and the epoch rejects).
//
// Memory: the table grows when an insert would take it past 7/8 full, to 5/8 full, and shrinks to 5/8
// full when a removal leaves it below 1/3 full. So a large table costs 9.1 to 12.8 bytes per entry
// while it grows and at most 24 while it empties; for the moment of a growth both tables exist (22).
// Tables of a few hundred slots take a whole size class of the pool and may cost more.
//
// Result codes: kDone (0), kFailed (-1: no memory for the table, or an offset the slot format cannot
// hold), kNothingToDo (-4: the entry is not in the table).
#pragma once

#include <cstdint>
#include <cstring>

#include "index/hash_layout.h"
#include "store/layout.h"

namespace quillmap {

// Lays out an empty table sized for expected_entries in root. Whatever root held before is
// overwritten, not freed: call it on a zeroed root, after hash_clear_locked, or on a pool laid out
// afresh. -1 when the pool has no memory for it (root then holds no table; inserts will try again).
// Write lock of the index held.
int64_t hash_init_locked(SlabPool* ipool, HashRoot* root, uint64_t expected_entries);

// Adds the entry at entry_off in the dictionary (its key_crc is read; the caller guarantees that no
// entry of the same key is in the table). Grows the table first when needed. -1 when the pool has no
// memory for a bigger table or entry_off is not a non-zero multiple of 8 below 2^40: the table is then
// unchanged, consistent and complete without the new entry.
int64_t hash_insert_locked(SlabPool* ipool, HashRoot* root, const void* dict_base, uint64_t entry_off);

// Takes the entry at entry_off out of the table. Its key's checksum is computed from its key bytes, so
// the entry's key_len and key bytes must still be in place (its chunk not yet freed); its key_crc and
// tree links may already be cleared by rbtree_delete. -4 when the table does not name that entry.
// Shrinks the table when it falls below 1/3 full and a smaller one can be had (if not, it stays).
int64_t hash_remove_locked(SlabPool* ipool, HashRoot* root, const void* dict_base, uint64_t entry_off);

// The entry at old_off was replaced by the entry of the same key at new_off (SET): the slot naming
// old_off names new_off. new_off's key_crc is read; old_off is not read. -4 when old_off is not in the
// table, -1 when new_off cannot be held by a slot (nothing changed either way).
int64_t hash_replace_locked(SlabPool* ipool, HashRoot* root, const void* dict_base, uint64_t old_off,
                            uint64_t new_off);

// Empties the table and frees it; root then holds no table, and the next insert allocates a small one.
void hash_clear_locked(SlabPool* ipool, HashRoot* root);

inline uint64_t hash_entry_count(const HashRoot& root) noexcept { return root.count; }
inline uint64_t hash_bytes(const HashRoot& root) noexcept { return root.bytes; }

// ---- read side: the same code for the daemon (TrustedView) and outside readers (checked views) ----

namespace hash_detail {

// Every field a reader takes from memory that a writer may change is read once, into a local, so the
// value checked is the value used.
template <class T>
[[gnu::always_inline]] inline T load_once(const T& field) noexcept {
  return __atomic_load_n(&field, __ATOMIC_RELAXED);
}

// The slot array of root through the view, with its capacity; nullptr when root names no table or
// one the view refuses (not in the pool, not aligned).
template <class IndexView>
[[gnu::always_inline]] inline const uint64_t* table_of(IndexView& iv, const HashRoot& root,
                                                       uint64_t* capacity) noexcept {
  const uint64_t table = load_once(root.table);
  const uint64_t cap = load_once(root.capacity);
  if (table == 0 || cap == 0 || cap > kHashMaxSlots) return nullptr;
  *capacity = cap;
  return iv.template at<uint64_t>(table, cap * sizeof(uint64_t));
}

template <class DictView>
[[gnu::always_inline]] inline void prefetch_descriptor(DictView& dv, uint64_t off) noexcept {
  if constexpr (requires { dv.prefetch_chunk_of(off); }) dv.prefetch_chunk_of(off);
}

}  // namespace hash_detail

// Offset of the entry whose key is `key` (len bytes, checksum crc = crc32_short(key, len)), or 0 when
// the table names none. Every table read goes through iv (offsets of the index pool), every entry read
// through dv (offsets of the dictionary): the slot array once as a whole, the entry header with
// at<RbtreeNode>(off, kNodeHeaderSize), the key bytes with at<uint8_t>(off + 57, len). One step() per
// slot probed; the probe never passes the table's capacity. A refusal by either view ends the search
// with 0 (ask the view whether it failed).
template <class IndexView, class DictView>
uint64_t hash_find(IndexView& iv, const HashRoot& root, DictView& dv, const void* key, uint64_t len,
                   uint32_t crc) noexcept {
  using hash_detail::load_once;
  uint64_t cap = 0;
  const uint64_t* slots = hash_detail::table_of(iv, root, &cap);
  if (slots == nullptr) return 0;
  const uint32_t h = hash_of_crc(crc);
  uint64_t i = hash_home(h, cap);
  for (uint64_t dist = 0; dist < cap; ++dist) {
    if (!iv.step()) return 0;
    const uint64_t slot = load_once(slots[i]);
    if (slot == 0) return 0;
    const uint32_t slot_h = hash_slot_hash(slot);
    if (hash_displacement(i, hash_home(slot_h, cap), cap) < dist) return 0;
    if (slot_h == h) {
      const uint64_t off = hash_slot_entry(slot);
      hash_detail::prefetch_descriptor(dv, off + kNodeHeaderSize);
      const RbtreeNode* node = dv.template at<RbtreeNode>(off, kNodeHeaderSize);
      if (node == nullptr) return 0;
      if (load_once(node->key_crc) == crc && load_once(node->key_len) == len) {
        const uint8_t* bytes = dv.template at<uint8_t>(off + kNodeHeaderSize, len);
        if (bytes == nullptr) return 0;
        if (len == 0 || std::memcmp(bytes, key, len) == 0) return off;
      }
    }
    if (++i == cap) i = 0;
  }
  return 0;
}

// Starts fetching the line of crc's home slot, for lookups of many keys: prefetch every key's slot
// first, then find each. Reads only the root; a refusal of the view is remembered as by hash_find.
template <class IndexView>
void hash_prefetch(IndexView& iv, const HashRoot& root, uint32_t crc) noexcept {
  uint64_t cap = 0;
  const uint64_t* slots = hash_detail::table_of(iv, root, &cap);
  if (slots != nullptr) __builtin_prefetch(slots + hash_home(hash_of_crc(crc), cap));
}

// The second stage of a batch: reads crc's home slot (fetched by hash_prefetch) and, when it may name
// the key's entry, starts fetching that entry's header. Reads nothing of the dictionary.
// The entry crc's home slot names when its hash matches (it may still be another key's), else 0.
template <class IndexView>
uint64_t hash_home_entry(IndexView& iv, const HashRoot& root, uint32_t crc) noexcept {
  uint64_t cap = 0;
  const uint64_t* slots = hash_detail::table_of(iv, root, &cap);
  if (slots == nullptr) return 0;
  const uint32_t h = hash_of_crc(crc);
  const uint64_t slot = hash_detail::load_once(slots[hash_home(h, cap)]);
  return slot != 0 && hash_slot_hash(slot) == h ? hash_slot_entry(slot) : 0;
}

template <class IndexView, class DictView>
void hash_prefetch_entry(IndexView& iv, const HashRoot& root, DictView& dv, uint32_t crc) noexcept {
  const uint64_t off = hash_home_entry(iv, root, crc);
  if (off == 0) return;
  hash_detail::prefetch_descriptor(dv, off + kNodeHeaderSize);
  if (const RbtreeNode* node = dv.template at<RbtreeNode>(off, kNodeHeaderSize)) {
    __builtin_prefetch(node);
    __builtin_prefetch(reinterpret_cast<const uint8_t*>(node) + 64);  // the key's end and the value's start
  }
}

}  // namespace quillmap
