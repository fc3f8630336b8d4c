// Test support: a walk over a whole prefix trie that checks every invariant of lpctrie.h and returns a
// description of the first violation, or "" when the trie is sound:
//   - the root: pos kKeyLength, bits 0, slen kKeyLength, no parent, key 0;
//   - every node's parent_off names the node holding it, in the slot of its child index;
//   - internal nodes: 1 <= bits, pos + bits below the parent's pos, no key bits below pos + bits,
//     empty_children and full_children equal a recount, at least one child, slen >= pos;
//   - leaves: pos 0, bits 0, at least one alias, aliases in strictly ascending slen with correct
//     pprev_off, no key bits below the shortest prefix's length;
//   - every node's slen is at least the slen of every alias beneath it.
// It can also collect every stored prefix, for comparisons with a model.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "lpctrie/key_traits.h"
#include "lpctrie/lpc_node.h"
#include "store/layout.h"

namespace quillmap::testing {

template <class Traits>
struct TriePrefix {
  typename Traits::Key key;
  unsigned slen;
  uint64_t value;
};

template <class Traits>
struct TrieCensus {
  uint64_t internal_nodes = 0;
  uint64_t leaves = 0;
  uint64_t aliases = 0;
  unsigned max_depth = 0;
  std::vector<TriePrefix<Traits>> prefixes;  // in walk order
};

namespace trie_check_detail {

inline std::string describe(const char* what, uint64_t off) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "%s (node at offset %llu)", what, static_cast<unsigned long long>(off));
  return buf;
}

template <class Traits>
class Checker {
 public:
  using Key = typename Traits::Key;
  using Count = typename Traits::Count;
  using Node = LpcNode<Traits>;
  static constexpr unsigned K = Traits::kKeyLength;

  Checker(const void* base, TrieCensus<Traits>* census) : base_(base), census_(census) {}

  std::string run(const Node* root) {
    uint64_t root_off = offset_of_record(base_, root);
    if (root->pos != K || root->bits != 0 || root->slen != K || root->parent_off != kNoOffset || root->key != 0)
      return describe("root header is not that of a trie root", root_off);
    uint64_t top = node_slots(root)[0];
    if (top == kNoOffset) return "";
    unsigned max_slen = 0;
    return walk(top, root, root_off, 0, 1, &max_slen);
  }

 private:
  const Node* node(uint64_t off) const { return _lfof_<const Node>(base_, off); }

  static bool is_full(const Node* parent, const Node* c) {
    return c != nullptr && c->bits > 0 && c->pos + c->bits == parent->pos;
  }

  // Checks the subtree at `off`, held by `parent` in slot `slot`; *max_slen gets its longest suffix.
  std::string walk(uint64_t off, const Node* parent, uint64_t parent_off, Count slot, unsigned depth,
                   unsigned* max_slen) {
    const Node* n = node(off);
    if (depth > K + 1) return describe("trie deeper than the key is long", off);
    if (census_ != nullptr && depth > census_->max_depth) census_->max_depth = depth;
    if (n->parent_off != parent_off) return describe("parent_off does not name the holding node", off);
    if (parent->pos != K) {
      if (Traits::child_index(n->key, parent->key, parent->pos) != slot)
        return describe("node sits in a slot other than its child index", off);
      if (n->pos + n->bits > parent->pos) return describe("node overlaps its parent's index bits", off);
    }
    if (n->bits == 0) return check_leaf(off, n, max_slen);

    if (n->pos + n->bits > K) return describe("internal node reaches beyond the key", off);
    if (Traits::clear_below(n->key, n->pos + n->bits) != n->key)
      return describe("internal node key has bits below pos + bits", off);
    if (n->slen < n->pos) return describe("internal node slen below its pos", off);
    Count slots = Traits::pow2(n->bits);
    Count empty = 0, full = 0;
    unsigned longest = 0;
    for (Count i = 0; i < slots; ++i) {
      uint64_t c_off = node_slots(n)[i];
      if (c_off == kNoOffset) {
        ++empty;
        continue;
      }
      if (is_full(n, node(c_off))) ++full;
      unsigned child_max = 0;
      std::string err = walk(c_off, n, off, i, depth + 1, &child_max);
      if (!err.empty()) return err;
      if (child_max > longest) longest = child_max;
    }
    if (Count{n->empty_children} != empty) return describe("empty_children differs from a recount", off);
    if (Count{n->full_children} != full) return describe("full_children differs from a recount", off);
    // One child is possible: a node whose only child is full counts it twice and may be inflated
    // rather than collapsed. No child at all is not.
    if (slots == empty) return describe("internal node without children", off);
    if (n->slen < longest) return describe("node slen below a suffix stored beneath it", off);
    if (census_ != nullptr) ++census_->internal_nodes;
    *max_slen = longest;
    return "";
  }

  std::string check_leaf(uint64_t off, const Node* leaf, unsigned* max_slen) {
    if (leaf->pos != 0) return describe("leaf with pos other than 0", off);
    uint64_t head_off = off + kSlotsOffset<Traits>;
    uint64_t a_off = node_slots(leaf)[0];
    if (a_off == kNoOffset) return describe("leaf without an alias", off);
    uint64_t expected_pprev = head_off;
    int previous = -1;
    unsigned longest = 0;
    for (unsigned count = 0; a_off != kNoOffset; ++count) {
      if (count > K) return describe("alias list longer than the key has lengths", off);
      const auto* a = _lfof_<const LpcAlias>(base_, a_off);
      if (a->pprev_off != expected_pprev) return describe("alias pprev_off wrong", off);
      if (static_cast<int>(a->slen) <= previous) return describe("aliases not in strictly ascending slen", off);
      if (a->slen > K) return describe("alias slen beyond the key length", off);
      previous = a->slen;
      longest = a->slen;
      if (census_ != nullptr) {
        ++census_->aliases;
        census_->prefixes.push_back({leaf->key, a->slen, a->value});
      }
      expected_pprev = a_off;
      a_off = a->next_off;
    }
    if (Traits::clear_below(leaf->key, longest) != leaf->key)
      return describe("leaf key has bits below its shortest prefix", off);
    if (leaf->slen < longest) return describe("leaf slen below its longest suffix", off);
    if (census_ != nullptr) ++census_->leaves;
    *max_slen = longest;
    return "";
  }

  const void* base_;
  TrieCensus<Traits>* census_;
};

}  // namespace trie_check_detail

// Checks the trie whose root lies in the segment at `base`; "" when every invariant holds.
template <class Traits>
std::string trie_verify(const void* base, const LpcNode<Traits>* root, TrieCensus<Traits>* census = nullptr) {
  if (census != nullptr) *census = TrieCensus<Traits>{};
  return trie_check_detail::Checker<Traits>(base, census).run(root);
}

}  // namespace quillmap::testing
