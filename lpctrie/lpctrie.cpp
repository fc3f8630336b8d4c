#include "lpctrie/lpctrie.h"

#include "lpctrie/trie_update.h"
#include "store/segment_view.h"

namespace quillmap {

template class LpcTrie<Trie32Traits>;
template class LpcTrie<Trie128Traits>;

namespace {
using Trie32 = LpcTrie<Trie32Traits>;
using Trie128 = LpcTrie<Trie128Traits>;
}  // namespace

LpcNode32* lpctrie32_create(SlabPool* pool) { return Trie32::create(pool); }

int64_t lpctrie32_insert(SlabPool* pool, LpcNode32* root, uint32_t key, uint32_t mask, uint64_t value) {
  return Trie32(pool, root).insert(key, mask, value);
}

uint64_t lpctrie32_find(SlabPool* pool, const LpcNode32* root, uint32_t addr) {
  TrustedView view(pool);
  return lpctrie32_find_in(view, offset_of_record(pool, root), addr);
}

int64_t lpctrie32_delete(SlabPool* pool, LpcNode32* root, uint32_t key, uint32_t mask) {
  return Trie32(pool, root).remove(key, mask);
}

LpcNode128* lpctrie128_create(SlabPool* pool) { return Trie128::create(pool); }

int64_t lpctrie128_insert(SlabPool* pool, LpcNode128* root, uint64_t key_lo, uint64_t key_hi, uint64_t mask_lo,
                          uint64_t mask_hi, uint64_t value) {
  return Trie128(pool, root).insert(Trie128Traits::make(key_lo, key_hi), Trie128Traits::make(mask_lo, mask_hi),
                                    value);
}

uint64_t lpctrie128_find(SlabPool* pool, const LpcNode128* root, uint64_t addr_lo, uint64_t addr_hi) {
  TrustedView view(pool);
  return lpctrie128_find_in(view, offset_of_record(pool, root), addr_lo, addr_hi);
}

int64_t lpctrie128_delete(SlabPool* pool, LpcNode128* root, uint64_t key_lo, uint64_t key_hi, uint64_t mask_lo,
                          uint64_t mask_hi) {
  return Trie128(pool, root).remove(Trie128Traits::make(key_lo, key_hi), Trie128Traits::make(mask_lo, mask_hi));
}

}  // namespace quillmap
