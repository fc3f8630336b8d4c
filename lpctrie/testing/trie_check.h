// Test support: trie_verify walks a whole prefix trie checking every invariant of lpctrie.h (and the root's
// header, child slots, no path longer than the key); it returns the first violation or "", and can collect
// every stored prefix for comparisons with a model.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "lpctrie/lpc_node.h"
#include "store/layout.h"

namespace quillmap::testing {

template <class Traits>
struct TrieCensus {
  struct Prefix {
    typename Traits::Key key;
    unsigned slen;
    uint64_t value;
  };
  uint64_t leaves = 0;
  unsigned max_depth = 0;
  std::vector<Prefix> prefixes;  // in walk order
};

#define QM_TRIE_CHECK(ok, what) \
  if (!(ok)) return std::string(what) + " (node at offset " + std::to_string(off) + ")"

namespace trie_check_detail {

// Checks the subtree at `off`, held in `slot` of the node at `parent_off`; *longest gets its longest suffix.
template <class Traits>
std::string walk(const void* base, uint64_t off, uint64_t parent_off, typename Traits::Count slot, unsigned depth,
                 unsigned* longest, TrieCensus<Traits>* census) {
  using Node = LpcNode<Traits>;
  constexpr unsigned K = Traits::kKeyLength;
  const Node* parent = _lfof_<const Node>(base, parent_off);
  const Node* n = _lfof_<const Node>(base, off);
  *longest = 0;
  if (census != nullptr) census->max_depth = std::max(census->max_depth, depth);
  QM_TRIE_CHECK(depth <= K + 1, "trie deeper than the key is long");
  QM_TRIE_CHECK(n->parent_off == parent_off, "parent_off does not name the holding node");
  QM_TRIE_CHECK(parent->pos == K || Traits::child_index(n->key, parent->key, parent->pos) == slot,
                "node sits in a slot other than its child index");
  QM_TRIE_CHECK(n->pos + n->bits <= parent->pos, "node overlaps its parent's index bits");
  if (n->bits == 0) {
    QM_TRIE_CHECK(n->pos == 0 && node_slots(n)[0] != kNoOffset, "leaf with pos other than 0 or without an alias");
    int previous = -1;  // strictly ascending slens also rule out a cycle
    for (uint64_t a_off = node_slots(n)[0], pprev = off + kSlotsOffset<Traits>; a_off != kNoOffset;) {
      const auto* a = _lfof_<const LpcAlias>(base, a_off);
      QM_TRIE_CHECK(a->pprev_off == pprev, "alias pprev_off wrong");
      QM_TRIE_CHECK(int{a->slen} > previous && a->slen <= K, "aliases not in strictly ascending slen up to K");
      previous = *longest = a->slen;
      if (census != nullptr) census->prefixes.push_back({n->key, a->slen, a->value});
      pprev = a_off;
      a_off = a->next_off;
    }
    QM_TRIE_CHECK(Traits::clear_below(n->key, *longest) == n->key && n->slen >= *longest,
                  "leaf key has bits below its shortest prefix, or slen below its longest suffix");
    if (census != nullptr) ++census->leaves;
    return "";
  }
  QM_TRIE_CHECK(Traits::clear_below(n->key, n->pos + n->bits) == n->key && n->slen >= n->pos,
                "internal node key has bits below pos + bits, or slen below pos");
  typename Traits::Count slots = Traits::pow2(n->bits), empty = 0, full = 0;
  for (typename Traits::Count i = 0; i < slots; ++i) {
    const uint64_t c_off = node_slots(n)[i];
    if (c_off == kNoOffset && ++empty) continue;
    const Node* c = _lfof_<const Node>(base, c_off);
    full += c->bits > 0 && c->pos + c->bits == n->pos;
    unsigned below = 0;
    if (std::string err = walk(base, c_off, off, i, depth + 1, &below, census); !err.empty()) return err;
    *longest = std::max(*longest, below);
  }
  QM_TRIE_CHECK(n->empty_children == empty && n->full_children == full, "child counts differ from a recount");
  // One child is possible (an only child that is full may be inflated rather than collapsed); none is not.
  QM_TRIE_CHECK(empty < slots, "internal node without children");
  QM_TRIE_CHECK(n->slen >= *longest, "node slen below a suffix stored beneath it");
  return "";
}

}  // namespace trie_check_detail

// Checks the trie whose root lies in the segment at `base`; "" when every invariant holds.
template <class Traits>
std::string trie_verify(const void* base, const LpcNode<Traits>* root, TrieCensus<Traits>* census = nullptr) {
  if (census != nullptr) *census = TrieCensus<Traits>{};
  const uint64_t off = offset_of_record(base, root);
  constexpr unsigned K = Traits::kKeyLength;
  QM_TRIE_CHECK(root->pos == K && !root->bits && root->slen == K && root->parent_off == kNoOffset && root->key == 0,
                "root header is not that of a trie root");
  unsigned longest = 0;
  const uint64_t top = node_slots(root)[0];
  return top == kNoOffset ? "" : trie_check_detail::walk<Traits>(base, top, off, 0, 1, &longest, census);
}

#undef QM_TRIE_CHECK

}  // namespace quillmap::testing
