// The writer's side of a prefix trie: one class template over the key traits, instantiated for 32-bit
// and 128-bit keys in lpctrie.cpp. The node kinds, bit picture and invariants are described in
// lpctrie.h. Every operation here runs under the segment's write lock; memory comes from and goes back
// to the slab allocator (slab_calloc_locked, slab_free_locked).
//
// This header holds the elementary operations (node creation, slot writes, lookups of a leaf and of an
// alias, parent links, suffix-length upkeep); trie_resize.h holds the rebalancing and trie_update.h
// insert and delete.
#pragma once

#include <algorithm>
#include <cstdint>

#include "lpctrie/key_traits.h"
#include "lpctrie/lpc_node.h"
#include "lpctrie/trie_bug.h"
#include "store/crash_hook.h"
#include "store/layout.h"
#include "store/slab.h"

namespace quillmap {

// Rebalancing thresholds, in per cent of a node's slots. A node is inflated while at least
// kInflatePercent of its slots are in use (full children counted twice), halved while fewer than
// kHalvePercent are. The node directly under the trie root uses the *Root figures, so it grows wider.
inline constexpr unsigned kInflatePercent = 50;
inline constexpr unsigned kInflatePercentRoot = 30;
inline constexpr unsigned kHalvePercent = 25;
inline constexpr unsigned kHalvePercentRoot = 15;
// At most this many inflates, or halvings, per resize of one node.
inline constexpr unsigned kMaxResizeSteps = 10;

template <class Traits>
class LpcTrie {
 public:
  using Key = typename Traits::Key;
  using Count = typename Traits::Count;
  using Node = LpcNode<Traits>;
  static constexpr unsigned kKeyLength = Traits::kKeyLength;

  LpcTrie(SlabPool* pool, Node* root) noexcept : pool_(pool), root_(root) {}

  // A new empty trie root (pos kKeyLength, slen kKeyLength, no parent, empty slot), or nullptr.
  static Node* create(SlabPool* pool) noexcept;

  // Stores (key, mask) -> value. kDone when added or its value replaced; kFailed when an allocation
  // failed, with the trie unchanged. The prefix length is the number of one-bits of `mask`; key bits
  // below it are ignored (callers pass them clear).
  int64_t insert(Key key, Key mask, uint64_t value) noexcept;

  // Removes (key, mask), read as in insert. kDone when removed; kNothingToDo when no such prefix is
  // stored.
  int64_t remove(Key key, Key mask) noexcept;

  // --- Internal operations, public for the tests. ---

  // The leaf whose key equals `key`, or nullptr. *parent receives the node whose slot was read last:
  // the node under which the key belongs (the root when the trie is empty or its top node does not
  // contain the key).
  Node* find_node(Key key, Node** parent) const noexcept;

  // Walks the alias list headed by the slot at `head` to the first alias whose slen is at least
  // `slen`: returns it when its slen is equal, nullptr otherwise.
  LpcAlias* find_alias(const uint64_t* head, unsigned slen) const noexcept;

  // A new internal node with 2^bits empty slots, `key` cleared below pos + bits, slen = pos and no
  // parent; nullptr when the allocation fails. Checks that 1 <= bits and pos + bits <= kKeyLength.
  Node* new_node(Key key, unsigned pos, unsigned bits) noexcept;

  // Stores `c` (or none) in slot i of internal node n, keeping empty_children, full_children and
  // raising n's slen to c's. Checks that i is below child_length(n).
  void put_child(Node* n, Count i, Node* c) noexcept;

  // Makes every child's parent_off name n; a child that already names n was built in the same
  // restructuring, and its own children are updated instead.
  void update_children(Node* n) noexcept;

  // Puts nn in old's place and releases old (and, for kReleaseFullChildren, the children of old that
  // were absorbed or split by an inflate); then resizes nn's full children. Returns old's parent.
  enum class Release { kNodeOnly, kFullChildrenToo };
  Node* replace(Node* old_node, Node* nn, Release release) noexcept;

