// The key tree: every dictionary entry is one RbtreeNode in a red-black tree inside the segment.
//
// Order: by key_crc (crc32_short of the key, unsigned), then by the key bytes over the shorter length
// (unsigned bytes), then the shorter key first. The tree holds at most one node per key.
//
// Invariants:
//   1. Every empty link (a leaf's left/right, the root's parent) holds the sentinel's offset; the
//      sentinel is black and only its parent field is ever written (scratch for the deletion fix-up).
//   2. The root is black; no red node has a red child; every path from a node down to the sentinel
//      passes the same number of black nodes.
//   3. TreeRoot::root == TreeRoot::sentinel exactly when the tree is empty.
//
// Nodes never move in memory and key/value bytes are never copied: deletion relinks nodes.
// Lookups need a read or write hold of the segment lock; insertion and deletion the write hold.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "store/layout.h"
#include "store/segment_view.h"

namespace quillmap {

// CRC-32 (reflected polynomial 0xEDB88320, initial and final XOR all ones), eight bytes at a time
// (little-endian hosts). "abc" gives 0x352441C2; length 0 gives 0.
uint32_t crc32_short(const void* data, uint64_t len);

inline TreeRoot* key_tree_of(SlabPool* pool) noexcept { return _lfof_<TreeRoot>(pool, pool->key_tree); }
inline const TreeRoot* key_tree_of(const SlabPool* pool) noexcept {
  return _lfof_<const TreeRoot>(pool, pool->key_tree);
}

// <0, 0, >0 as the stored key (node_key, node_len) orders before, equal to, after `key` of `len`
// bytes, both with the same checksum.
inline int rbtree_compare_keys(const uint8_t* node_key_bytes, uint64_t node_len, const void* key,
                               uint64_t len) noexcept {
  uint64_t common = node_len < len ? node_len : len;
  int r = common == 0 ? 0 : std::memcmp(node_key_bytes, key, common);
  if (r != 0) return r;
  return node_len < len ? -1 : (node_len > len ? 1 : 0);
}

// The node whose key equals `key` (len bytes), or nullptr. Every node header is fetched through the
// view with at<RbtreeNode>(off, kNodeHeaderSize) and key bytes with at<uint8_t>(off + 57, key_len);
// step() is called once per node visited. A refusal of the view ends the search with nullptr.
template <class View>
const RbtreeNode* rbtree_find(View& v, const TreeRoot* tree, const void* key, uint64_t len) {
  const uint64_t sentinel = tree->sentinel;
  uint64_t off = tree->root;
  if (off == sentinel) return nullptr;
  const uint64_t crc = crc32_short(key, len);
  while (off != sentinel) {
    if (!v.step()) return nullptr;
    const RbtreeNode* node = v.template at<RbtreeNode>(off, kNodeHeaderSize);
    if (node == nullptr) return nullptr;
    int cmp;
    if (node->key_crc != crc) {
      cmp = node->key_crc > crc ? 1 : -1;
    } else {
      const uint8_t* node_key_bytes = v.template at<uint8_t>(off + kNodeHeaderSize, node->key_len);
      if (node_key_bytes == nullptr) return nullptr;
      cmp = rbtree_compare_keys(node_key_bytes, node->key_len, key, len);
      if (cmp == 0) return node;
    }
    off = cmp > 0 ? node->left : node->right;
  }
  return nullptr;
}

namespace rbtree_detail {

template <class View, class F>
bool walk_subtree(View& v, uint64_t off, uint64_t sentinel, F& visit) {
  // Recursive on the left, iterative on the right: the depth is bounded by the tree's height.
  while (off != sentinel) {
    if (!v.step()) return false;
    const RbtreeNode* node = v.template at<RbtreeNode>(off, kNodeHeaderSize);
    if (node == nullptr) return false;
    if (!walk_subtree(v, node->left, sentinel, visit)) return false;
    const uint8_t* key = v.template at<uint8_t>(off + kNodeHeaderSize, node->key_len);
    if (key == nullptr) return false;
    bool go_on;
    if constexpr (std::is_invocable_v<F&, const RbtreeNode*, const uint8_t*>) {
      go_on = visit(node, key);
    } else {
      go_on = visit(node);
    }
    if (!go_on) return false;
    off = node->right;
  }
  return true;
}

}  // namespace rbtree_detail

// Visits every node in tree order: visit(const RbtreeNode* node, const uint8_t* key) or
// visit(const RbtreeNode* node), returning bool (false stops the walk). The key bytes have been
// admitted by the view before visit runs. Returns true when the walk reached its end, false when the
// view refused an offset or a step, or visit returned false. The visitor must not change the tree.
template <class View, class F>
bool rbtree_walk_inorder(View& v, const TreeRoot* tree, F&& visit) {
  return rbtree_detail::walk_subtree(v, tree->root, tree->sentinel, visit);
}

// rbtree_find through the daemon's own view.
RbtreeNode* rbtree_get(SlabPool* pool, TreeRoot* tree, const void* key, uint64_t len);

// Links `node`, whose key_crc, key_len and key bytes are filled in. A node with an equal key already
// in the tree leaves everything unchanged and `node` unlinked. Write lock held.
void rbtree_insert(SlabPool* pool, TreeRoot* tree, RbtreeNode* node);

// Unlinks `node` (its chunk is not freed) and clears its first 32 bytes (key_crc and the links). The
// in-order successor of a node with two children takes its place; no node moves in memory. A root with
// one child hands over to it with the sentinel as its parent. A node already taken out (links 0)
// leaves the tree unchanged; to insert it again, restore its key_crc first. Write lock held.
void rbtree_delete(SlabPool* pool, TreeRoot* tree, RbtreeNode* node);

// The rotations used by insertion and deletion. *root is the root offset to update when `node` is
// the root.
void rbtree_left_rotate(SlabPool* pool, uint64_t* root, RbtreeNode* sentinel, RbtreeNode* node);
void rbtree_right_rotate(SlabPool* pool, uint64_t* root, RbtreeNode* sentinel, RbtreeNode* node);

}  // namespace quillmap
