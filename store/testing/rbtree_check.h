// Test support: checks the key tree and returns a description of the first violation, or "":
// sentinel black; root black with the sentinel as parent; parent links agree with child links; no red
// node with a red child; equal black height on every path; key_crc equals crc32_short of the key; an
// in-order walk is strictly increasing in tree order. Optionally reports the node count.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "store/layout.h"
#include "store/rbtree.h"
#include "store/testing/check_format.h"

namespace quillmap::testing {

inline std::string rbtree_check(const SlabPool* pool, const TreeRoot* tree, uint64_t* count = nullptr) {
  auto node = [&](uint64_t off) { return _lfof_<const RbtreeNode>(pool, off); };
  if (node(tree->sentinel)->color != 0) return "sentinel is not black";
  if (tree->root != tree->sentinel && node(tree->root)->color != 0) return "root is not black";
  uint64_t seen = 0;
  const RbtreeNode* last = nullptr;
  std::string err;
  // Black height of the subtree at off; err keeps the first violation (a cycle breaks a parent link).
  std::function<int64_t(uint64_t, uint64_t)> visit = [&](uint64_t off, uint64_t parent) -> int64_t {
    if (off == tree->sentinel) return 1;
    auto fail = [&](const char* what) -> int64_t {
      if (err.empty()) err = check_format("node %lu: %s", (unsigned long)off, what);
      return -1;
    };
    if (off == 0 || off >= pool->pool_end) return fail("link leaves the pool");
    const RbtreeNode* n = node(off);
    if (n->parent != parent) return fail("parent link disagrees with the child link");
    if (n->color > 1) return fail("color neither red nor black");
    if (n->color == 1 && (node(n->left)->color == 1 || node(n->right)->color == 1)) return fail("red with a red child");
    const int64_t lh = visit(n->left, off);
    if (n->key_crc != crc32_short(node_key(n), n->key_len)) return fail("key_crc differs from the key's checksum");
    if (last != nullptr && (last->key_crc != n->key_crc
                                ? last->key_crc > n->key_crc
                                : rbtree_compare_keys(node_key(last), last->key_len, node_key(n), n->key_len) >= 0))
      return fail("in-order walk not increasing");
    last = n;
    ++seen;
    const int64_t rh = visit(n->right, off);
    if (lh != rh) return fail("black heights differ left and right");
    return lh + (n->color == 0 ? 1 : 0);
  };
  visit(tree->root, tree->sentinel);
  if (!err.empty()) return err;
  if (count != nullptr) *count = seen;
  return "";
}

}  // namespace quillmap::testing
