// The records of a longest-prefix table in the index pool: its anchor in the IndexHeader (one for each
// family) and the stride-8 node. How they form a table, and its invariants, is told in
// index/prefix_table.h. Every offset here is relative to the index pool, except the values (entry
// offsets into the dictionary segment).
#pragma once

#include <cstddef>
#include <cstdint>

#include "store/layout.h"

namespace quillmap {

// Bits of an address consumed by the first level, and by each node below it.
inline constexpr unsigned kPrefixTopBits = 16;
inline constexpr unsigned kPrefixNodeBits = 8;
inline constexpr uint64_t kPrefixTopSlots = uint64_t{1} << kPrefixTopBits;
inline constexpr unsigned kPrefixNodeSlots = 1u << kPrefixNodeBits;

// A first-level word holds either a value (an entry offset, 0 for no match) or, with this flag, the
// pool offset of the node below the slot. Entry offsets never have the flag set.
inline constexpr uint64_t kPrefixNodeFlag = uint64_t{1} << 63;

struct PrefixRoot {
  uint64_t top_off;     // pool offset of the first level (kPrefixTopSlots words); 0: no table
  uint32_t key_bits;    // 32 (IPv4) or 128 (IPv6)
  uint32_t reserved0;
  uint64_t bytes;       // bytes the table holds in the pool (as the allocator sized them)
  uint64_t prefixes;    // prefixes stored
  uint64_t nodes;       // nodes below the first level
  uint64_t reserved[3];
};

QM_ASSERT_RECORD(PrefixRoot);
static_assert(sizeof(PrefixRoot) == 64 && alignof(PrefixRoot) == 8);
static_assert(offsetof(PrefixRoot, top_off) == 0 && offsetof(PrefixRoot, key_bits) == 8 &&
              offsetof(PrefixRoot, bytes) == 16 && offsetof(PrefixRoot, prefixes) == 24 &&
              offsetof(PrefixRoot, nodes) == 32 && offsetof(PrefixRoot, reserved) == 40);

// A node: 256 slots, one for each value of the next address byte. Slot i is a child when bit i of
// child_bits is set (bit i is bit i % 64 of word i / 64); the children, in slot order, are the
// records of the array at children_off. Every other slot is a leaf; leaves are compressed by runs: bit
// i of run_bits is set when slot i is a leaf whose value differs from the previous leaf slot's (or is
// the first leaf slot), and the runs' values, in slot order, are the words of the array at leaves_off.
// So a child slot i is record popcount(child_bits[0..i]) - 1, a leaf slot i is value
// popcount(run_bits[0..i]) - 1.
struct PrefixNode {
  uint64_t child_bits[4];
  uint64_t run_bits[4];
  uint64_t children_off;  // 0 when the node has no child
  uint64_t leaves_off;    // 0 when the node has no leaf slot
};

QM_ASSERT_RECORD(PrefixNode);
static_assert(sizeof(PrefixNode) == 80 && alignof(PrefixNode) == 8);
static_assert(offsetof(PrefixNode, child_bits) == 0 && offsetof(PrefixNode, run_bits) == 32 &&
              offsetof(PrefixNode, children_off) == 64 && offsetof(PrefixNode, leaves_off) == 72);

}  // namespace quillmap
