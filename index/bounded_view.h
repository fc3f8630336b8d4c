// A view (see store/segment_view.h) over the index pool that may change under a reader: it admits an
// offset only when the bytes asked for lie inside the pool and the record is aligned for its type,
// and it bounds the number of steps. What it returns can still be stale; the caller validates its
// answer by the change epoch. The first refusal is remembered (failed()).
#pragma once

#include <cstdint>

namespace quillmap {

class BoundedView {
 public:
  BoundedView(const void* base, uint64_t bytes, uint64_t step_budget = 256) noexcept
      : base_(static_cast<const uint8_t*>(base)), bytes_(bytes), steps_left_(step_budget) {}

  template <class T>
  [[gnu::always_inline]] const T* at(uint64_t off, uint64_t bytes = sizeof(T)) noexcept {
    if (failed_ || off % alignof(T) != 0 || off > bytes_ || bytes > bytes_ - off) {
      failed_ = true;
      return nullptr;
    }
    return reinterpret_cast<const T*>(base_ + off);
  }

  [[gnu::always_inline]] bool step() noexcept {
    if (failed_ || steps_left_ == 0) {
      failed_ = true;
      return false;
    }
    --steps_left_;
    return true;
  }

  const void* base() const noexcept { return base_; }
  bool failed() const noexcept { return failed_; }

 private:
  const uint8_t* base_;
  uint64_t bytes_;
  uint64_t steps_left_;
  bool failed_ = false;
};

}  // namespace quillmap
