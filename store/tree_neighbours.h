// The worker's ordered copy of its key tree's (checksum, node) pairs, from which a new key's place in
// the tree is found through its in-order neighbours: a binary search in process memory and one or two
// node reads, instead of the walk from the root, whose ~20 dependent reads are mostly cache misses in
// a large tree. The link found is the one the walk would end at (there is exactly one empty link
// between two neighbours in tree order), so the stores of an insertion, and its crash steps, are the
// same either way.
//
// Kept only for the published dictionary (change_epoch.h), and trusted only while the change chain
// shows that no other writer has held the lock since this copy last followed the tree: every change
// of the tree in between went through this process's rbtree_insert and rbtree_delete, which keep the
// copy. Otherwise the copy is rebuilt from the tree at its next use. A tree found empty (laid out
// afresh) empties it.
//
// An answer is refused, and the caller walks from the root, when the copy is not kept for this tree,
// when a node of the same checksum exists (their order needs the key bytes), or when the nearest
// neighbour lies too many buckets away (a small tree, where the walk is short anyway).
#pragma once

#include "store/layout.h"

namespace quillmap {

// Where `node` (not in the tree; key_crc filled in) links: below *parent, on its right when *right.
// Write lock held. false: no answer, walk from the root.
bool neighbour_place(SlabPool* pool, const TreeRoot* tree, const RbtreeNode* node, RbtreeNode** parent,
                     bool* right);

// Called by the key tree once `node` is linked, and before it is unlinked. neighbour_unlinking
// answers the offset of the node's successor in tree order (the node that takes the place of a node
// with two children) when the copy knows it, else 0; the caller checks it has no left child.
void neighbour_linked(SlabPool* pool, const TreeRoot* tree, const RbtreeNode* node);
uint64_t neighbour_unlinking(SlabPool* pool, const TreeRoot* tree, const RbtreeNode* node);

// For a run of requests that add or delete keys: the stages of fetching ahead what neighbour_place
// or neighbour_unlinking will read for a key of checksum `crc`, each once the one before has
// arrived: stage 0 the bucket, stage 1 its pairs; then for a new key, stage 2 the two neighbour
// nodes it is linked below; for a deleted one, stage 2 its successor and stage 3 the successor's
// parent and right child. Hints only; nothing when no copy is kept.
void prefetch_neighbours(uint32_t crc, bool deleting, int stage);

// Builds the copy afresh from the tree as it stands, so that the first insertion does not pay for it:
// the writer, once any repair of the store is done and before it serves. Called between changes.
void prepare_neighbours(SlabPool* pool, const TreeRoot* tree);

}  // namespace quillmap
