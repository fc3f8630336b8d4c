// The facts a reader takes from a segment header before it follows any offset. A header is accepted
// only when it describes exactly the layout that the store's initialisation produces for its pool size
// and page size, that layout fits in the attached segment, and the three anchors (key tree, IPv4 trie,
// IPv6 trie) name aligned records inside the pages.
#pragma once

#include <cstdint>

#include "store/layout.h"

namespace quillmap {

// No accepted header has a smaller page (the smallest chunk is 8 bytes and at least 7 classes lie
// between it and the page); record checks rely on it.
inline constexpr uint64_t kMinPageShift = 10;

struct SegmentGeometry {
  const uint8_t* base = nullptr;
  uint64_t segment_size = 0;  // bytes attached
  uint64_t pool_end = 0;
  uint64_t desc_base = 0;
  uint64_t desc_end = 0;
  uint64_t data_start = 0;
  uint64_t class_stats = 0;
  uint64_t classes = 0;
  uint64_t pages = 0;  // pages with a descriptor that lie wholly inside the pool
  uint64_t min_chunk_shift = 0;
  uint64_t page_shift = 0;   // of the daemon that laid the segment out (derived from the header)
  uint64_t exact_shift = 0;  // page_shift - 6: the class with 64 chunks per page
  uint64_t key_tree = 0;
  uint64_t trie4 = 0;
  uint64_t trie6 = 0;
};

// Fills `out` from the header at `base` of a segment of `segment_size` bytes. False when the header is
// not a sane layout (a segment that was never laid out, is being laid out, or is garbage).
bool read_segment_geometry(const void* base, uint64_t segment_size, SegmentGeometry* out) noexcept;

// Whether the header still holds the values `g` was read from (cheap; checked at every read share).
bool segment_geometry_unchanged(const SegmentGeometry& g) noexcept;

}  // namespace quillmap
