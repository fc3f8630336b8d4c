// Every prefix a trie stores, for the writer (a trusted walk: the trie is not being changed). Used to
// derive structures that mirror the trie, such as the index's prefix tables.
#pragma once

#include <cstdint>
#include <vector>

#include "lpctrie/lpc_node.h"

namespace quillmap {

// Calls visit(key, prefix_len, value) for every stored prefix: key is the leaf's network address as
// the trie keeps it (Traits::Key, the address's first bit in bit kKeyLength - 1), prefix_len the
// prefix's length in bits, value what the trie answers for it.
template <class Traits, class F>
void lpctrie_for_each_prefix(const void* base, const LpcNode<Traits>* root, F&& visit) {
  using Node = LpcNode<Traits>;
  const uint64_t top = node_slots(root)[0];
  if (top == kNoOffset) return;
  std::vector<uint64_t> pending{top};
  while (!pending.empty()) {
    const Node* n = _lfof_<const Node>(base, pending.back());
    pending.pop_back();
    if (n->bits == 0) {
      for (uint64_t a = node_slots(n)[0]; a != kNoOffset;) {
        const auto* alias = _lfof_<const LpcAlias>(base, a);
        visit(n->key, Traits::kKeyLength - alias->slen, alias->value);
        a = alias->next_off;
      }
      continue;
    }
    const typename Traits::Count slots = Traits::pow2(n->bits);
    for (typename Traits::Count i = 0; i < slots; ++i) {
      if (const uint64_t c = node_slots(n)[i]; c != kNoOffset) pending.push_back(c);
    }
  }
}

}  // namespace quillmap
