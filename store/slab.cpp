// The allocator's chunk level: size classes carved from single pages, the release of chunks and page
// allocations, and the locking wrappers.
#include <cstring>

#include "store/rwlock.h"
#include "store/slab.h"

#include "store/crash_hook.h"
#include "util/host_params.h"
#include "util/log.h"

namespace quillmap {
namespace {

inline PageDesc* desc_at(SlabPool* pool, uint64_t off) { return _lfof_<PageDesc>(pool, off); }

inline uint64_t head_offset(uint64_t cls) { return kClassHeadsOffset + sizeof(PageDesc) * cls; }

inline uint64_t chunk_shift_for(const SlabPool* pool, uint64_t size) {
  if (size <= pool->min_chunk) return pool->min_chunk_shift;
  return 64 - static_cast<uint64_t>(__builtin_clzll(size - 1));
}

// Chunks of a SMALL page of shift k that its own bitmap occupies (at least one).
inline uint64_t small_bitmap_chunks(uint64_t k) {
  uint64_t m = (static_cast<uint64_t>(page_size) >> k) / (uint64_t{8} << k);
  return m == 0 ? 1 : m;
}

// Chunk bits of a BIG page of shift k, in place in map.
inline uint64_t big_chunk_mask(uint64_t k) {
  const uint64_t chunks = static_cast<uint64_t>(page_size) >> k;
  return ((chunks >= 64 ? ~uint64_t{0} : (uint64_t{1} << chunks) - 1)) << kBigBitmapShift;
}

// Takes a full class page out of its list: next 0, prev its bare type.
void unlink_full_page(SlabPool* pool, PageDesc* d, uint64_t type) {
  desc_at(pool, page_prev(d))->next = d->next;
  desc_at(pool, d->next)->prev = d->prev;
  d->next = 0;
  d->prev = type;
}

// Puts a class page at the front of its class list.
void push_class_page(SlabPool* pool, PageDesc* d, uint64_t cls, uint64_t type) {
  PageDesc* head = class_head(pool, cls);
  const uint64_t d_off = offset_of_record(pool, d);
  d->next = head->next;
  set_page_prev(d, head_offset(cls), type);
  set_page_prev(desc_at(pool, head->next), d_off, type);
  head->next = d_off;
}

// A free chunk of class page d (shift k), marked in use, or nullptr if it has none. A page whose last
// free chunk this was leaves its class list.
uint8_t* take_chunk(SlabPool* pool, PageDesc* d, uint64_t k) {
  uint8_t* page = static_cast<uint8_t*>(page_address(pool, d));
  if (k < exact_shift) {
    uint64_t* bitmap = reinterpret_cast<uint64_t*>(page);
    const uint64_t words = (static_cast<uint64_t>(page_size) >> k) / 64;
    for (uint64_t w = 0; w < words; ++w) {
      if (bitmap[w] == ~uint64_t{0}) continue;
      const uint64_t bit = static_cast<uint64_t>(__builtin_ctzll(~bitmap[w]));
      bitmap[w] |= uint64_t{1} << bit;
      bool full = true;
      for (uint64_t v = w; v < words && full; ++v) full = bitmap[v] == ~uint64_t{0};
      if (full) unlink_full_page(pool, d, kPageSmall);
      return page + ((64 * w + bit) << k);
    }
    return nullptr;
  }
  if (k == exact_shift) {
    if (d->map == ~uint64_t{0}) return nullptr;
    const uint64_t bit = static_cast<uint64_t>(__builtin_ctzll(~d->map));
    d->map |= uint64_t{1} << bit;
    if (d->map == ~uint64_t{0}) unlink_full_page(pool, d, kPageExact);
    return page + (bit << k);
  }
  const uint64_t mask = big_chunk_mask(k);
  const uint64_t free_bits = ~d->map & mask;
  if (free_bits == 0) return nullptr;
  const uint64_t bit = static_cast<uint64_t>(__builtin_ctzll(free_bits));
  d->map |= uint64_t{1} << bit;
  if ((d->map & mask) == mask) unlink_full_page(pool, d, kPageBig);
  return page + ((bit - kBigBitmapShift) << k);
}

// Sets a fresh page up for class cls (shift k), puts it in the class list and hands out its first
// free chunk.
uint8_t* start_class_page(SlabPool* pool, PageDesc* d, uint64_t cls, uint64_t k, ClassStats* stats) {
  uint8_t* page = static_cast<uint8_t*>(page_address(pool, d));
  const uint64_t chunks = static_cast<uint64_t>(page_size) >> k;
  uint64_t type;
  uint64_t first;
  if (k < exact_shift) {
    type = kPageSmall;
    const uint64_t m = small_bitmap_chunks(k);
    uint64_t* bitmap = reinterpret_cast<uint64_t*>(page);
    std::memset(bitmap, 0, chunks / 8);
    // The bitmap's own chunks and the one handed out: bits 0 to m.
    for (uint64_t b = 0; b <= m; ++b) bitmap[b / 64] |= uint64_t{1} << (b % 64);
    d->map = k;
    stats->total += chunks - m;
    first = m;
  } else if (k == exact_shift) {
    type = kPageExact;
    d->map = 1;
    stats->total += 64;
    first = 0;
  } else {
    type = kPageBig;
    d->map = (uint64_t{1} << kBigBitmapShift) | k;
    stats->total += chunks;
    first = 0;
  }
  push_class_page(pool, d, cls, type);
  return page + (first << k);
}

}  // namespace

void* slab_alloc_locked(SlabPool* pool, uint64_t size) {
  crash_step();
  if (size > max_chunk) {
    const uint64_t pages = (size >> page_shift) + ((size & (static_cast<uint64_t>(page_size) - 1)) != 0 ? 1 : 0);
    PageDesc* d = slab_alloc_pages(pool, pages);
    return d == nullptr ? nullptr : page_address(pool, d);
  }
  const uint64_t k = chunk_shift_for(pool, size);
  const uint64_t cls = k - pool->min_chunk_shift;
  ClassStats* stats = class_stats_of(pool) + cls;
  ++stats->requests;

  PageDesc* head = class_head(pool, cls);
  if (head->next != head_offset(cls)) {
    // The first page of a class list always has a free chunk.
    if (uint8_t* p = take_chunk(pool, desc_at(pool, head->next), k)) {
      ++stats->used;
      return p;
    }
  }
  PageDesc* d = slab_alloc_pages(pool, 1);
  if (d == nullptr) {
    ++stats->failures;
    return nullptr;
  }
  uint8_t* p = start_class_page(pool, d, cls, k, stats);
  ++stats->used;
  return p;
}

void* slab_calloc_locked(SlabPool* pool, uint64_t size) {
  void* p = slab_alloc_locked(pool, size);
  if (p != nullptr) std::memset(p, 0, size);
  return p;
}

uint64_t slab_allocation_size(const SlabPool* pool, const void* p) {
  const uintptr_t base = reinterpret_cast<uintptr_t>(pool);
  const uintptr_t addr = reinterpret_cast<uintptr_t>(p);
  if (addr < base + pool->data_start || addr >= base + pool->pool_end) return 0;
  const uint64_t index = (addr - base - pool->data_start) >> page_shift;
  if (index >= page_count(pool)) return 0;
  const PageDesc* d = page_desc(const_cast<SlabPool*>(pool), index);
  switch (page_type(d)) {
    case kPagePage:
      return (d->map & kPageAllocated) && d->map != kPageAllocatedTail ? (d->map & ~kPageAllocated) << page_shift : 0;
    case kPageExact:
      return exact_chunk;
    default:
      return uint64_t{1} << (d->map & kChunkShiftMask);
  }
}

bool slab_allocation_in_use(const SlabPool* pool, const void* p) {
  const uintptr_t base = reinterpret_cast<uintptr_t>(pool);
  const uintptr_t addr = reinterpret_cast<uintptr_t>(p);
  if (addr < base + pool->data_start || addr >= base + pool->pool_end) return false;
  const uint64_t rel = addr - base - pool->data_start;
  const uint64_t index = rel >> page_shift;
  if (index >= page_count(pool)) return false;
  SlabPool* mutable_pool = const_cast<SlabPool*>(pool);
  const PageDesc* d = page_desc(mutable_pool, index);
  const uint64_t in_page = rel & (static_cast<uint64_t>(page_size) - 1);
  const uint64_t type = page_type(d);
  if (type == kPagePage) return in_page == 0 && (d->map & kPageAllocated) && d->map != kPageAllocatedTail;
  const uint64_t k = type == kPageExact ? exact_shift : (d->map & kChunkShiftMask);
  if (k < pool->min_chunk_shift || k >= static_cast<uint64_t>(page_shift) || (in_page & ((uint64_t{1} << k) - 1)) != 0) {
    return false;
  }
  const uint64_t chunk = in_page >> k;
  if (type == kPageExact) return (d->map >> chunk) & 1;
  if (type == kPageSmall) {
    if (chunk < small_bitmap_chunks(k)) return false;
    const uint64_t* bitmap = static_cast<const uint64_t*>(page_address(mutable_pool, d));
    return (bitmap[chunk / 64] >> (chunk % 64)) & 1;
  }
  return chunk < 32 && ((d->map >> (kBigBitmapShift + chunk)) & 1);
}

void slab_free_locked(SlabPool* pool, void* p) {
  crash_step();
  const uintptr_t base = reinterpret_cast<uintptr_t>(pool);
  const uintptr_t addr = reinterpret_cast<uintptr_t>(p);
  if (addr < base + pool->data_start || addr >= base + pool->pool_end) {
    log_msg(kLogError, "slab_free(): outside of pool");
    return;
  }
  const uint64_t rel = addr - base - pool->data_start;
  const uint64_t index = rel >> page_shift;
  // Bytes past the last whole page have no descriptor.
  if (index >= page_count(pool)) {
    log_msg(kLogError, "slab_free(): outside of pool");
    return;
  }
  PageDesc* d = page_desc(pool, index);
  const uint64_t in_page = rel & (static_cast<uint64_t>(page_size) - 1);
  const uint64_t type = page_type(d);

  if (type == kPagePage) {
    if (in_page != 0) {
      log_msg(kLogError, "slab_free(): pointer to wrong chunk");
    } else if (!(d->map & kPageAllocated)) {
      log_msg(kLogWarn, "slab_free(): page is already free");
    } else if (d->map == kPageAllocatedTail) {
      log_msg(kLogError, "slab_free(): pointer to wrong page");
    } else {
      slab_free_pages(pool, d, d->map & ~kPageAllocated);
    }
    return;
  }

  const uint64_t k = type == kPageExact ? exact_shift : (d->map & kChunkShiftMask);
  if ((in_page & ((uint64_t{1} << k) - 1)) != 0) {
    log_msg(kLogError, "slab_free(): pointer to wrong chunk");
    return;
  }
  const uint64_t cls = k - pool->min_chunk_shift;
  ClassStats* stats = class_stats_of(pool) + cls;
  const uint64_t chunk = in_page >> k;
  const uint64_t chunks = static_cast<uint64_t>(page_size) >> k;

  if (type == kPageSmall) {
    const uint64_t m = small_bitmap_chunks(k);
    // The chunks holding the bitmap were never handed out.
    if (chunk < m) {
      log_msg(kLogError, "slab_free(): pointer to wrong chunk");
      return;
    }
    uint64_t* bitmap = static_cast<uint64_t*>(page_address(pool, d));
    const uint64_t bit = uint64_t{1} << (chunk % 64);
    if (!(bitmap[chunk / 64] & bit)) {
      log_msg(kLogWarn, "slab_free(): chunk is already free");
      return;
    }
    if (d->next == 0) push_class_page(pool, d, cls, kPageSmall);
    bitmap[chunk / 64] &= ~bit;
    bool empty = true;
    for (uint64_t w = m / 64; w < chunks / 64 && empty; ++w) {
      uint64_t word = bitmap[w];
      if (w == m / 64) word &= ~((uint64_t{1} << (m % 64)) - 1);  // ignore the bitmap's own chunks
      empty = word == 0;
    }
    if (empty) {
      slab_free_pages(pool, d, 1);
      stats->total -= chunks - m;
    }
  } else if (type == kPageExact) {
    const uint64_t bit = uint64_t{1} << chunk;
    if (!(d->map & bit)) {
      log_msg(kLogWarn, "slab_free(): chunk is already free");
      return;
    }
    if (d->map == ~uint64_t{0}) push_class_page(pool, d, cls, kPageExact);
    d->map &= ~bit;
    if (d->map == 0) {
      slab_free_pages(pool, d, 1);
      stats->total -= 64;
    }
  } else {
    const uint64_t bit = uint64_t{1} << (kBigBitmapShift + chunk);
    if (!(d->map & bit)) {
      log_msg(kLogWarn, "slab_free(): chunk is already free");
      return;
    }
    if (d->next == 0) push_class_page(pool, d, cls, kPageBig);
    d->map &= ~bit;
    if ((d->map >> kBigBitmapShift) == 0) {
      slab_free_pages(pool, d, 1);
      stats->total -= chunks;
    }
  }
  --stats->used;
}

void* slab_alloc(SlabPool* pool, uint64_t size) {
  if (rwlock_wlock(&pool->lock) != kDone) {
    log_msg(kLogError, "slab_alloc: could not get write lock");
    return nullptr;
  }
  void* p = slab_alloc_locked(pool, size);
  if (rwlock_unlock(&pool->lock) != kDone) log_msg(kLogWarn, "slab_alloc: could not remove write lock");
  return p;
}

void* slab_calloc(SlabPool* pool, uint64_t size) {
  if (rwlock_wlock(&pool->lock) != kDone) {
    log_msg(kLogError, "slab_calloc: could not get write lock");
    return nullptr;
  }
  void* p = slab_calloc_locked(pool, size);
  if (rwlock_unlock(&pool->lock) != kDone) log_msg(kLogWarn, "slab_calloc: could not remove write lock");
  return p;
}

void slab_free(SlabPool* pool, void* p) {
  if (rwlock_wlock(&pool->lock) != kDone) {
    log_msg(kLogError, "slab_free: could not get write lock");
    return;
  }
  slab_free_locked(pool, p);
  if (rwlock_unlock(&pool->lock) != kDone) log_msg(kLogWarn, "slab_free: could not remove write lock");
}

}  // namespace quillmap
