// The records of the prefix tries, as they lie in the segment. One template over the key traits gives
// both layouts; the static_asserts below prove each field sits where other processes read it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "lpctrie/key_traits.h"
#include "store/layout.h"

namespace quillmap {

static_assert(std::endian::native == std::endian::little,
              "128-bit node fields are stored low word first, which is the native order only here");

// The offset that stands for "no record" in the tries.
inline constexpr uint64_t kNoOffset = ~uint64_t{0};

// One node of a trie: the trie root, an internal node or a leaf (see lpctrie.h). The record is
// followed by the rest of its slots: an internal node has 2^bits of them, a leaf and the root one.
// Slots are reached through node_slots(), never by indexing children_off past its declared length.
template <class Traits>
struct LpcNode {
  using Key = typename Traits::Key;

  Key key;             // internal: key bits at and above pos + bits; leaf: the network address; root: 0
  Key empty_children;  // internal: number of empty slots
  Key full_children;   // internal: number of full children
  uint8_t pos;         // lowest key bit taken by the child index; 0 for a leaf, kKeyLength for the root
  uint8_t bits;        // key bits taken by the child index; 0 for a leaf and the root
  uint8_t slen;        // never below the longest suffix stored underneath
  uint8_t pad[Traits::kNodePad];
  uint64_t parent_off;       // kNoOffset for the root
  uint64_t children_off[1];  // first slot; a leaf's slot heads its alias list
};

// One stored prefix of a leaf.
struct LpcAlias {
  uint64_t next_off;   // next alias of the same leaf (longer suffix); kNoOffset at the end
  uint64_t pprev_off;  // offset of the 8-byte field holding this alias's offset; kNoOffset when unlinked
  uint8_t slen;        // suffix length of the prefix
  uint8_t pad[7];
  uint64_t value;  // the caller's value
};

using LpcNode32 = LpcNode<Trie32Traits>;
using LpcNode128 = LpcNode<Trie128Traits>;

// Bytes before the first slot, and bytes of a node with `bits` index bits (leaf and root: one slot,
// rounded up to the record's alignment).
template <class Traits>
inline constexpr uint64_t kSlotsOffset = offsetof(LpcNode<Traits>, children_off);

template <class Traits>
constexpr uint64_t node_bytes(unsigned bits) noexcept {
  return bits == 0 ? sizeof(LpcNode<Traits>) : kSlotsOffset<Traits> + (uint64_t{8} << bits);
}

// Largest `bits` any node may have: such a node already takes 8 << kMaxNodeBits bytes, more than any
// segment holds. Allocation refuses more, and readers treat more as damage.
inline constexpr unsigned kMaxNodeBits = 40;

template <class Traits>
inline uint64_t* node_slots(LpcNode<Traits>* n) noexcept {
  return reinterpret_cast<uint64_t*>(reinterpret_cast<char*>(n) + kSlotsOffset<Traits>);
}
template <class Traits>
inline const uint64_t* node_slots(const LpcNode<Traits>* n) noexcept {
  return reinterpret_cast<const uint64_t*>(reinterpret_cast<const char*>(n) + kSlotsOffset<Traits>);
}

QM_ASSERT_RECORD(LpcNode32);
static_assert(offsetof(LpcNode32, key) == 0);
static_assert(offsetof(LpcNode32, empty_children) == 4);
static_assert(offsetof(LpcNode32, full_children) == 8);
static_assert(offsetof(LpcNode32, pos) == 12);
static_assert(offsetof(LpcNode32, bits) == 13);
static_assert(offsetof(LpcNode32, slen) == 14);
static_assert(offsetof(LpcNode32, parent_off) == 16);
static_assert(offsetof(LpcNode32, children_off) == 24);
static_assert(sizeof(LpcNode32) == 32 && alignof(LpcNode32) == 8);
static_assert(node_bytes<Trie32Traits>(0) == 32 && node_bytes<Trie32Traits>(1) == 40);

QM_ASSERT_RECORD(LpcNode128);
static_assert(offsetof(LpcNode128, key) == 0);
static_assert(offsetof(LpcNode128, empty_children) == 16);
static_assert(offsetof(LpcNode128, full_children) == 32);
static_assert(offsetof(LpcNode128, pos) == 48);
static_assert(offsetof(LpcNode128, bits) == 49);
static_assert(offsetof(LpcNode128, slen) == 50);
static_assert(offsetof(LpcNode128, parent_off) == 56);
static_assert(offsetof(LpcNode128, children_off) == 64);
static_assert(sizeof(LpcNode128) == 80 && alignof(LpcNode128) == 16);
static_assert(node_bytes<Trie128Traits>(0) == 80 && node_bytes<Trie128Traits>(1) == 80);

QM_ASSERT_RECORD(LpcAlias);
static_assert(offsetof(LpcAlias, next_off) == 0);
static_assert(offsetof(LpcAlias, pprev_off) == 8);
static_assert(offsetof(LpcAlias, slen) == 16);
static_assert(offsetof(LpcAlias, value) == 24);
static_assert(sizeof(LpcAlias) == 32);

}  // namespace quillmap
