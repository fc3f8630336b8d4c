// Test support: a segment view as an outside reader would use it. It refuses records that do not lie
// wholly within the pages or are misaligned, stops after max_steps records, and remembers whether it
// refused anything.
#pragma once

#include <cstdint>

#include "store/layout.h"

namespace quillmap::testing {

struct BoundedView {
  BoundedView(const SlabPool* pool, uint64_t max_steps) : pool_(pool), steps_left_(max_steps) {}
  template <class T>
  const T* at(uint64_t off, uint64_t bytes = sizeof(T)) {
    bool outside = off < pool_->data_start || off > pool_->pool_end || bytes > pool_->pool_end - off ||
                   off % alignof(T) != 0;
    failed_ |= outside;
    return outside ? nullptr : _lfof_<const T>(pool_, off);
  }
  bool step() {
    failed_ |= steps_left_ == 0;
    return steps_left_ == 0 ? false : (--steps_left_, true);
  }
  const void* base() const { return pool_; }

  const SlabPool* pool_;
  uint64_t steps_left_;
  bool failed_ = false;
};

}  // namespace quillmap::testing
