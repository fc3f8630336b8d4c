// The slab allocator: every record of the store is carved out of the segment here.
//
// The pool is an array of pages (from data_start to pool_end) with one 24-byte PageDesc per page
// (from desc_base to desc_end). Requests up to max_chunk (page_size / 2) are served from power-of-two
// size classes, shift min_chunk_shift (3) .. page_shift - 1, class index c = shift - min_chunk_shift;
// larger requests take runs of whole pages, first fit from the free-run list. Chunks carry no header:
// a chunk's page descriptor tells its size. Chunks are aligned to their size, page runs to page_size.
//
// Page types, in the two low bits of PageDesc::prev (descriptors and list heads lie at multiples of 8):
//   kPagePage  0  whole pages: free runs and page allocations
//   kPageBig   1  chunks larger than exact_chunk; map bits 0..3 = shift, bits 32.. = chunk bitmap
//   kPageExact 2  chunks of exactly exact_chunk (64 per page); map = chunk bitmap
//   kPageSmall 3  chunks smaller than exact_chunk; map = shift, bitmap words at the page start, whose
//                 first m chunks (m = (page_size >> k) / (8 << k), at least 1) stay marked in use
//
// Invariants of a pool:
//   1. free_head heads a circular doubly linked list (links are descriptor offsets, empty when
//      free_head.next == 8) of the first descriptors of all free runs; a first descriptor's map is
//      the run length, the other descriptors of the run are zero except the last one of a run of two
//      or more pages, whose prev names the first. Free runs are never adjacent (released runs merge).
//   2. A page allocation of n pages: first descriptor map = kPageAllocated | n, the others all ones;
//      all of them next 0, prev 0.
//   3. class_heads[c] heads a circular list (empty when next is the head's own offset) of the pages of
//      class c that have a free chunk; a full class page has next 0 and prev = its bare type.
//   4. ClassStats[c].total = chunks offered by the class's pages (bitmap chunks excluded),
//      .used = chunks handed out; free_pages = pages in free runs.
//
// Every function here except the locking wrappers expects the caller to hold the write lock.
#pragma once

#include <cstdint>

#include "store/layout.h"

