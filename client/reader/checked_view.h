// The reader's view of a segment that may change under it. Every offset a read path follows is
// admitted only when the bytes asked for lie inside the pool and are aligned:
//   - a record (node, alias, anchor) must sit where the allocator can have put it: chunks are aligned
//     to their power-of-two size and page allocations to the page, so a record of n bytes begins at a
//     multiple of min(bit_ceil(n), page size) from the first page (and at a multiple of its type's
//     alignment). This costs no memory access.
//   - a byte run (key and value bytes) must end inside the chunk it starts in, and that chunk must be
//     in use (chunk_of: the page descriptor tells the chunk size or the page run).
// These checks keep every read inside the pool and every length inside its chunk; whether what was
// read is still current is the guard's final validation, which sees every writer that got in (the
// allocator counters move). Each read path also gets a budget of steps, so that a cycle made by a
// writer that changed links under the reader ends the walk. The first refusal is remembered: the
// caller then reports "changed while reading" instead of the read path's answer.
//
// A CheckedView is a per-call stack object; it allocates nothing.
#pragma once

#include <bit>
#include <cstdint>
#include <type_traits>

#include "client/reader/segment_geometry.h"
#include "store/layout.h"

namespace quillmap {

class CheckedView {
 public:
  CheckedView(const SegmentGeometry& g, uint64_t step_budget) noexcept
      : g_(g),
        base_(g.base),
        data_start_(g.data_start),
        pool_end_(g.pool_end),
        page_bytes_(uint64_t{1} << g.page_shift),
        steps_left_(step_budget) {}

  template <class T>
  [[gnu::always_inline]] const T* at(uint64_t off, uint64_t bytes = sizeof(T)) noexcept {
    constexpr bool kRecord = !std::is_same_v<T, uint8_t>;
    bool ok;
    if constexpr (kRecord) {
      ok = off % alignof(T) == 0 && admit_record(off, bytes);
    } else {
      ok = admit_bytes(off, bytes);
    }
    if (!ok || failed_) {
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
  void fail() noexcept { failed_ = true; }

  // Starts fetching the page descriptor that chunk_of(off) will read, so that it arrives alongside the
  // record at `off` instead of after it. Reads nothing and never faults.
  void prefetch_chunk_of(uint64_t off) const noexcept {
    const uint64_t index = (off - data_start_) >> g_.page_shift;
    if (off < pool_end_ && index < g_.pages) __builtin_prefetch(base_ + g_.desc_base + index * sizeof(PageDesc));
  }

  // The allocated chunk (or page allocation) that holds offset `off`: [*start, *end). False when
  // `off` lies in no chunk that is in use.
  bool chunk_of(uint64_t off, uint64_t* start, uint64_t* end) const noexcept;

 private:
  [[gnu::always_inline]] bool admit_record(uint64_t off, uint64_t bytes) const noexcept {
    const uint64_t rel = off - data_start_;  // wraps for an offset below the pages
    // A record of up to the smallest page size needs no look at this segment's page size, so the
    // alignment of a fixed-size record is a constant.
    constexpr uint64_t kMinPageBytes = uint64_t{1} << kMinPageShift;
    const uint64_t align = bytes <= kMinPageBytes || bytes < page_bytes_ ? std::bit_ceil(bytes) : page_bytes_;
    return rel < pool_end_ - data_start_ && bytes <= pool_end_ - off && (rel & (align - 1)) == 0;
  }

  bool admit_bytes(uint64_t off, uint64_t bytes) noexcept {
    if (off >= chunk_start_ && off < chunk_end_ && bytes <= chunk_end_ - off) return true;
    uint64_t start, end;
    if (!chunk_of(off, &start, &end) || bytes > end - off) return false;
    chunk_start_ = start;  // a node's key, then its value, fall in the same chunk
    chunk_end_ = end;
    return true;
  }

  const SegmentGeometry& g_;
  const uint8_t* base_;
  uint64_t data_start_;
  uint64_t pool_end_;
  uint64_t page_bytes_;
  uint64_t steps_left_;
  uint64_t chunk_start_ = 0;
  uint64_t chunk_end_ = 0;  // an empty remembered chunk admits nothing
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
