// The allocator's page level: layout of an empty pool, runs of whole pages taken first fit from the
// free-run list and given back with merging.
#include <cstring>

#include "store/slab.h"
#include "util/host_params.h"

namespace quillmap {

uint64_t max_chunk = 0;
uint64_t exact_chunk = 0;
uint64_t exact_shift = 0;

namespace {

inline PageDesc* desc_at(SlabPool* pool, uint64_t off) { return _lfof_<PageDesc>(pool, off); }

inline void zero_desc(PageDesc* d) {
  d->map = 0;
  d->next = 0;
  d->prev = 0;
}

// Takes a member out of the free-run list (its links are plain offsets there).
inline void unlink_free_run(SlabPool* pool, PageDesc* d) {
  desc_at(pool, page_prev(d))->next = d->next;
  desc_at(pool, d->next)->prev = d->prev;
}

}  // namespace

void slab_derive_sizes() {
  if (max_chunk != 0) return;
  max_chunk = static_cast<uint64_t>(page_size) / 2;
  exact_chunk = static_cast<uint64_t>(page_size) / 64;
  exact_shift = 0;
  for (uint64_t n = exact_chunk; n > 1; n >>= 1) ++exact_shift;
}

uint64_t slab_class_count(const SlabPool* pool) {
  return static_cast<uint64_t>(page_shift) - pool->min_chunk_shift;
}

SlabGeometry slab_geometry(uint64_t pool_end, uint64_t min_chunk_shift, uint64_t page_size_bytes,
                           uint64_t page_shift_bits) {
  SlabGeometry g{};
  g.classes = page_shift_bits - min_chunk_shift;
  g.class_stats = kClassHeadsOffset + sizeof(PageDesc) * g.classes;
  g.desc_base = g.class_stats + sizeof(ClassStats) * g.classes;
  g.pages = pool_end > g.desc_base ? (pool_end - g.desc_base) / (page_size_bytes + sizeof(PageDesc)) : 0;
  g.data_start = (g.desc_base + sizeof(PageDesc) * g.pages + page_size_bytes - 1) / page_size_bytes * page_size_bytes;
  // The descriptor array's rounding may leave room for fewer pages than descriptors.
  const uint64_t fit = pool_end > g.data_start ? (pool_end - g.data_start) / page_size_bytes : 0;
  g.sized_pages = g.pages;
  if (g.pages > fit) g.pages = fit;
  g.desc_end = g.desc_base + sizeof(PageDesc) * g.pages;
  return g;
}

void* page_address(SlabPool* pool, const PageDesc* d) {
  return _lfof_<void>(pool, pool->data_start + (desc_index(pool, d) << page_shift));
}

void slab_init(SlabPool* pool) {
  slab_derive_sizes();
  const SlabGeometry g =
      slab_geometry(pool->pool_end, pool->min_chunk_shift, static_cast<uint64_t>(page_size), page_shift);
  for (uint64_t c = 0; c < g.classes; ++c) {
    PageDesc* head = class_head(pool, c);
    head->map = 0;
    head->next = kClassHeadsOffset + sizeof(PageDesc) * c;
    head->prev = 0;
  }
  std::memset(_lfof_<void>(pool, g.class_stats), 0, sizeof(ClassStats) * g.classes);
  pool->class_stats = g.class_stats;
  pool->desc_base = g.desc_base;
  // Every descriptor the array was sized for, including any beyond the pages that fit.
  std::memset(_lfof_<void>(pool, g.desc_base), 0, sizeof(PageDesc) * g.sized_pages);

  pool->free_head.map = 0;
  pool->free_head.prev = 0;
  if (g.pages == 0) {
    // Nothing fits: an empty free-run list, and no descriptor is written past the pool.
    pool->free_head.next = kFreeHeadOffset;
  } else {
    pool->free_head.next = g.desc_base;
    PageDesc* first = page_desc(pool, 0);
    first->map = g.pages;
    first->next = kFreeHeadOffset;
    first->prev = kFreeHeadOffset;
    // The last page of a run of two or more names the run's first descriptor.
    if (g.pages > 1) page_desc(pool, g.pages - 1)->prev = g.desc_base;
  }
  pool->data_start = g.data_start;
  pool->free_pages = g.pages;
  pool->desc_end = g.desc_end;
}

PageDesc* slab_alloc_pages(SlabPool* pool, uint64_t n) {
  if (n == 0) return nullptr;
  for (uint64_t off = pool->free_head.next; off != kFreeHeadOffset;) {
    PageDesc* d = desc_at(pool, off);
    const uint64_t len = d->map;
    if (len < n) {
      off = d->next;
      continue;
    }
    if (len > n) {
      // The remainder takes the run's place in the list.
      PageDesc* rest = d + n;
      const uint64_t rest_off = off + sizeof(PageDesc) * n;
      rest->map = len - n;
      rest->next = d->next;
      rest->prev = d->prev;
      desc_at(pool, page_prev(d))->next = rest_off;
      desc_at(pool, d->next)->prev = rest_off;
      // Only a remainder of two or more pages has a separate last descriptor to point back; for a
      // single page this would overwrite the link just copied.
      if (len - n > 1) d[len - 1].prev = rest_off;
    } else {
      unlink_free_run(pool, d);
    }
    d->map = kPageAllocated | n;
    d->next = 0;
    d->prev = 0;
    for (uint64_t i = 1; i < n; ++i) {
      d[i].map = kPageAllocatedTail;
      d[i].next = 0;
      d[i].prev = 0;
    }
    pool->free_pages -= n;
    return d;
  }
  return nullptr;
}

void slab_free_pages(SlabPool* pool, PageDesc* d, uint64_t n) {
  pool->free_pages += n;
  d->map = n;
  for (uint64_t i = 1; i < n; ++i) zero_desc(d + i);

  if (d->next != 0) {
    // A class page leaving its class list.
    desc_at(pool, page_prev(d))->next = d->next;
    desc_at(pool, d->next)->prev = d->prev;
  }

  // Merge with a free run that starts right after this one.
  PageDesc* after = d + d->map;
  if (offset_of_record(pool, after) < pool->desc_end && page_type(after) == kPagePage && after->next != 0) {
    d->map += after->map;
    unlink_free_run(pool, after);
    zero_desc(after);
  }

  // Merge with a free run that ends right before this one.
  if (offset_of_record(pool, d) > pool->desc_base) {
    PageDesc* before_last = d - 1;
    PageDesc* before = before_last;
    if (page_type(before) == kPagePage && before->map == 0) {
      const uint64_t head_off = page_prev(before);
      before = head_off >= pool->desc_base && head_off < pool->desc_end ? desc_at(pool, head_off) : nullptr;
    }
    if (before != nullptr && page_type(before) == kPagePage && before->next != 0) {
      before->map += d->map;
      unlink_free_run(pool, before);
      zero_desc(d);
      // The earlier run's last descriptor is now inside the merged run.
      if (before_last != before) zero_desc(before_last);
      d = before;
    }
  }

  if (d->map > 1) d[d->map - 1].prev = offset_of_record(pool, d);

  const uint64_t d_off = offset_of_record(pool, d);
  d->prev = kFreeHeadOffset;
  d->next = pool->free_head.next;
  desc_at(pool, d->next)->prev = d_off;
  pool->free_head.next = d_off;
}

}  // namespace quillmap
