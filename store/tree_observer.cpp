#include "store/tree_observer.h"

namespace quillmap {
namespace tree_observer_detail {
const SlabPool* observed_pool = nullptr;
const TreeObserver* observer = nullptr;
}  // namespace tree_observer_detail

void observe_tree(const SlabPool* pool, const TreeObserver* observer) {
  tree_observer_detail::observed_pool = observer != nullptr ? pool : nullptr;
  tree_observer_detail::observer = observer;
}

}  // namespace quillmap