  // Inflates, halves or collapses tn as its slots fill or empty; returns the parent of whatever now
  // stands in tn's place. Allocation failures only abandon a step; the trie stays valid.
  Node* resize(Node* tn) noexcept;

  // After a leaf's removal, lowers slen on the path from tn towards the root while it exceeds `slen`
  // and a recount of the children shows it can be lowered.
  void node_pull_suffix(Node* tn, unsigned slen) noexcept;

  Node* root() const noexcept { return root_; }

 private:
  // Rebalancing decisions and actions (trie_resize.h).
  bool should_inflate(const Node* tp, const Node* tn) const noexcept;
  bool should_halve(const Node* tp, const Node* tn) const noexcept;
  bool should_collapse(const Node* tn) const noexcept;
  bool inflate(Node* tn) noexcept;
  bool halve(Node* tn) noexcept;
  Node* collapse(Node* tn) noexcept;
  void discard_attempt(Node* nn) noexcept;

  // Recounts tn's slen from its children (the stride scan) and stores it.
  unsigned update_suffix(Node* tn) noexcept;

  // Raises slen from `n` upwards while it is below `slen`. The root's slen, kKeyLength, stops it.
  void raise_suffix(Node* n, unsigned slen) noexcept {
    for (; slen > n->slen; n = parent(n)) n->slen = static_cast<uint8_t>(slen);
  }

  // Stores c (or none) in the slot of tp where `key` belongs: the root's single slot, or put_child.
  void put_child_root(Node* tp, Key key, Node* c) noexcept {
    if (is_root(tp)) {
      node_slots(tp)[0] = c == nullptr ? kNoOffset : offset(c);
    } else {
      put_child(tp, cindex(tp, key), c);
    }
  }

  Node* node(uint64_t off) const noexcept { return off == kNoOffset ? nullptr : _lfof_<Node>(pool_, off); }
  uint64_t offset(const void* record) const noexcept { return offset_of_record(pool_, record); }
  Node* parent(const Node* n) const noexcept { return node(n->parent_off); }
  Node* child(const Node* n, Count i) const noexcept { return node(node_slots(n)[i]); }
  bool is_root(const Node* n) const noexcept { return n == root_; }
  void release(void* record) noexcept { slab_free_locked(pool_, record); }

  static Count child_length(const Node* n) noexcept { return n->bits == 0 ? Count{0} : Traits::pow2(n->bits); }
  static Count cindex(const Node* n, Key key) noexcept { return Traits::child_index(key, n->key, n->pos); }
  // c is full in n when it is internal and takes the bits directly below n's (none skipped).
  static bool is_full(const Node* n, const Node* c) noexcept {
    return c != nullptr && c->bits > 0 && c->pos + c->bits == n->pos;
  }

