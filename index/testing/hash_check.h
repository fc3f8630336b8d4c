// Test support: checks the hash index against the dictionary's key tree and returns the first
// violation, or "": the table is an index-pool allocation in use of `bytes` bytes holding `capacity`
// slots; each occupied slot names a live tree entry, once, with the hash of its key_crc; Robin Hood
// order holds; at most 7/8 of the slots are occupied; count equals the slots used and the tree's
// entries. (That hash_find answers, the callers' lookups check.)
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>

#include "index/hash_index.h"
#include "store/layout.h"
#include "store/rbtree.h"
#include "store/segment_view.h"
#include "store/slab.h"
#include "store/testing/check_format.h"

namespace quillmap::testing {

inline std::string hash_check(SlabPool* ipool, const HashRoot& root, SlabPool* dict) {
  std::unordered_set<uint64_t> live;
  TrustedView dv(dict);
  rbtree_walk_inorder(dv, key_tree_of(dict), [&](const RbtreeNode* n) {
    live.insert(offset_of_record(dict, n));
    return true;
  });

  if (root.table == 0)
    return root.capacity == 0 && root.count == 0 && root.bytes == 0 && live.empty() ? "" : "no table, but entries";
  const void* table = _lfof_<const void>(ipool, root.table);
  if (root.table >= ipool->pool_end || !slab_allocation_in_use(ipool, table))
    return check_format("table %lu is no allocation of the index pool", (unsigned long)root.table);
  const uint64_t cap = root.capacity;
  if (slab_allocation_size(ipool, table) != root.bytes || cap < kHashMinSlots || cap > root.bytes / 8 ||
      cap > kHashMaxSlots)
    return check_format("capacity %lu in %lu bytes", (unsigned long)cap, (unsigned long)root.bytes);

  const uint64_t* slots = static_cast<const uint64_t*>(table);
  std::unordered_set<uint64_t> named;
  // Displacement of the slot before slot i, walking once round from an empty slot (one exists).
  uint64_t start = 0;
  while (start < cap && slots[start] != 0) ++start;
  if (start == cap) return "no empty slot";
  int64_t previous = -1;
  for (uint64_t k = 1; k <= cap; ++k) {
    const uint64_t i = (start + k) % cap, slot = slots[i];
    if (slot == 0 && (previous = -1)) continue;
    const uint64_t off = hash_slot_entry(slot);
    if (!live.count(off))
      return check_format("slot %lu names %lu, no live entry", (unsigned long)i, (unsigned long)off);
    if (!named.insert(off).second) return check_format("entry %lu named twice", (unsigned long)off);
    const auto* n = _lfof_<const RbtreeNode>(dict, off);
    if (hash_slot_hash(slot) != hash_of_crc(static_cast<uint32_t>(n->key_crc)))
      return check_format("slot %lu: hash differs from its entry's", (unsigned long)i);
    const uint64_t d = hash_displacement(i, hash_home(hash_slot_hash(slot), cap), cap);
    if (static_cast<int64_t>(d) > previous + 1)
      return check_format("slot %lu: displacement %lu after %ld", (unsigned long)i, (unsigned long)d, (long)previous);
    previous = static_cast<int64_t>(d);
  }
  if (root.count != named.size() || named.size() != live.size())
    return check_format("count %lu, %zu slots occupied, the tree holds %zu", (unsigned long)root.count, named.size(),
                        live.size());
  if (named.size() * 8 > cap * 7) return check_format("%zu entries in %lu slots", named.size(), (unsigned long)cap);
  return "";
}

}  // namespace quillmap::testing
