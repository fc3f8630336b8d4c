#include "client/reader/checked_view.h"

#include "store/slab.h"

namespace quillmap {
namespace {

bool bit_set(uint64_t word, uint64_t bit) { return ((word >> bit) & 1) != 0; }

}  // namespace

bool CheckedView::chunk_of(uint64_t off, uint64_t* start, uint64_t* end) const noexcept {
  if (off < g_.data_start || off >= g_.pool_end) return false;
  const uint64_t index = (off - g_.data_start) >> g_.page_shift;
  if (index >= g_.pages) return false;
  const uint64_t page_bytes = uint64_t{1} << g_.page_shift;
  const uint64_t page = g_.data_start + (index << g_.page_shift);
  const volatile PageDesc* descs = reinterpret_cast<const volatile PageDesc*>(g_.base + g_.desc_base);
  const uint64_t map = descs[index].map;
  const uint64_t type = descs[index].prev & kPageTypeMask;

  if (type == kPagePage) {
    // A page allocation: find its first page (a tail page's map is all ones), then its length.
    uint64_t first = index;
    uint64_t first_map = map;
    while (first_map == kPageAllocatedTail) {
      if (first == 0) return false;
      --first;
      first_map = descs[first].map;
      if ((descs[first].prev & kPageTypeMask) != kPagePage) return false;
    }
    if ((first_map & kPageAllocated) == 0) return false;  // a free run
    const uint64_t run = first_map & ~kPageAllocated;
    if (run == 0 || run > g_.pages - first || first + run <= index) return false;
    *start = g_.data_start + (first << g_.page_shift);
    *end = *start + (run << g_.page_shift);
    return true;
  }

  uint64_t shift;
  uint64_t chunk;
  bool in_use;
  if (type == kPageExact) {
    shift = g_.exact_shift;
    chunk = (off - page) >> shift;
    in_use = bit_set(map, chunk);
  } else if (type == kPageBig) {
    shift = map & kChunkShiftMask;
    if (shift <= g_.exact_shift || shift >= g_.page_shift) return false;
    chunk = (off - page) >> shift;
    in_use = bit_set(map, kBigBitmapShift + chunk);
  } else {  // kPageSmall: the bitmap lies in the page's first chunks, which are never handed out
    shift = map & kChunkShiftMask;
    if (shift < g_.min_chunk_shift || shift >= g_.exact_shift) return false;
    chunk = (off - page) >> shift;
    uint64_t bitmap_chunks = (page_bytes >> shift) / (uint64_t{8} << shift);
    if (bitmap_chunks == 0) bitmap_chunks = 1;
    if (chunk < bitmap_chunks) return false;
    const volatile uint64_t* bitmap = reinterpret_cast<const volatile uint64_t*>(g_.base + page);
    in_use = bit_set(bitmap[chunk / 64], chunk % 64);
  }
  if (!in_use) return false;
  *start = page + (chunk << shift);
  *end = *start + (uint64_t{1} << shift);
  return true;
}

}  // namespace quillmap
