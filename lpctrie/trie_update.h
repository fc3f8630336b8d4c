// Insert and delete of a prefix trie. Included by lpctrie.cpp only.
//
// Insert allocates everything it needs (alias, leaf, branch node) before it changes the first link,
// so an allocation failure leaves the trie exactly as it was. Rebalancing afterwards may fail for want
// of memory only silently (see trie_resize.h).
#pragma once

#include "lpctrie/trie_ops.h"
#include "lpctrie/trie_resize.h"

namespace quillmap {

template <class Traits>
int64_t LpcTrie<Traits>::insert(Key key, Key mask, uint64_t value) noexcept {
  unsigned slen = Traits::suffix_length(mask);
  key = Traits::clear_below(key, slen);  // stray host bits would hide the prefix from its own addresses
  Node* tp = nullptr;
  Node* leaf = find_node(key, &tp);
  if (leaf != nullptr) {
    if (LpcAlias* same = find_alias(node_slots(leaf), slen); same != nullptr) {
      same->value = value;
      return kDone;
    }
  }

  auto* alias = static_cast<LpcAlias*>(slab_calloc_locked(pool_, sizeof(LpcAlias)));
  if (alias == nullptr) return kFailed;
  alias->value = value;
  alias->slen = static_cast<uint8_t>(slen);
  alias->next_off = kNoOffset;
  alias->pprev_off = kNoOffset;
  uint64_t alias_off = offset(alias);

  if (leaf != nullptr) {
    // Link the alias in at its place in ascending slen (longest prefix first).
    uint64_t* head = node_slots(leaf);
    uint64_t head_off = offset(head);
    if (*head == kNoOffset || slen < _lfof_<LpcAlias>(pool_, *head)->slen) {
      alias->next_off = *head;
      if (*head != kNoOffset) _lfof_<LpcAlias>(pool_, *head)->pprev_off = alias_off;
      *head = alias_off;
      alias->pprev_off = head_off;
    } else {
      auto* before = _lfof_<LpcAlias>(pool_, *head);
      while (before->next_off != kNoOffset && _lfof_<LpcAlias>(pool_, before->next_off)->slen < slen) {
        before = _lfof_<LpcAlias>(pool_, before->next_off);
      }
      alias->next_off = before->next_off;
      if (before->next_off != kNoOffset) _lfof_<LpcAlias>(pool_, before->next_off)->pprev_off = alias_off;
      before->next_off = alias_off;
      alias->pprev_off = offset(before);  // next_off is the alias's first field
    }
    if (leaf->slen < slen) {
      leaf->slen = static_cast<uint8_t>(slen);
      raise_suffix(tp, slen);
    }
    return kDone;
  }

  leaf = static_cast<Node*>(slab_calloc_locked(pool_, node_bytes<Traits>(0)));
  if (leaf == nullptr) {
    release(alias);
    return kFailed;
  }
  leaf->key = key;
  leaf->slen = static_cast<uint8_t>(slen);
  leaf->parent_off = kNoOffset;
  node_slots(leaf)[0] = alias_off;
  alias->pprev_off = offset(node_slots(leaf));

  // The node now in the key's slot of tp does not contain the key (else find_node would have gone
  // on): branch at the highest bit where the two keys differ.
  Node* n = is_root(tp) ? child(tp, 0) : child(tp, cindex(tp, key));
  if (n != nullptr) {
    Node* branch = new_node(key, Traits::highest_differing_bit(key, n->key), 1);
    if (branch == nullptr) {
      release(leaf);
      release(alias);
      return kFailed;
    }
    branch->parent_off = offset(tp);
    put_child(branch, cindex(branch, key) ^ 1, n);
    put_child_root(tp, key, branch);
    n->parent_off = offset(branch);
    tp = branch;
  }

  raise_suffix(tp, slen);
  leaf->parent_off = offset(tp);
  if (is_root(tp)) {
    node_slots(tp)[0] = offset(leaf);
    return kDone;
  }
  put_child(tp, cindex(tp, key), leaf);
  while (!is_root(tp)) tp = resize(tp);
  return kDone;
}

template <class Traits>
int64_t LpcTrie<Traits>::remove(Key key, Key mask) noexcept {
  unsigned slen = Traits::suffix_length(mask);
  key = Traits::clear_below(key, slen);
  Node* tp = nullptr;
  Node* leaf = find_node(key, &tp);
  if (leaf == nullptr) return kNothingToDo;
  LpcAlias* alias = find_alias(node_slots(leaf), slen);
  if (alias == nullptr) return kNothingToDo;

  *_lfof_<uint64_t>(pool_, alias->pprev_off) = alias->next_off;
  if (alias->next_off != kNoOffset) _lfof_<LpcAlias>(pool_, alias->next_off)->pprev_off = alias->pprev_off;
  alias->next_off = kNoOffset;
  alias->pprev_off = kNoOffset;

  // A leaf that keeps other prefixes keeps its slen (and so do the nodes above it): suffix lengths may
  // stay higher than needed, never lower.
  if (node_slots(leaf)[0] == kNoOffset) {
    if (tp->slen == leaf->slen) node_pull_suffix(tp, tp->pos);
    put_child_root(tp, leaf->key, nullptr);
    release(leaf);
    while (!is_root(tp)) tp = resize(tp);
  }
  release(alias);
  return kDone;
}

}  // namespace quillmap
