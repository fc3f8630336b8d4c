// How read paths turn offsets into addresses.
//
// Lookups and walks (key-tree search and in-order walk, prefix-trie search) are written once, as
// templates over a view, so that the daemon and an outside reader run the very same code:
//   - TrustedView, used inside the daemon, converts every offset with _lfof_ and never fails;
//   - a checked view (the reader library's) refuses offsets that fall outside the segment or are
//     misaligned, and bounds the number of steps, so that a reader racing a writer never crashes.
// A view offers:
//   const T* at<T>(uint64_t off, uint64_t bytes = sizeof(T))  // nullptr: the read path must stop
//   bool step()                                               // once per node visited; false stops
//   const void* base() const
// A read path that gets nullptr or false returns "not found"; the caller asks the view whether it
// failed (checked views remember it).
#pragma once

#include <cstdint>

#include "store/layout.h"

namespace quillmap {

class TrustedView {
 public:
  explicit TrustedView(const void* base) noexcept : base_(base) {}
  template <class T>
  const T* at(uint64_t off, uint64_t /*bytes*/ = sizeof(T)) const noexcept {
    return _lfof_<const T>(base_, off);
  }
  bool step() noexcept { return true; }
  const void* base() const noexcept { return base_; }

 private:
  const void* base_;
};

}  // namespace quillmap
