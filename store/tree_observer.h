// A mirror of the key tree (the index) learns here of every entry linked into or unlinked from the
// tree of one pool, whichever path changes it (requests, loads, sweeps, purges), in the same write
// hold. Only the registered pool is observed: other pools (tests, a tool's private store) are not.
#pragma once

#include "store/layout.h"

namespace quillmap {

struct TreeObserver {
  void (*linked)(SlabPool* pool, RbtreeNode* node);     // after the node is in the tree
  void (*unlinking)(SlabPool* pool, RbtreeNode* node);  // before it leaves it (key bytes intact)
};

// Makes `observer` hear of the changes of `pool`'s tree; a null observer stops it.
void observe_tree(const SlabPool* pool, const TreeObserver* observer);

namespace tree_observer_detail {
extern const SlabPool* observed_pool;
extern const TreeObserver* observer;
}  // namespace tree_observer_detail

inline void note_linked(SlabPool* pool, RbtreeNode* node) {
  using namespace tree_observer_detail;
  if (pool == observed_pool && observer != nullptr) observer->linked(pool, node);
}
inline void note_unlinking(SlabPool* pool, RbtreeNode* node) {
  using namespace tree_observer_detail;
  if (pool == observed_pool && observer != nullptr) observer->unlinking(pool, node);
}

}  // namespace quillmap
