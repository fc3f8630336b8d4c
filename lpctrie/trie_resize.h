// Rebalancing of a prefix trie: the decisions (should_inflate, should_halve, should_collapse) and the
// actions (inflate, halve, collapse, replace) behind LpcTrie::resize. Included by lpctrie.cpp only.
//
// An inflate or halve builds the new node and any helper nodes completely before the first link of
// the live trie changes (in replace), so an attempt abandoned for want of memory only has to release
// what it allocated: every helper node it built names the new node as its parent, which is how
// discard_attempt finds them.
#pragma once

#include "lpctrie/trie_ops.h"

namespace quillmap {

template <class Traits>
bool LpcTrie<Traits>::should_inflate(const Node* tp, const Node* tn) const noexcept {
  Count slots = child_length(tn);
  Count used = slots - Count{tn->empty_children} + Count{tn->full_children};
  Count percent = is_root(tp) ? kInflatePercentRoot : kInflatePercent;
  return used >= 2 && tn->pos > 0 && Count{50} * used >= percent * slots;
}

template <class Traits>
bool LpcTrie<Traits>::should_halve(const Node* tp, const Node* tn) const noexcept {
  Count slots = child_length(tn);
  Count used = slots - Count{tn->empty_children};
  Count percent = is_root(tp) ? kHalvePercentRoot : kHalvePercent;
  return used >= 2 && tn->bits >= 2 && Count{100} * used < percent * slots;
}

template <class Traits>
bool LpcTrie<Traits>::should_collapse(const Node* tn) const noexcept {
  return child_length(tn) - Count{tn->empty_children} < 2;
}

template <class Traits>
LpcNode<Traits>* LpcTrie<Traits>::resize(Node* tn) noexcept {
  Node* tp = parent(tn);
  Count ci = cindex(tp, tn->key);
  Count tp_slots = is_root(tp) ? Count{1} : child_length(tp);
  lpctrie_bug_on(ci >= tp_slots || node_slots(tp)[ci] != offset(tn),
                 "node != _lfof_(paddr, parent_node->children_off[cindex])");

  unsigned inflates = 0;
  while (inflates < kMaxResizeSteps && should_inflate(tp, tn)) {
    if (!inflate(tn)) break;
    ++inflates;
    tn = child(tp, ci);
  }
  if (inflates > 0) return parent(tn);

  unsigned halvings = 0;
  while (halvings < kMaxResizeSteps && should_halve(tp, tn)) {
    if (!halve(tn)) break;
    ++halvings;
    tn = child(tp, ci);
  }

  if (should_collapse(tn)) return collapse(tn);
  return parent(tn);
}

template <class Traits>
bool LpcTrie<Traits>::inflate(Node* tn) noexcept {
  // tn (pos P, bits B) becomes nn (pos P - 1, bits B + 1): every child index gains the bit P - 1.
  unsigned p = tn->pos;
  unsigned b = tn->bits;
  Node* nn = new_node(tn->key, p - 1, b + 1);
  if (nn == nullptr) return false;
  Key upper_half = Traits::bit(p - 1);
  uint64_t nn_off = offset(nn);

  for (Count i = child_length(tn); i-- > 0;) {
    Node* c = child(tn, i);
    if (c == nullptr) continue;
    if (!is_full(tn, c)) {
      // A leaf or a node with skipped bits keeps its place under the key's new index.
      put_child(nn, cindex(nn, c->key), c);
      continue;
    }
    if (c->bits == 1) {
      // c's one bit is the one nn gains: its two children move up and c is absorbed.
      put_child(nn, 2 * i + 1, child(c, 1));
      put_child(nn, 2 * i, child(c, 0));
      continue;
    }
    // c is split into its upper and lower halves, each one bit narrower.
    Node* c1 = new_node(c->key | upper_half, c->pos, c->bits - 1);
    if (c1 == nullptr) {
      discard_attempt(nn);
      return false;
    }
    Node* c0 = new_node(c->key, c->pos, c->bits - 1);
    if (c0 == nullptr) {
      release(c1);
      discard_attempt(nn);
      return false;
    }
    Count half = Traits::pow2(c->bits - 1);
    for (Count j = half; j-- > 0;) {
      put_child(c1, j, child(c, j + half));
      put_child(c0, j, child(c, j));
    }
    c1->parent_off = nn_off;
    c0->parent_off = nn_off;
    put_child(nn, 2 * i + 1, c1);
    put_child(nn, 2 * i, c0);
  }
  replace(tn, nn, Release::kFullChildrenToo);
  return true;
}

template <class Traits>
bool LpcTrie<Traits>::halve(Node* tn) noexcept {
  // tn (pos P, bits B) becomes nn (pos P + 1, bits B - 1): each pair of slots 2j, 2j + 1 becomes slot
  // j, through a one-bit node when both are occupied.
  unsigned p = tn->pos;
  Node* nn = new_node(tn->key, p + 1, tn->bits - 1);
  if (nn == nullptr) return false;
  uint64_t nn_off = offset(nn);

  for (Count j = child_length(nn); j-- > 0;) {
    Node* c0 = child(tn, 2 * j);
    Node* c1 = child(tn, 2 * j + 1);
    if (c0 != nullptr && c1 != nullptr) {
      Node* pair = new_node(c0->key, p, 1);
      if (pair == nullptr) {
        discard_attempt(nn);
        return false;
      }
      put_child(pair, 1, c1);
      put_child(pair, 0, c0);
      pair->parent_off = nn_off;
      put_child(nn, j, pair);
    } else {
      put_child(nn, j, c1 != nullptr ? c1 : c0);
    }
  }
  replace(tn, nn, Release::kNodeOnly);
  return true;
}

template <class Traits>
void LpcTrie<Traits>::discard_attempt(Node* nn) noexcept {
  uint64_t nn_off = offset(nn);
  for (Count i = child_length(nn); i-- > 0;) {
    Node* c = child(nn, i);
    if (c != nullptr && c->parent_off == nn_off) release(c);
  }
  release(nn);
}

template <class Traits>
LpcNode<Traits>* LpcTrie<Traits>::collapse(Node* tn) noexcept {
  // At most one child is left: it takes tn's place.
  Node* tp = parent(tn);
  Node* last = nullptr;
  for (Count i = child_length(tn); i-- > 0;) {
    last = child(tn, i);
    if (last != nullptr) break;
  }
  put_child_root(tp, tn->key, last);
  if (last != nullptr) last->parent_off = tn->parent_off;
  release(tn);
  return tp;
}

template <class Traits>
LpcNode<Traits>* LpcTrie<Traits>::replace(Node* old_node, Node* nn, Release what) noexcept {
  nn->parent_off = old_node->parent_off;
  Node* tp = parent(nn);
  put_child_root(tp, nn->key, nn);
  update_children(nn);

  if (what == Release::kFullChildrenToo) {
    for (Count i = child_length(old_node); i-- > 0;) {
      Node* c = child(old_node, i);
      if (is_full(old_node, c)) release(c);
    }
  }
  release(old_node);

  // Children that were split or pulled up may themselves need rebalancing; each resize leaves nn in
  // place, so the scan over nn's slots stays valid.
  for (Count i = child_length(nn); i-- > 0;) {
    Node* c = child(nn, i);
    if (is_full(nn, c)) resize(c);
  }
  return tp;
}

}  // namespace quillmap
