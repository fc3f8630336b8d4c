// What a Reader keeps of the segment it attached (internal to the reader library).
#pragma once

#include <time.h>

#include <cstdint>
#include <limits>
#include <string>

#include "client/reader/quillmap_reader.hpp"
#include "client/reader/segment_attach.h"
#include "client/reader/segment_geometry.h"

namespace quillmap {

// A monotonic clock read cheap enough for every lookup (no system call; a few milliseconds coarse).
inline int64_t coarse_now_ns() noexcept {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The segment a Reader reads, and whether it is still the daemon's live one. A stopped daemon marks
// its segment for removal, and a started one creates a new segment under the same key; an attachment
// keeps the old one alive with its old contents, so the reader checks now and then that it still
// reads the live segment and attaches the new one when it does not. It never re-attaches while one
// of its guards holds a share: their views point into the attached segment.
struct ReaderState {
  DaemonAttachment segment;  // not attached after a failed re-attach (the daemon had stopped)
  SegmentGeometry geometry;  // re-read when a read share finds the header changed
  std::string data_path;     // the segment's key is derived from it again at every re-attach
  int64_t check_interval_ns = 1000000000;  // negative: no periodic check (refresh() and kChanged only)
  int64_t next_check_ns = 0;               // coarse monotonic time of the next liveness check
  bool stale = false;                      // the attached segment was found removed or replaced
  int guards = 0;                          // guards of this reader that hold a share
  ReadStatus attach_failure = ReadStatus::kOk;  // what the last re-attach answered when it failed

  uint64_t* lock_word() const noexcept { return static_cast<uint64_t*>(segment.base()); }

  // Whether ensure_live_segment has anything to do: the cheap test of every read share.
  bool check_due() const noexcept {
    return stale || segment.base() == nullptr || coarse_now_ns() >= next_check_ns;
  }
  void schedule_check(int64_t now) noexcept {
    next_check_ns = check_interval_ns < 0 ? std::numeric_limits<int64_t>::max() : now + check_interval_ns;
  }
  // A lookup met a change: the segment may have been replaced, so the next read share checks.
  void check_soon() noexcept { next_check_ns = 0; }
};

// Attaches the segment of state->data_path and accepts it only with a sane header, as at open.
ReadStatus attach_segment(ReaderState* state) noexcept;

// Makes sure that the attached segment is the live one, checking only when check_due() or `force`:
// kOk when it is (re-attached if need be); the re-attach's failure (kNoSegment when the daemon is not
// running) when there is none, the reader then being detached and trying again at the next check;
// kChanged when it is stale but guards of this reader hold shares (nothing is re-attached under them).
ReadStatus ensure_live_segment(ReaderState* state, bool force) noexcept;

// The change epoch of the attached dictionary (odd while the worker changes it), or 0 when the
// daemon keeps no state segment.
inline uint64_t change_epoch(const ReaderState& state) noexcept {
  const StateHeader* h = state.segment.state();
  return h == nullptr ? 0 : __atomic_load_n(&h->change_epoch, __ATOMIC_ACQUIRE);
}

}  // namespace quillmap
