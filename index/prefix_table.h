// Longest-prefix tables: for each address family, a multibit direct-pointing structure in the index
// pool that answers what the prefix trie of that family answers (the entry offset of the longest
// stored prefix containing an address) in a few memory reads.
//
// Shape (records in index/prefix_layout.h). Addresses are read as network-order bytes:
//
//   bytes:   [ 0  1 ]  [ 2 ]  [ 3 ]  ...  [ 15 ]
//            first     node   node        node
//            level     d=16   d=24        d=120      (d: address bits consumed above the node)
//
//   - The first level is a direct array of 2^16 words indexed by the first two bytes. A word is the
//     answer itself, or (kPrefixNodeFlag) the offset of a node.
//   - A node has 256 slots indexed by the next byte; a slot is a child node or a leaf holding the
//     answer. Children and leaves sit in two dense arrays indexed by popcount over the node's bit
//     vectors, leaves compressed by runs of equal values, so a sparse node costs little memory.
//   - Leaves are pushed: every leaf and first-level answer already is the longest match for all the
//     addresses under it, so a lookup stops at the first leaf. IPv4 has at most two node levels (an
//     IPv4 match is the first-level word, then for a prefix up to /24 one node and one leaf word:
//     three reads), IPv6 at most fourteen (a /48 takes four nodes).
//
// Why this shape: the first level answers every prefix up to /16 in one read, and the stride of eight
// bits makes a node's slot the next address byte and puts an IPv4 /24, the most common length, one
// node below it. Run-compressed leaves keep a node that holds a few prefixes at a few words.
//
// Invariants of a table, for the set S of prefixes its writer holds:
//   1. A first-level slot s (the /16 s) is a node exactly when S holds a prefix longer than /16 inside
//      it; a node slot at depth d (the /(d+8) it stands for) is a child exactly when S holds a prefix
//      longer than d + 8 inside it.
//   2. Every other slot (first-level or leaf) holds the value of the longest prefix of S that contains
//      its whole range, or 0 when none does.
//   3. Node arrays are sized exactly: popcount(child_bits) records, popcount(run_bits) words.
//   4. A node belongs to exactly one slot; root.bytes is the sum of the allocation sizes of the first
//      level, the node records outside arrays (those under the first level) and all arrays.
//
// Updates change the nodes on the path of the changed prefix where they stand: a node keeps its
// record and its arrays when the number of its children and of its runs stays the same (the usual
// case: a prefix changes inside a slot that already is a child), and only the words that differ are
// written. An array whose length changes is built anew beside the old one, and the old one is freed
// once the new one is linked. Every allocation of an update comes before its first write to the
// table, so an update that runs out of memory leaves the table exactly as it was. A reader racing an
// update may read a record half written, or freed but still pool-owned bytes; every read stays in
// the pool, the walk stops within the node levels of its family, and the change epoch makes the
// reader retry.
//
// Locking: the writer runs under the dictionary's write lock, inside the change epoch. The read side
// takes no lock; it fetches every record through a view (store/segment_view.h), so over a checked
// view (index/bounded_view.h) arbitrary bytes give a wrong answer at worst, never a read outside the
// pool or an endless walk.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "index/prefix_layout.h"
#include "store/layout.h"

namespace quillmap {

// The value of the longest stored prefix containing `addr` (4 or 16 network-order bytes, as
// root.key_bits says), or 0 when none does or the view refused a record.
template <class View>
uint64_t prefix_match(View& view, const PrefixRoot& root, const uint8_t* addr) noexcept;

// Asks the processor for the first-level word of `addr`, ahead of a later prefix_match of the same
// address (batches prefetch every address's word before the first match). Reads nothing itself.
template <class View>
void prefix_prefetch(View& view, const PrefixRoot& root, const uint8_t* addr) noexcept;

// Bytes the table holds in the index pool.
inline uint64_t prefix_bytes(const PrefixRoot& root) noexcept { return root.bytes; }

// The worker's side of one family's table. It owns an ordered shadow of the stored prefixes (what a
// change uncovers, and what a rebuilt part holds, is computed from it) and the table in the pool.
// Every call needs the dictionary's write lock. Results: kDone (0); kFailed (-1) when the pool ran out
// of memory or an argument is not one (a family other than IPv4 or IPv6, a length beyond the family's,
// an entry offset of 0 or with kPrefixNodeFlag set); kNothingToDo (-4) from remove() of a prefix not
// stored. After kFailed the table stays inside the pool and readable, but may disagree with the shadow
// until clear() or rebuild() succeeds; the caller marks the index not valid.
class PrefixTableWriter {
 public:
  struct Prefix {
    uint8_t addr[16];  // network order; the first 4 bytes for IPv4
    unsigned len;
    uint64_t entry_off;
  };

  PrefixTableWriter() = default;
  PrefixTableWriter(const PrefixTableWriter&) = delete;
  PrefixTableWriter& operator=(const PrefixTableWriter&) = delete;

  // Lays out an empty table of `family` (kFamilyInet or kFamilyInet6 of lpctrie/cidr.h) at `root`,
  // allocating its first level from `ipool`. Whatever the root held before is ignored: a new worker
  // lays the index pool out afresh. On kFailed the root names no table (top_off 0).
  int64_t init(SlabPool* ipool, PrefixRoot* root, int family) noexcept;

