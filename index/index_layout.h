// The index segment: lookup structures beside the dictionary, so that a reader finds an entry in a few
// memory reads instead of walking the key tree or a prefix trie. It is derived data: the dictionary
// segment stays the authority, and a worker rebuilds the index from the key tree and the tries before
// it serves.
//
// The segment (project id kIndexProjectId, keyed from the data path like the dictionary) begins with
// one page holding the IndexHeader; at kIndexPoolOffset a slab pool of the store's own allocator
// carves the rest. Every offset the index stores is relative to that pool (pool_base = segment +
// kIndexPoolOffset), except entry offsets, which are offsets into the dictionary segment, as the
// tries store them.
//
// Invariants:
//   1. magic, version and the dictionary's identity are written once, when the segment is created or
//      found naming another dictionary.
//   2. valid holds a bit for each structure that agrees with the dictionary (kIndexHashValid,
//      kIndexPrefix4Valid, kIndexPrefix6Valid). A worker clears them before it rebuilds and sets them
//      after, and clears one for good when an update of its structure fails (no memory), all under
//      the write lock; a reader that finds its bit clear takes the plain walk.
//   3. The index changes only under the dictionary's write lock, inside the change epoch of the state
//      segment, in the same write hold as the change of the tree or trie it mirrors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "index/hash_layout.h"
#include "index/prefix_layout.h"
#include "store/layout.h"
#include "store/segment_identity.h"

namespace quillmap {

inline constexpr uint64_t kIndexMagic = 0x315845444e494d51ull;  // "QMINDEX1" in memory order
inline constexpr uint32_t kIndexVersion = 1;
inline constexpr uint64_t kIndexPoolOffset = 4096;

inline constexpr uint64_t kIndexHashValid = 1;
inline constexpr uint64_t kIndexPrefix4Valid = 2;
inline constexpr uint64_t kIndexPrefix6Valid = 4;

struct IndexHeader {
  uint64_t magic;
  uint32_t version;
  uint32_t header_size;  // sizeof(IndexHeader) of the writer
  int64_t dict_id;       // shmid of the dictionary segment
  int64_t dict_ctime;    // its creation time
  uint64_t valid;        // kIndex*Valid bits
  uint64_t pool_bytes;   // bytes of the pool at kIndexPoolOffset
  uint64_t reserved[2];
  HashRoot hash;
  PrefixRoot prefix4;
  PrefixRoot prefix6;
};

QM_ASSERT_RECORD(IndexHeader);
static_assert(offsetof(IndexHeader, magic) == 0 && offsetof(IndexHeader, version) == 8 &&
              offsetof(IndexHeader, header_size) == 12);
static_assert(offsetof(IndexHeader, dict_id) == 16 && offsetof(IndexHeader, dict_ctime) == 24);
static_assert(offsetof(IndexHeader, valid) == 32 && offsetof(IndexHeader, pool_bytes) == 40);
static_assert(offsetof(IndexHeader, hash) == 64 && offsetof(IndexHeader, prefix4) == 128 &&
              offsetof(IndexHeader, prefix6) == 192);
static_assert(sizeof(IndexHeader) == 256 && sizeof(IndexHeader) <= kIndexPoolOffset);

// The index segment's size for a dictionary of `data_size` bytes: room for the hash of as many
// entries as the dictionary can hold (one per 64 bytes, at most 24 bytes each while the table grows)
// and 64 MiB for the prefix tables of large address tables, plus the pool's own bookkeeping. It is
// created without reserving memory: only the pages the index touches take any.
inline constexpr uint64_t index_segment_bytes(int64_t data_size) noexcept {
  const uint64_t bytes = kIndexPoolOffset + static_cast<uint64_t>(data_size) / 64 * 24 * 21 / 20 + (uint64_t{64} << 20);
  return (bytes + 4095) / 4096 * 4096;
}

// Bytes of the index's structures (its tables), as the header names them.
inline uint64_t index_structure_bytes(const IndexHeader& h) noexcept {
  return __atomic_load_n(&h.hash.bytes, __ATOMIC_RELAXED) + __atomic_load_n(&h.prefix4.bytes, __ATOMIC_RELAXED) +
         __atomic_load_n(&h.prefix6.bytes, __ATOMIC_RELAXED);
}

inline SlabPool* index_pool(IndexHeader* h) noexcept {
  return reinterpret_cast<SlabPool*>(reinterpret_cast<uint8_t*>(h) + kIndexPoolOffset);
}

}  // namespace quillmap
