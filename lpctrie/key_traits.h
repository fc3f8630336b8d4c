// Key traits of the prefix tries: everything that depends on the key width, and all of the bit
// arithmetic at the edges of a key (shifts by the full width, the child index at the trie root, the
// highest differing bit), in one place. The trie code itself never shifts a key.
//
// Bit numbering (see lpctrie.h for the picture): bit kKeyLength - 1 is the first bit of the address,
// bit 0 the last. `Key` is the type of keys and of the node counters stored in a node; `Count` is at
// least one bit wider in range than any slot count a node can have, so that products with the
// rebalancing factors and strides cannot overflow.
#pragma once

#include <bit>
#include <cstdint>

namespace quillmap {

namespace key_bits {

// Shifts that give 0 when the amount reaches the type's width, where the plain operator is undefined.
template <class T>
constexpr T shift_right(T x, unsigned n) noexcept {
  return n >= sizeof(T) * 8 ? T{0} : static_cast<T>(x >> n);
}
template <class T>
constexpr T shift_left(T x, unsigned n) noexcept {
  return n >= sizeof(T) * 8 ? T{0} : static_cast<T>(x << n);
}

}  // namespace key_bits

// Shared operations; `Derived` supplies Key, Count, kKeyLength, highest_differing_bit and popcount.
template <class Derived, class KeyT, class CountT, unsigned kWidth>
struct KeyTraitsBase {
  using Key = KeyT;
  using Count = CountT;
  static constexpr unsigned kKeyLength = kWidth;

  // 2^n as a Count (n below Count's width).
  static constexpr Count pow2(unsigned n) noexcept { return key_bits::shift_left(Count{1}, n); }

  // 2^n as a Key (n below kKeyLength): the bit an inflate adds to the key of a split child's upper half.
  static constexpr Key bit(unsigned n) noexcept { return key_bits::shift_left(Key{1}, n); }

  // The key with every bit below `n` cleared; 0 when n is kKeyLength.
  static constexpr Key clear_below(Key k, unsigned n) noexcept {
    return key_bits::shift_left(key_bits::shift_right(k, n), n);
  }

  // The child index of `k` in a node with key `node_key` and index position `pos`: 0 at the trie root
  // (pos == kKeyLength), else (k XOR node_key) >> pos. It is below 2^bits exactly when k agrees with
  // node_key on every bit at and above pos + bits.
  static constexpr Count child_index(Key k, Key node_key, unsigned pos) noexcept {
    return static_cast<Count>(key_bits::shift_right(static_cast<Key>(k ^ node_key), pos));
  }

  // Whether child index `i` lies within a node taking `bits` bits (i < 2^bits).
  static constexpr bool index_fits(Count i, unsigned bits) noexcept {
    return key_bits::shift_right(i, bits) == 0;
  }

  // Stride arithmetic of the suffix-length scan: x << n, 0 once n reaches Count's width.
  static constexpr Count count_shift_left(Count x, unsigned n) noexcept { return key_bits::shift_left(x, n); }

  // Suffix length of a mask: kKeyLength minus its one-bits (a zero mask gives kKeyLength).
  static constexpr unsigned suffix_length(Key mask) noexcept { return kKeyLength - Derived::popcount(mask); }

  // Whether an address that differs from a prefix's key by `diff` lies within a prefix of suffix
  // length `slen` (diff < 2^slen; every address when slen >= kKeyLength).
  static constexpr bool within_suffix(Key diff, unsigned slen) noexcept {
    return key_bits::shift_right(diff, slen) == 0;
  }

  // Whether `addr` differs from `node_key` at or above node_key's lowest one-bit (never when node_key
  // is 0): such an address cannot match any prefix of that node's subtree that ends at or above it.
  static constexpr bool prefix_mismatch(Key addr, Key node_key) noexcept {
    Key diff = addr ^ node_key;
    return (diff & (node_key | static_cast<Key>(-node_key))) != 0;
  }
};

struct Trie32Traits : KeyTraitsBase<Trie32Traits, uint32_t, uint64_t, 32> {
  // Padding between slen and parent_off in a node, so that the layout matches the record exactly.
  static constexpr unsigned kNodePad = 1;

  static constexpr unsigned popcount(Key k) noexcept { return static_cast<unsigned>(std::popcount(k)); }

  // Highest bit (0 .. 31) in which a and b differ; requires a != b.
  static constexpr unsigned highest_differing_bit(Key a, Key b) noexcept {
    return 31u - static_cast<unsigned>(std::countl_zero(a ^ b));
  }
};

using uint128_t = unsigned __int128;

struct Trie128Traits : KeyTraitsBase<Trie128Traits, uint128_t, uint128_t, 128> {
  static constexpr unsigned kNodePad = 5;

  static constexpr uint64_t low(Key k) noexcept { return static_cast<uint64_t>(k); }
  static constexpr uint64_t high(Key k) noexcept { return static_cast<uint64_t>(k >> 64); }
  static constexpr Key make(uint64_t lo, uint64_t hi) noexcept { return static_cast<Key>(hi) << 64 | lo; }

  static constexpr unsigned popcount(Key k) noexcept {
    return static_cast<unsigned>(std::popcount(low(k)) + std::popcount(high(k)));
  }

  // Highest bit (0 .. 127) in which a and b differ; requires a != b.
  static constexpr unsigned highest_differing_bit(Key a, Key b) noexcept {
    Key d = a ^ b;
    if (high(d) != 0) return 127u - static_cast<unsigned>(std::countl_zero(high(d)));
    return 63u - static_cast<unsigned>(std::countl_zero(low(d)));
  }
};

}  // namespace quillmap
