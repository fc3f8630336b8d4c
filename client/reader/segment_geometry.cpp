#include "client/reader/segment_geometry.h"

#include <cstring>

#include "store/slab.h"

namespace quillmap {
namespace {

// Page sizes a layout may have been made with (1 KiB .. 64 KiB); the allocator's smallest
// classes need at least 7 shifts between the smallest chunk and the page.
constexpr uint64_t kMaxPageShift = 16;
constexpr uint64_t kMaxMinChunkShift = 8;
constexpr uint64_t kMinClasses = 7;

bool record_inside(uint64_t off, uint64_t bytes, uint64_t align, const SegmentGeometry& g) {
  return off >= g.data_start && off < g.pool_end && bytes <= g.pool_end - off && off % align == 0;
}

}  // namespace

bool read_segment_geometry(const void* base, uint64_t segment_size, SegmentGeometry* out) noexcept {
  if (base == nullptr || segment_size < sizeof(SlabPool)) return false;
  SlabPool h;
  std::memcpy(&h, base, sizeof h);

  if (h.min_chunk_shift < 3 || h.min_chunk_shift > kMaxMinChunkShift) return false;
  if (h.min_chunk != (uint64_t{1} << h.min_chunk_shift)) return false;
  // desc_base = 120 + (24 + 32) * classes: the class heads and the class counters lie before it.
  if (h.desc_base <= kClassHeadsOffset) return false;
  const uint64_t per_class = sizeof(PageDesc) + sizeof(ClassStats);
  if ((h.desc_base - kClassHeadsOffset) % per_class != 0) return false;
  const uint64_t classes = (h.desc_base - kClassHeadsOffset) / per_class;
  if (classes < kMinClasses || classes + h.min_chunk_shift > kMaxPageShift) return false;
  const uint64_t shift = classes + h.min_chunk_shift;
  if (shift < kMinPageShift) return false;

  if (h.pool_end > segment_size || h.pool_end <= h.desc_base) return false;
  const SlabGeometry expect = slab_geometry(h.pool_end, h.min_chunk_shift, uint64_t{1} << shift, shift);
  if (expect.classes != classes || h.class_stats != expect.class_stats || h.desc_base != expect.desc_base ||
      h.desc_end != expect.desc_end || h.data_start != expect.data_start) {
    return false;
  }
  const uint64_t pages = (h.desc_end - h.desc_base) / sizeof(PageDesc);
  if (pages == 0 || h.data_start >= h.pool_end || pages > ((h.pool_end - h.data_start) >> shift)) return false;
  if (h.free_pages > pages) return false;

  SegmentGeometry g;
  g.base = static_cast<const uint8_t*>(base);
  g.segment_size = segment_size;
  g.pool_end = h.pool_end;
  g.desc_base = h.desc_base;
  g.desc_end = h.desc_end;
  g.data_start = h.data_start;
  g.class_stats = h.class_stats;
  g.classes = classes;
  g.pages = pages;
  g.min_chunk_shift = h.min_chunk_shift;
  g.page_shift = shift;
  g.exact_shift = shift - 6;
  g.key_tree = h.key_tree;
  g.trie4 = h.trie4;
  g.trie6 = h.trie6;
  if (!record_inside(g.key_tree, sizeof(TreeRoot), 16, g) || !record_inside(g.trie4, 32, 8, g) ||
      !record_inside(g.trie6, 80, 16, g)) {
    return false;
  }
  *out = g;
  return true;
}

bool segment_geometry_unchanged(const SegmentGeometry& g) noexcept {
  const volatile SlabPool* h = reinterpret_cast<const volatile SlabPool*>(g.base);
  return h->pool_end == g.pool_end && h->desc_base == g.desc_base && h->desc_end == g.desc_end &&
         h->data_start == g.data_start && h->class_stats == g.class_stats &&
         h->min_chunk_shift == g.min_chunk_shift && h->key_tree == g.key_tree && h->trie4 == g.trie4 &&
         h->trie6 == g.trie6;
}

}  // namespace quillmap
