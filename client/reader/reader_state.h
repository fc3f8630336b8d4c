// What a Reader keeps of the segment it attached (internal to the reader library).
#pragma once

#include "client/reader/segment_attach.h"
#include "client/reader/segment_geometry.h"

namespace quillmap {

struct ReaderState {
  AttachedSegment segment;
  SegmentGeometry geometry;  // re-read when a read share finds the header changed

  uint64_t* lock_word() const noexcept { return static_cast<uint64_t*>(segment.base()); }
};

// The allocator's change counters: sums of every class's requests and used chunks, and the free page
// count. While a reader holds a share no writer may run, so these stay put; a writer that got in
// because the share was cleared by force changes at least one of them with every entry or prefix it
// adds or removes (only changes made purely of whole-page allocations that cancel out go unseen).
void read_change_mark(const SegmentGeometry& g, uint64_t mark[3]) noexcept;

}  // namespace quillmap
