// Test support: the public trie operations of both key widths behind one interface, prefix helpers and
// a brute-force longest-prefix model, so that typed tests run the same cases for 32-bit and 128-bit
// keys.
#pragma once

#include <cstdint>
#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

#include "lpctrie/key_traits.h"
#include "lpctrie/lpctrie.h"

namespace quillmap::testing {

template <class Traits>
struct TrieApi;

template <>
struct TrieApi<Trie32Traits> {
  using Node = LpcNode32;
  using Key = uint32_t;
  static Node* create(SlabPool* p) { return lpctrie32_create(p); }
  static int64_t insert(SlabPool* p, Node* r, Key key, Key mask, uint64_t v) {
    return lpctrie32_insert(p, r, key, mask, v);
  }
  static uint64_t find(SlabPool* p, const Node* r, Key addr) { return lpctrie32_find(p, r, addr); }
  static int64_t remove(SlabPool* p, Node* r, Key key, Key mask) { return lpctrie32_delete(p, r, key, mask); }
};

template <>
struct TrieApi<Trie128Traits> {
  using Node = LpcNode128;
  using Key = uint128_t;
  static uint64_t lo(Key k) { return Trie128Traits::low(k); }
  static uint64_t hi(Key k) { return Trie128Traits::high(k); }
  static Node* create(SlabPool* p) { return lpctrie128_create(p); }
  static int64_t insert(SlabPool* p, Node* r, Key key, Key mask, uint64_t v) {
    return lpctrie128_insert(p, r, lo(key), hi(key), lo(mask), hi(mask), v);
  }
  static uint64_t find(SlabPool* p, const Node* r, Key addr) { return lpctrie128_find(p, r, lo(addr), hi(addr)); }
  static int64_t remove(SlabPool* p, Node* r, Key key, Key mask) {
    return lpctrie128_delete(p, r, lo(key), hi(key), lo(mask), hi(mask));
  }
};

// Mask of a prefix of `len` bits (0 .. kKeyLength).
template <class Traits>
typename Traits::Key prefix_mask(unsigned len) {
  return Traits::clear_below(static_cast<typename Traits::Key>(~typename Traits::Key{0}), Traits::kKeyLength - len);
}

// The last address of the prefix (key, len).
template <class Traits>
typename Traits::Key prefix_last(typename Traits::Key key, unsigned len) {
  return key | static_cast<typename Traits::Key>(~prefix_mask<Traits>(len));
}

template <class Key>
struct KeyHash {
  size_t operator()(Key k) const {
    uint64_t x = static_cast<uint64_t>(k) ^ static_cast<uint64_t>(static_cast<unsigned __int128>(k) >> 64) * 31;
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    return static_cast<size_t>(x);
  }
};

// The stored prefixes, one hash table per prefix length; a lookup tries every length from the longest.
template <class Traits>
class PrefixModel {
 public:
  using Key = typename Traits::Key;
  static constexpr unsigned K = Traits::kKeyLength;

  PrefixModel() : by_len_(K + 1) {}

  void put(Key key, unsigned len, uint64_t value) {
    auto [it, added] = by_len_[len].insert_or_assign(key, value);
    if (added) keys_.emplace_back(key, len);
  }
  bool erase(Key key, unsigned len) {
    if (by_len_[len].erase(key) == 0) return false;
    for (auto& kl : keys_) {
      if (kl.first == key && kl.second == len) {
        kl = keys_.back();
        keys_.pop_back();
        break;
      }
    }
    return true;
  }
  bool contains(Key key, unsigned len) const { return by_len_[len].count(key) != 0; }
  uint64_t longest_match(Key addr) const {
    for (unsigned len = K + 1; len-- > 0;) {
      const auto& table = by_len_[len];
      if (table.empty()) continue;
      auto it = table.find(addr & prefix_mask<Traits>(len));
      if (it != table.end()) return it->second;
    }
    return kLpcNotFound;
  }
  size_t size() const { return keys_.size(); }
  const std::vector<std::pair<Key, unsigned>>& keys() const { return keys_; }  // (key, prefix length)
  uint64_t value(Key key, unsigned len) const { return by_len_[len].at(key); }

 private:
  std::vector<std::unordered_map<Key, uint64_t, KeyHash<Key>>> by_len_;
  std::vector<std::pair<Key, unsigned>> keys_;
};

}  // namespace quillmap::testing
