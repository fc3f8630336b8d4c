// A process-private directory of one key tree's nodes, so that an insertion finds the empty link the
// tree walk would reach without walking the tree's ~20 levels: the worker keeps one for its
// dictionary, built from the tree at start and told of every link and unlink by rbtree_insert and
// rbtree_delete themselves.
//
// It holds (key_crc, node offset) for every node, in tree order, in blocks of at most kBlockCap
// entries under a top level of each block's first checksum. For a key that is not in the tree it
// names the key's in-order neighbours pred and succ; the walk would attach the key as pred's right
// child when pred has none, and else as succ's left child (which then has none). Only the place is
// found differently: the link, the red-black fix-up and the journalled steps are the tree's own, so
// the tree comes out exactly as the walk leaves it, and nothing of the directory is in the segment
// (a successor builds its own).
//
// Invariants: no block is empty (the directory may have no block); entries are in tree order within
// and across blocks; first_[b] is blocks_[b]'s first checksum; every node of the tree is named once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "store/layout.h"

namespace quillmap {

class TreeDirectory {
 public:
  static constexpr uint32_t kBlockCap = 256;

  // Where a key belongs: the position of the first entry not before it, its neighbours' offsets
  // (0: none) and whether that entry has the key itself.
  struct Place {
    size_t block = 0;
    uint32_t index = 0;
    uint64_t pred = 0;
    uint64_t succ = 0;
    bool present = false;
  };

  // Names the nodes of `tree` (in pool) and nothing else.
  void rebuild(const SlabPool* pool, const TreeRoot* tree);

  // The place of `node`'s key (its key_crc, key_len and key bytes are read).
  Place locate(const SlabPool* pool, const RbtreeNode* node) const;

  // Names the node at node_off, whose key belongs at `at` (from locate, with nothing changed since).
  void insert(const Place& at, uint32_t crc, uint64_t node_off);

  // Forgets the node at node_off (its key still in place). False when it was not named.
  bool erase(const SlabPool* pool, const RbtreeNode* node, uint64_t node_off);

  uint64_t size() const noexcept { return size_; }

  // Visits every named offset in order (tests).
  template <class F>
  void for_each(F&& visit) const {
    for (const auto& b : blocks_)
      for (uint32_t i = 0; i < b->n; ++i) visit(b->off[i]);
  }

 private:
  struct Block {
    uint32_t n = 0;
    uint32_t crc[kBlockCap];
    uint64_t off[kBlockCap];
  };

  std::vector<std::unique_ptr<Block>> blocks_;
  std::vector<uint32_t> first_;
  uint64_t size_ = 0;
};

// Makes rbtree_insert and rbtree_delete keep a directory of `pool`'s key tree, built now from the tree;
// a null pool drops it. The caller is the tree's only writer and is not changing it now.
void keep_tree_directory(const SlabPool* pool);

// The directory kept for `pool`, or null.
TreeDirectory* tree_directory_of(const SlabPool* pool);

}  // namespace quillmap
