// Test support: the trie operations of both key widths behind one interface, prefix masks and a
// longest-prefix model (one hash table per prefix length), for typed tests over 32- and 128-bit keys.
#pragma once

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "lpctrie/lpctrie.h"
#include "lpctrie/trie_ops.h"
#include "store/segment_view.h"

namespace quillmap::testing {

// One interface over both key widths: the class that lpctrie.h's exported functions wrap, and the
// daemon's search (a trusted view). The wrappers themselves meet EntryModel, which stores through them.
template <class Traits>
struct TrieApi {
  using Trie = LpcTrie<Traits>;
  using Node = typename Trie::Node;
  using Key = typename Trie::Key;
  static Node* create(SlabPool* p) { return Trie::create(p); }
  static int64_t insert(SlabPool* p, Node* r, Key k, Key m, uint64_t v) { return Trie(p, r).insert(k, m, v); }
  static uint64_t find(SlabPool* p, const Node* r, Key a) {
    TrustedView view(p);
    return lpctrie_find_in<Traits>(view, offset_of_record(p, r), a);
  }
  static int64_t remove(SlabPool* p, Node* r, Key k, Key m) { return Trie(p, r).remove(k, m); }
};

// Mask of a prefix of `len` bits (0 .. kKeyLength), and the last address of the prefix (key, len).
template <class Traits>
typename Traits::Key prefix_mask(unsigned len) {
  return Traits::clear_below(static_cast<typename Traits::Key>(~typename Traits::Key{0}), Traits::kKeyLength - len);
}
template <class Traits>
typename Traits::Key prefix_last(typename Traits::Key key, unsigned len) {
  return key | static_cast<typename Traits::Key>(~prefix_mask<Traits>(len));
}

// The stored prefixes: by_len[L] maps each key of a prefix of length L to its value; keys lists them all.
template <class Traits>
struct PrefixModel {
  using Key = typename Traits::Key;
  struct Hash {
    size_t operator()(Key k) const { return static_cast<uint64_t>(k) ^ static_cast<uint64_t>(uint128_t{k} >> 64) * 31; }
  };
  std::vector<std::unordered_map<Key, uint64_t, Hash>> by_len = decltype(by_len)(Traits::kKeyLength + 1);
  std::vector<std::pair<Key, unsigned>> keys;

  void put(Key key, unsigned len, uint64_t value) {
    if (by_len[len].insert_or_assign(key, value).second) keys.emplace_back(key, len);
  }
  void erase(Key key, unsigned len) {
    if (by_len[len].erase(key) == 0) return;
    *std::find(keys.begin(), keys.end(), std::pair{key, len}) = keys.back();
    keys.pop_back();
  }
  bool contains(Key key, unsigned len) const { return by_len[len].count(key) != 0; }
  uint64_t longest_match(Key addr) const {
    for (unsigned len = Traits::kKeyLength + 1; len-- > 0;) {
      if (auto it = by_len[len].find(addr & prefix_mask<Traits>(len)); it != by_len[len].end()) return it->second;
    }
    return kLpcNotFound;
  }
};

}  // namespace quillmap::testing
