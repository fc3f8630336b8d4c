// shm_lpctrie: the two prefix tries of the address index (IPv4 with 32-bit keys, IPv6 with 128-bit
// keys). Each maps every stored prefix to a 64-bit value chosen by the caller (the address operations
// store the offset of the key's entry) and finds, for an address, the value of the longest stored
// prefix containing it. Both are one level- and path-compressed trie, templated over key traits
// (key_traits.h); the records are in lpc_node.h.
//
// Keys are unsigned integers in host order; bit K-1 (K = kKeyLength, 32 or 128) is the first bit of
// the address. A node looks at the key like this:
//
//        K-1                pos+bits   pos                        0
//   key:  [ bits fixed by  |  child   | skipped, or consumed     ]
//         [ the node's key |  index   | by nodes below           ]
//
//   - pos:  the lowest bit of the node's child index; bits: how many bits the index takes. A node has
//           2^bits slots; the child index of key k is (k XOR node.key) >> pos, and k lies in the node's
//           subtree exactly when that index is below 2^bits.
//   - The trie root has pos = K, bits 0 and one slot (the top node); its child index is always 0.
//     A leaf has pos 0, bits 0, and its one slot heads its alias list.
//   - Skipped bits: a child's pos + bits may lie below its parent's pos; the bits in between are the
//     same for every key below the child (they sit in the child's key). A child with no bits skipped
//     (internal, pos + bits == parent's pos) is "full".
//   - A prefix of length L has suffix length slen = K - L (0 for a host, K for the default route);
//     an address a matches a leaf's alias when (a XOR leaf.key) < 2^slen.
//   - A node's slen is never below the longest suffix stored in its subtree; the root's is K.
//
// Invariants (checked by lpctrie/testing/trie_check.h):
//   1. A leaf's aliases are in strictly ascending slen (longest prefix first); a leaf has at least one.
//   2. Every node's slen is at least the slen of every alias below it; an internal node's is at least
//      its pos. Removal may leave slens higher than needed.
//   3. A node's parent_off names the node whose slot holds it, at the node's child index (slot 0 of
//      the root); each alias's pprev_off is the offset of the field that holds the alias's offset.
//   4. An internal node's empty_children and full_children count its empty slots and full children.
//   5. An internal node's key has no bits below pos + bits; a leaf's key none below its shortest
//      prefix (insert and delete clear any such bits of the key they are given).
//
// Locking: create, insert and delete need the segment's write lock; find needs at least the read lock
// and writes nothing. Outside readers use the find template directly:
//
//   template <class View> uint64_t lpctrie32_find_in(View& view, uint64_t root_off, uint32_t addr);
//   template <class View> uint64_t lpctrie128_find_in(View& view, uint64_t root_off,
//                                                     uint64_t addr_lo, uint64_t addr_hi);
//   (general form: lpctrie_find_in<Trie32Traits or Trie128Traits>(view, root_off, key))
//
// in lpctrie/lpctrie_find.h, with root_off the SlabPool's trie4 or trie6. They return the value, or
// kLpcNotFound (all ones) when no prefix matches or the view refused an offset or a step.
#pragma once

#include <cstdint>

#include "lpctrie/lpc_node.h"
#include "lpctrie/lpctrie_find.h"
#include "store/layout.h"

namespace quillmap {

// A new empty IPv4 trie root (32 bytes), or nullptr when the allocation fails. Write lock held.
LpcNode32* lpctrie32_create(SlabPool* pool);

// Stores the prefix (key, mask) with `value`; key and mask in host order. The prefix length is the
// number of one-bits of the mask; key bits below it should be clear and are ignored. kDone (0) when
// added or its value replaced (replacing allocates nothing); kFailed (-1) when an allocation failed,
// with the trie unchanged. Write lock held.
int64_t lpctrie32_insert(SlabPool* pool, LpcNode32* root, uint32_t key, uint32_t mask, uint64_t value);

// The value of the longest stored prefix that contains `addr`, or kLpcNotFound (all ones).
// Read or write lock held.
uint64_t lpctrie32_find(SlabPool* pool, const LpcNode32* root, uint32_t addr);

// Removes the prefix (key, mask): kDone (0), or kNothingToDo (-4) when it is not stored (nothing
// changes). Write lock held.
int64_t lpctrie32_delete(SlabPool* pool, LpcNode32* root, uint32_t key, uint32_t mask);

// The same for IPv6; 128-bit values travel as (low 64 bits, high 64 bits). The root takes 80 bytes.
LpcNode128* lpctrie128_create(SlabPool* pool);
int64_t lpctrie128_insert(SlabPool* pool, LpcNode128* root, uint64_t key_lo, uint64_t key_hi, uint64_t mask_lo,
                          uint64_t mask_hi, uint64_t value);
uint64_t lpctrie128_find(SlabPool* pool, const LpcNode128* root, uint64_t addr_lo, uint64_t addr_hi);
int64_t lpctrie128_delete(SlabPool* pool, LpcNode128* root, uint64_t key_lo, uint64_t key_hi, uint64_t mask_lo,
                          uint64_t mask_hi);

}  // namespace quillmap
