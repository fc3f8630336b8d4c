// Test support: key-tree nodes built the way the entry layer builds them.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "store/layout.h"
#include "store/rbtree.h"
#include "store/slab.h"

namespace quillmap::testing {

// A zero-filled node for key and value, not yet in any tree; null when the pool is full.
inline RbtreeNode* make_node(SlabPool* pool, const std::string& key, const std::string& value = "",
                             uint64_t expires = 0, bool is_address = false) {
  auto* n = static_cast<RbtreeNode*>(slab_calloc_locked(pool, kNodeHeaderSize + key.size() + value.size()));
  if (n == nullptr) return nullptr;
  n->key_crc = crc32_short(key.data(), key.size());
  n->key_len = static_cast<uint16_t>(key.size());
  n->value_len = static_cast<uint32_t>(value.size());
  n->expires = expires;
  n->is_address = is_address ? 1 : 0;
  std::memcpy(node_key(n), key.data(), key.size());
  std::memcpy(node_value(n), value.data(), value.size());
  return n;
}

}  // namespace quillmap::testing