namespace quillmap {

// Per-process values derived from page_size by slab_derive_sizes().
extern uint64_t max_chunk;    // page_size / 2: largest request served from a size class
extern uint64_t exact_chunk;  // page_size / 64: the class with exactly 64 chunks per page
extern uint64_t exact_shift;  // log2(exact_chunk)

// Derives max_chunk, exact_chunk and exact_shift from page_size (host_params_init() must have run).
// Idempotent; every process calls it before it first allocates or frees.
void slab_derive_sizes();

inline constexpr uint64_t kPagePage = 0;
inline constexpr uint64_t kPageBig = 1;
inline constexpr uint64_t kPageExact = 2;
inline constexpr uint64_t kPageSmall = 3;
inline constexpr uint64_t kPageTypeMask = 3;
inline constexpr uint64_t kPageAllocated = uint64_t{1} << 63;  // map of a page allocation's first page
inline constexpr uint64_t kPageAllocatedTail = ~uint64_t{0};   // map of its other pages
inline constexpr uint64_t kBigBitmapShift = 32;                // BIG pages: chunk i is map bit 32 + i
inline constexpr uint64_t kChunkShiftMask = 15;                // SMALL/BIG pages: map & 15 = shift

static_assert(sizeof(PageDesc) % 8 == 0 && kClassHeadsOffset % 8 == 0 && kFreeHeadOffset % 8 == 0,
              "descriptors and list heads must lie at multiples of 8 to leave the type bits free");

inline uint64_t page_type(const PageDesc* d) noexcept { return d->prev & kPageTypeMask; }
inline uint64_t page_prev(const PageDesc* d) noexcept { return d->prev & ~kPageTypeMask; }
inline void set_page_prev(PageDesc* d, uint64_t prev_off, uint64_t type) noexcept { d->prev = prev_off | type; }

// Number of size classes: page_shift - min_chunk_shift.
uint64_t slab_class_count(const SlabPool* pool);

inline ClassStats* class_stats_of(SlabPool* pool) noexcept { return _lfof_<ClassStats>(pool, pool->class_stats); }
inline const ClassStats* class_stats_of(const SlabPool* pool) noexcept {
  return _lfof_<const ClassStats>(pool, pool->class_stats);
}
inline PageDesc* page_desc(SlabPool* pool, uint64_t index) noexcept {
  return _lfof_<PageDesc>(pool, pool->desc_base + sizeof(PageDesc) * index);
}
inline uint64_t page_count(const SlabPool* pool) noexcept {
  return (pool->desc_end - pool->desc_base) / sizeof(PageDesc);
}

// Geometry that slab_init derives from pool_end and the page size (also used to size a segment).
struct SlabGeometry {
  uint64_t classes;
  uint64_t class_stats;
  uint64_t desc_base;
  uint64_t sized_pages;  // descriptors the array is sized for
  uint64_t pages;        // pages that fit behind the rounded-up data_start (at most sized_pages)
  uint64_t desc_end;
  uint64_t data_start;
};
SlabGeometry slab_geometry(uint64_t pool_end, uint64_t min_chunk_shift, uint64_t page_size_bytes,
                           uint64_t page_shift_bits);

// Lays out an empty pool from pool_end, min_chunk and min_chunk_shift. The caller is the segment's
// only user. Derives the per-process sizes first if needed.
void slab_init(SlabPool* pool);

// A chunk of at least `size` bytes (a class chunk up to max_chunk, whole pages above), or nullptr when
// no memory is left. Never logs.
void* slab_alloc_locked(SlabPool* pool, uint64_t size);

// As slab_alloc_locked, with the first `size` bytes zeroed.
void* slab_calloc_locked(SlabPool* pool, uint64_t size);

// The usable size of the allocation that starts at `p` (as slab_alloc_locked returned it): its chunk
// class size, or its page run. 0 when `p` lies in no page of the pool.
uint64_t slab_allocation_size(const SlabPool* pool, const void* p);

// Whether `p` is the start of an allocation that is in use (its chunk's bit is set, or it starts a
// page allocation). Never logs; safe on any address (false outside the pool).
bool slab_allocation_in_use(const SlabPool* pool, const void* p);

// Releases a chunk or page allocation. Misuse is logged and changes nothing:
//   ERROR "slab_free(): outside of pool", "slab_free(): pointer to wrong chunk",
//         "slab_free(): pointer to wrong page"; WARN "slab_free(): chunk is already free",
//         "slab_free(): page is already free".
void slab_free_locked(SlabPool* pool, void* p);

// The same, each taking and releasing the write lock. ERROR "<name>: could not get write lock" (then
// nullptr / nothing), WARN "<name>: could not remove write lock" (the result stands).
void* slab_alloc(SlabPool* pool, uint64_t size);
void* slab_calloc(SlabPool* pool, uint64_t size);
void slab_free(SlabPool* pool, void* p);

// Page runs (internal to the allocator; exposed for its tests). slab_alloc_pages returns the first
// descriptor of a run of n pages now allocated, or nullptr; slab_free_pages returns a run to the
// free-run list, merging it with free neighbours.
PageDesc* slab_alloc_pages(SlabPool* pool, uint64_t n);
void slab_free_pages(SlabPool* pool, PageDesc* d, uint64_t n);

// Address of the page that descriptor d describes, and back.
inline uint64_t desc_index(const SlabPool* pool, const PageDesc* d) noexcept {
  return (offset_of_record(pool, d) - pool->desc_base) / sizeof(PageDesc);
}
void* page_address(SlabPool* pool, const PageDesc* d);

}  // namespace quillmap