  // Stores the prefix (addr, len) with `entry_off`, or gives a stored equal prefix that value. Bits of
  // addr below len are ignored.
  int64_t put(const uint8_t* addr, unsigned len, uint64_t entry_off) noexcept;

  // Removes the prefix (addr, len); kNothingToDo when it is not stored.
  int64_t remove(const uint8_t* addr, unsigned len) noexcept;

  // Removes every prefix.
  int64_t clear() noexcept;

  // Replaces the whole content by `prefixes` (a later duplicate of a prefix wins).
  int64_t rebuild(const std::vector<Prefix>& prefixes) noexcept;

  uint64_t size() const noexcept { return shadow_.size(); }

 private:
  using Key = unsigned __int128;  // the address left-aligned: byte 0 in the top eight bits
  using ShadowKey = std::pair<Key, unsigned>;
  struct Build;

  Key key_of(const uint8_t* addr, unsigned len) const noexcept;
  int64_t update(Key lo, unsigned len) noexcept;

  SlabPool* pool_ = nullptr;
  PrefixRoot* root_ = nullptr;
  unsigned key_bits_ = 0;
  std::map<ShadowKey, uint64_t> shadow_;  // (key, length) -> entry offset
  std::array<uint32_t, 129> lengths_{};   // how many prefixes of shadow_ have each length
};

// ---- read side ----

namespace prefix_detail {

// Bits set in a word, inline: the baseline x86-64 target has no popcount instruction, and the
// compiler's fallback is a library call per word.
[[gnu::always_inline]] inline unsigned bits_set(uint64_t x) noexcept {
#if defined(__POPCNT__)
  return static_cast<unsigned>(__builtin_popcountll(x));
#else
  x = x - ((x >> 1) & 0x5555555555555555ull);
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0full;
  return static_cast<unsigned>((x * 0x0101010101010101ull) >> 56);
#endif
}

// popcount of words[0..q) plus of `partial` (word q already masked).
[[gnu::always_inline]] inline unsigned rank(const uint64_t* words, unsigned q, uint64_t partial) noexcept {
  unsigned n = bits_set(partial);
  for (unsigned i = 0; i < q; ++i) n += bits_set(words[i]);
  return n;
}

[[gnu::always_inline]] inline unsigned node_levels(uint32_t key_bits) noexcept {
  if (key_bits == 32) return (32 - kPrefixTopBits) / kPrefixNodeBits;
  if (key_bits == 128) return (128 - kPrefixTopBits) / kPrefixNodeBits;
  return 0;
}

}  // namespace prefix_detail

template <class View>
uint64_t prefix_match(View& view, const PrefixRoot& root, const uint8_t* addr) noexcept {
  uint64_t top_off = root.top_off;
  unsigned levels = prefix_detail::node_levels(root.key_bits);
  if (top_off == 0 || levels == 0) return 0;
  uint64_t slot = (uint64_t{addr[0]} << 8) | addr[1];
  const uint64_t* word = view.template at<uint64_t>(top_off + slot * sizeof(uint64_t));
  if (word == nullptr) return 0;
  uint64_t w = *word;
  if ((w & kPrefixNodeFlag) == 0) return w;
  uint64_t node_off = w & ~kPrefixNodeFlag;
  for (unsigned level = 0; level < levels; ++level) {
    if (!view.step()) return 0;
    const PrefixNode* n = view.template at<PrefixNode>(node_off);
    if (n == nullptr) return 0;
    unsigned i = addr[2 + level];
    unsigned q = i / 64;
    uint64_t bit = uint64_t{1} << (i % 64);
    uint64_t upto = bit | (bit - 1);  // bits 0..i of the word
    uint64_t child_word = n->child_bits[q];
    if ((child_word & bit) != 0) {
      uint64_t index = prefix_detail::rank(n->child_bits, q, child_word & upto) - 1;
      node_off = n->children_off + index * sizeof(PrefixNode);
      continue;
    }
    unsigned runs = prefix_detail::rank(n->run_bits, q, n->run_bits[q] & upto);
    if (runs == 0) return 0;  // only in a node that changed under the reader
    const uint64_t* leaf = view.template at<uint64_t>(n->leaves_off + (runs - 1) * uint64_t{sizeof(uint64_t)});
    return leaf != nullptr ? *leaf : 0;
  }
  return 0;  // deeper than the family allows: only in a table that changed under the reader
}

template <class View>
void prefix_prefetch(View& view, const PrefixRoot& root, const uint8_t* addr) noexcept {
  uint64_t top_off = root.top_off;
  if (top_off == 0) return;
  uint64_t slot = (uint64_t{addr[0]} << 8) | addr[1];
  // The address is only formed, never dereferenced (a prefetch does not fault); whether the offset
  // lies in the pool is left for the match to judge.
  uintptr_t at = reinterpret_cast<uintptr_t>(view.base()) + top_off + slot * sizeof(uint64_t);
  __builtin_prefetch(reinterpret_cast<const void*>(at));
}

}  // namespace quillmap
