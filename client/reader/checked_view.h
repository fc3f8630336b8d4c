// The reader's view of a segment that may change under it. Every offset a read path follows is
// admitted only when the bytes asked for lie inside the pool, are aligned for the record's type and
// fall wholly inside one allocated chunk, at its start for a record (only key and value bytes lie
// further in): the page descriptor of the offset's page tells the chunk
// size (class pages) or the run of pages (page allocations), and the chunk's bit in its page bitmap
// must say "in use". Each read path also gets a budget of steps, so that a cycle made by a writer that
// changed links under the reader ends the walk. The first refusal is remembered: the caller then
// reports "changed while reading" instead of the read path's answer.
//
// A CheckedView is a per-call stack object; it allocates nothing.
#pragma once

#include <cstdint>
#include <type_traits>

#include "client/reader/segment_geometry.h"

namespace quillmap {

class CheckedView {
 public:
  CheckedView(const SegmentGeometry& g, uint64_t step_budget) noexcept : g_(g), steps_left_(step_budget) {}

  template <class T>
  const T* at(uint64_t off, uint64_t bytes = sizeof(T)) noexcept {
    // Records (nodes, aliases, anchors) begin their chunk; only byte runs (keys, values) lie inside one.
    constexpr bool kRecord = !std::is_same_v<T, uint8_t>;
    if (failed_ || off % alignof(T) != 0 || !admit(off, bytes, kRecord)) {
      failed_ = true;
      return nullptr;
    }
    return reinterpret_cast<const T*>(g_.base + off);
  }

  bool step() noexcept {
    if (failed_ || steps_left_ == 0) {
      failed_ = true;
      return false;
    }
    --steps_left_;
    return true;
  }

  const void* base() const noexcept { return g_.base; }
  bool failed() const noexcept { return failed_; }
  void fail() noexcept { failed_ = true; }

  // The allocated chunk (or page allocation) that holds offset `off`: [*start, *end). False when
  // `off` lies in no chunk that is in use.
  bool chunk_of(uint64_t off, uint64_t* start, uint64_t* end) const noexcept;

 private:
  bool admit(uint64_t off, uint64_t bytes, bool record) noexcept {
    if (off >= chunk_start_ && off < chunk_end_ && bytes <= chunk_end_ - off) return !record || off == chunk_start_;
    uint64_t start, end;
    if (!chunk_of(off, &start, &end) || bytes > end - off || (record && off != start)) return false;
    chunk_start_ = start;  // consecutive reads mostly fall in the same chunk (a node, then its key)
    chunk_end_ = end;
    return true;
  }

  const SegmentGeometry& g_;
  uint64_t steps_left_;
  uint64_t chunk_start_ = 0;
  uint64_t chunk_end_ = 0;
  bool failed_ = false;
};

// Step budgets. A red-black tree of fewer than 2^64 nodes is at most 128 levels deep; the tries are
// walked down at most one level per key bit and back up as often, visiting each alias list (at most
// one alias per prefix length) on the way; a whole-tree walk visits every node once, and a node takes
// at least 64 bytes of pool.
inline constexpr uint64_t kTreeFindSteps = 130;
inline constexpr uint64_t kTrieFindSteps = 4 * 129 * 129;
inline uint64_t tree_walk_steps(const SegmentGeometry& g) noexcept { return (g.pool_end - g.data_start) / 64 + 2; }

}  // namespace quillmap