  SlabPool* pool_;
  Node* root_;
};

template <class Traits>
LpcNode<Traits>* LpcTrie<Traits>::create(SlabPool* pool) noexcept {
  auto* root = static_cast<Node*>(slab_calloc_locked(pool, node_bytes<Traits>(0)));
  if (root == nullptr) return nullptr;
  root->pos = kKeyLength;
  root->slen = kKeyLength;
  root->parent_off = kNoOffset;
  node_slots(root)[0] = kNoOffset;
  return root;
}

template <class Traits>
LpcNode<Traits>* LpcTrie<Traits>::find_node(Key key, Node** parent_out) const noexcept {
  Node* parent_node = root_;
  Node* n = child(root_, 0);
  for (;;) {
    *parent_out = parent_node;
    if (n == nullptr) return nullptr;
    Count i = cindex(n, key);
    if (!Traits::index_fits(i, n->bits)) return nullptr;
    if (n->bits == 0) return n;  // a leaf whose key equals `key`
    parent_node = n;
    n = child(n, i);
  }
}

template <class Traits>
LpcAlias* LpcTrie<Traits>::find_alias(const uint64_t* head, unsigned slen) const noexcept {
  for (uint64_t off = *head; off != kNoOffset;) {
    auto* a = _lfof_<LpcAlias>(pool_, off);
    if (a->slen >= slen) return a->slen == slen ? a : nullptr;
    off = a->next_off;
  }
  return nullptr;
}

template <class Traits>
LpcNode<Traits>* LpcTrie<Traits>::new_node(Key key, unsigned pos, unsigned bits) noexcept {
  unsigned shift = pos + bits;
  lpctrie_bug_on(!bits || (shift > kKeyLength), "!bits || (shift > KEYLENGTH)");
  if (bits > kMaxNodeBits) return nullptr;  // no segment could hold it
  auto* n = static_cast<Node*>(slab_calloc_locked(pool_, node_bytes<Traits>(bits)));
  if (n == nullptr) return nullptr;
  Count slots = Traits::pow2(bits);
  n->key = Traits::clear_below(key, shift);
  n->empty_children = static_cast<Key>(slots);
  n->full_children = 0;
  n->pos = static_cast<uint8_t>(pos);
  n->bits = static_cast<uint8_t>(bits);
  n->slen = static_cast<uint8_t>(pos);
  n->parent_off = kNoOffset;
  std::fill_n(node_slots(n), static_cast<uint64_t>(slots), kNoOffset);
  return n;
}

template <class Traits>
void LpcTrie<Traits>::put_child(Node* n, Count i, Node* c) noexcept {
  lpctrie_bug_on(i >= child_length(n), "i >= child_length(parent_node)");
  crash_step();
  Node* old = child(n, i);
  if (old != nullptr && c == nullptr) {
    ++n->empty_children;
  } else if (old == nullptr && c != nullptr) {
    --n->empty_children;
  }
  bool was_full = is_full(n, old);
  bool now_full = is_full(n, c);
  if (was_full && !now_full) {
    --n->full_children;
  } else if (now_full && !was_full) {
    ++n->full_children;
  }
  if (c != nullptr) {
    n->slen = std::max(n->slen, c->slen);
    node_slots(n)[i] = offset(c);
  } else {
    node_slots(n)[i] = kNoOffset;
  }
}

template <class Traits>
void LpcTrie<Traits>::update_children(Node* n) noexcept {
  uint64_t self = offset(n);
  for (Count i = child_length(n); i-- > 0;) {
    Node* c = child(n, i);
    if (c == nullptr) continue;
    if (c->parent_off == self) {
      update_children(c);
    } else {
      c->parent_off = self;
    }
  }
}

template <class Traits>
unsigned LpcTrie<Traits>::update_suffix(Node* tn) noexcept {
  // Slot i can only hold suffixes up to pos + (number of trailing zero bits of i): once a suffix s is
  // found, only slots whose index is a multiple of 2^(s - pos + 1) can hold a longer one.
  unsigned s = tn->pos;
  unsigned limit = std::min<unsigned>(static_cast<uint8_t>(tn->pos + tn->bits - 1), tn->slen);
  Count stride = 2;
  for (Count i = 0; i < child_length(tn); i += stride) {
    Node* c = child(tn, i);
    if (c == nullptr || c->slen <= s) continue;
    stride = Traits::count_shift_left(stride, c->slen - s);
    s = c->slen;
    i &= ~(stride - 1);
    if (s >= limit) break;
  }
  tn->slen = static_cast<uint8_t>(s);
  return s;
}

template <class Traits>
void LpcTrie<Traits>::node_pull_suffix(Node* tn, unsigned slen) noexcept {
  unsigned ns = tn->slen;
  while (ns > tn->pos && ns > slen) {
    slen = update_suffix(tn);
    if (ns == slen) break;
    tn = parent(tn);
    ns = tn->slen;
  }
}

}  // namespace quillmap
