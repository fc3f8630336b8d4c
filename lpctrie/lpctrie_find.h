// Longest-prefix search, written once over a view (store/segment_view.h) so that the daemon and an
// outside reader run the same code:
//
//   template <class Traits, class View>
//   uint64_t lpctrie_find_in(View& view, uint64_t root_off, typename Traits::Key addr);
//
// returns the value of the longest stored prefix containing `addr`, or kLpcNotFound. Every node and
// alias is fetched through view.at<T>(off, bytes) and view.step() is called once per record visited;
// when the view refuses an offset or a step the search stops with kLpcNotFound (a checked view then
// reports the failure itself). Header fields are read once per node into locals and every slot index
// is checked against that node's slot count before the slot is read, so a reader racing a writer
// sees at worst a wrong answer, never a wild read or an endless walk (the view bounds the steps).
//
// The search descends by child index to the leaf that equals the address (if any), remembering the
// last node where a shorter prefix may hang off a lower slot; from there it backtracks by clearing the
// lowest one-bit of the remembered child index, which only ever reaches slots covering shorter
// prefixes, so the first alias that matches is the longest match.
#pragma once

#include <cstdint>

#include "lpctrie/lpc_node.h"

namespace quillmap {

inline constexpr uint64_t kLpcNotFound = ~uint64_t{0};

namespace lpctrie_detail {

// A node's header as read once, with its slots validated against the view.
template <class Traits>
struct NodeHead {
  typename Traits::Key key;
  unsigned pos;
  unsigned bits;
  unsigned slen;
  uint64_t parent_off;
  typename Traits::Count slot_count;  // 2^bits for an internal node, 1 for a leaf or the root
  const uint64_t* slots;

  bool is_leaf() const noexcept { return bits == 0 && pos != Traits::kKeyLength; }
  bool is_root() const noexcept { return pos == Traits::kKeyLength; }
  // The slot's content, or kNoOffset for an index outside the node.
  uint64_t slot(typename Traits::Count i) const noexcept { return i < slot_count ? slots[i] : kNoOffset; }
};

// Fetches and checks the node at `off`. False when the view refuses it or the header is impossible.
// Always inlined: it is the search's inner step, and a checked view's checks left behind a call cost
// more than the checks themselves.
template <class Traits, class View>
[[gnu::always_inline]] inline bool fetch_node(View& view, uint64_t off, NodeHead<Traits>* out) {
  using Node = LpcNode<Traits>;
  if (!view.step()) return false;
  const Node* n = view.template at<Node>(off, sizeof(Node));
  if (n == nullptr) return false;
  unsigned pos = n->pos;
  unsigned bits = n->bits;
  if (pos > Traits::kKeyLength || bits > Traits::kKeyLength - pos || bits > kMaxNodeBits) return false;
  if (bits > 0 && view.template at<Node>(off, node_bytes<Traits>(bits)) == nullptr) return false;
  out->key = n->key;
  out->pos = pos;
  out->bits = bits;
  out->slen = n->slen;
  out->parent_off = n->parent_off;
  out->slot_count = bits > 0 ? Traits::pow2(bits) : 1;
  out->slots = node_slots(n);
  return true;
}

}  // namespace lpctrie_detail

template <class Traits, class View>
uint64_t lpctrie_find_in(View& view, uint64_t root_off, typename Traits::Key addr) {
  using Count = typename Traits::Count;
  using Head = lpctrie_detail::NodeHead<Traits>;
  using lpctrie_detail::fetch_node;

  Head root;
  if (!fetch_node<Traits>(view, root_off, &root) || !root.is_root()) return kLpcNotFound;
  Head n;
  uint64_t off = root.slot(0);
  if (off == kNoOffset || !fetch_node<Traits>(view, off, &n)) return kLpcNotFound;
  Head pn = root;  // last node where a shorter prefix may hang off a lower-numbered slot
  Count ci = 0;    // the child index taken there

  enum class Step { kDescend, kPrefixCheck, kBacktrack, kLeaf } step = Step::kDescend;
  for (;;) {
    switch (step) {
      case Step::kDescend: {
        Count i = Traits::child_index(addr, n.key, n.pos);
        if (!Traits::index_fits(i, n.bits)) {
          step = Step::kPrefixCheck;  // the address leaves n's subtree
          break;
        }
        if (n.is_leaf()) {
          step = Step::kLeaf;  // its key equals the address
          break;
        }
        if (n.slen > n.pos) {
          pn = n;
          ci = i;
        }
        off = n.slot(i);
        if (off == kNoOffset) {
          step = Step::kBacktrack;
        } else if (!fetch_node<Traits>(view, off, &n)) {
          return kLpcNotFound;
        }
        break;
      }
      case Step::kPrefixCheck: {
        if (Traits::prefix_mismatch(addr, n.key) || n.slen == n.pos) {
          step = Step::kBacktrack;
        } else if (n.is_leaf()) {
          step = Step::kLeaf;
        } else {
          off = n.slot(0);
          if (off == kNoOffset) {
            step = Step::kBacktrack;
          } else if (!fetch_node<Traits>(view, off, &n)) {
            return kLpcNotFound;
          }
        }
        break;
      }
      case Step::kBacktrack: {
        while (ci == 0) {
          if (pn.is_root()) return kLpcNotFound;
          typename Traits::Key k = pn.key;
          if (!fetch_node<Traits>(view, pn.parent_off, &pn)) return kLpcNotFound;
          if (pn.is_root()) return kLpcNotFound;
          ci = Traits::child_index(k, pn.key, pn.pos);
          if (ci >= pn.slot_count) return kLpcNotFound;  // only when the trie changed under us
        }
        ci &= ci - 1;  // the next slot that covers a shorter prefix
        off = pn.slot(ci);
        if (off != kNoOffset) {
          if (!fetch_node<Traits>(view, off, &n)) return kLpcNotFound;
          step = Step::kPrefixCheck;
        }
        break;
      }
      case Step::kLeaf: {
        typename Traits::Key diff = addr ^ n.key;
        uint64_t alias_off = n.slots[0];
        while (alias_off != kNoOffset) {
          if (!view.step()) return kLpcNotFound;
          const LpcAlias* a = view.template at<LpcAlias>(alias_off, sizeof(LpcAlias));
          if (a == nullptr) return kLpcNotFound;
          if (Traits::within_suffix(diff, a->slen)) return a->value;
          alias_off = a->next_off;
        }
        step = Step::kBacktrack;
        break;
      }
    }
  }
}

// The two widths, in the form the public find functions and outside readers use.
template <class View>
uint64_t lpctrie32_find_in(View& view, uint64_t root_off, uint32_t addr) {
  return lpctrie_find_in<Trie32Traits>(view, root_off, addr);
}
template <class View>
uint64_t lpctrie128_find_in(View& view, uint64_t root_off, uint64_t addr_lo, uint64_t addr_hi) {
  return lpctrie_find_in<Trie128Traits>(view, root_off, Trie128Traits::make(addr_lo, addr_hi));
}

}  // namespace quillmap
