// Test support: checks every invariant of the allocator's bookkeeping and returns a description of
// the first violation, or "" when the pool is sound:
//   - the header geometry matches what slab_init derives from pool_end and the page size;
//   - every page descriptor is in exactly one well-formed state (free run, page allocation, class page);
//   - free runs are maximal (never adjacent), their list is circular and doubly linked, and it holds
//     exactly the free-run heads; free_pages equals the pages in free runs;
//   - each class list is circular and doubly linked and holds exactly the class's non-full pages,
//     full class pages are in no list;
//   - ClassStats total and used equal a recount of the class pages.
// The list heads' own prev fields are not checked: the allocator never reads them.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "store/layout.h"
#include "store/slab.h"
#include "store/testing/check_format.h"
#include "util/host_params.h"

namespace quillmap::testing {

// Recount of the allocator's state, filled by slab_check.
struct SlabCensus {
  uint64_t pages = 0;
  uint64_t free_pages = 0;
  uint64_t free_runs = 0;
  uint64_t allocated_pages = 0;  // pages in page allocations
  uint64_t class_pages = 0;
  std::vector<uint64_t> total;  // per class
  std::vector<uint64_t> used;   // per class
};

namespace slab_check_detail {

inline int popcount(uint64_t x) { return __builtin_popcountll(x); }

struct ClassPage {
  uint64_t cls;
  uint64_t type;
  uint64_t offered;
  uint64_t used;
};

// Chunk accounting of one class page; "" or a violation.
inline std::string inspect_class_page(SlabPool* pool, uint64_t index, const PageDesc* d, ClassPage* out) {
  const uint64_t ps = static_cast<uint64_t>(page_size);
  const uint64_t type = page_type(d);
  const uint8_t* page = static_cast<const uint8_t*>(page_address(pool, d));
  uint64_t k;
  if (type == kPageSmall) {
    k = d->map;
    if (k < pool->min_chunk_shift || k >= exact_shift)
      return check_format("page %lu: SMALL page with shift %lu", (unsigned long)index, (unsigned long)k);
    const uint64_t nbits = ps >> k;
    uint64_t m = nbits / (uint64_t{8} << k);
    if (m == 0) m = 1;
    const uint64_t* words = reinterpret_cast<const uint64_t*>(page);
    uint64_t set = 0;
    for (uint64_t w = 0; w < nbits / 64; ++w) set += popcount(words[w]);
    for (uint64_t b = 0; b < m; ++b)
      if (!((words[b / 64] >> (b % 64)) & 1))
        return check_format("page %lu: SMALL bitmap chunk %lu not marked", (unsigned long)index, (unsigned long)b);
    out->offered = nbits - m;
    out->used = set - m;
  } else if (type == kPageExact) {
    k = exact_shift;
    out->offered = 64;
    out->used = popcount(d->map);
  } else {
    k = d->map & kChunkShiftMask;
    if (k <= exact_shift || k >= static_cast<uint64_t>(page_shift))
      return check_format("page %lu: BIG page with shift %lu", (unsigned long)index, (unsigned long)k);
    if ((d->map & 0xFFFFFFF0u) != 0)
      return check_format("page %lu: BIG page with stray bits in map %#lx", (unsigned long)index,
                          (unsigned long)d->map);
    const uint64_t nbits = ps >> k;
    const uint64_t bitmap = d->map >> kBigBitmapShift;
    if (nbits < 32 && (bitmap >> nbits) != 0)
      return check_format("page %lu: BIG bitmap beyond its %lu chunks", (unsigned long)index, (unsigned long)nbits);
    out->offered = nbits;
    out->used = popcount(bitmap);
  }
  out->type = type;
  out->cls = k - pool->min_chunk_shift;
  if (out->used == 0) return check_format("page %lu: class page without a used chunk", (unsigned long)index);
  return "";
}

}  // namespace slab_check_detail

inline std::string slab_check(SlabPool* pool, SlabCensus* census = nullptr) {
  using slab_check_detail::ClassPage;
  SlabCensus local;
  SlabCensus& c = census != nullptr ? *census : local;
  c = SlabCensus{};

  const SlabGeometry g =
      slab_geometry(pool->pool_end, pool->min_chunk_shift, static_cast<uint64_t>(page_size), page_shift);
  if (pool->class_stats != g.class_stats || pool->desc_base != g.desc_base || pool->desc_end != g.desc_end ||
      pool->data_start != g.data_start)
    return check_format("header geometry differs: class_stats %lu desc_base %lu desc_end %lu data_start %lu",
                        (unsigned long)pool->class_stats, (unsigned long)pool->desc_base,
                        (unsigned long)pool->desc_end, (unsigned long)pool->data_start);
  if (pool->min_chunk != (uint64_t{1} << pool->min_chunk_shift)) return "min_chunk != 1 << min_chunk_shift";

  const uint64_t pages = page_count(pool);
  const uint64_t classes = slab_class_count(pool);
  c.pages = pages;
  c.total.assign(classes, 0);
  c.used.assign(classes, 0);

  std::set<uint64_t> run_heads;                     // descriptor offsets
  std::vector<std::set<uint64_t>> open_pages(classes);  // non-full class pages, per class
  bool previous_free = false;
  for (uint64_t i = 0; i < pages;) {
    PageDesc* d = page_desc(pool, i);
    const uint64_t off = offset_of_record(pool, d);
    if (page_type(d) == kPagePage && d->next != 0) {
      const uint64_t len = d->map;
      if (len == 0 || len > pages - i)
        return check_format("page %lu: free run of bad length %lu", (unsigned long)i, (unsigned long)len);
      if (previous_free) return check_format("page %lu: free run adjacent to the previous free run", (unsigned long)i);
      for (uint64_t j = 1; j < len; ++j) {
        const PageDesc* t = page_desc(pool, i + j);
        const uint64_t want_prev = j == len - 1 ? off : 0;
        if (t->map != 0 || t->next != 0 || t->prev != want_prev)
          return check_format("page %lu: bad descriptor inside the free run at page %lu (map %#lx next %lu prev %lu)",
                              (unsigned long)(i + j), (unsigned long)i, (unsigned long)t->map,
                              (unsigned long)t->next, (unsigned long)t->prev);
      }
      run_heads.insert(off);
      c.free_pages += len;
      ++c.free_runs;
      previous_free = true;
      i += len;
      continue;
    }
    previous_free = false;
    if (page_type(d) == kPagePage) {
      if (!(d->map & kPageAllocated) || d->map == kPageAllocatedTail || d->prev != 0)
        return check_format("page %lu: PAGE descriptor in no known state (map %#lx next %lu prev %lu)",
                            (unsigned long)i, (unsigned long)d->map, (unsigned long)d->next,
                            (unsigned long)d->prev);
      const uint64_t n = d->map & ~kPageAllocated;
      if (n == 0 || n > pages - i)
        return check_format("page %lu: page allocation of bad length %lu", (unsigned long)i, (unsigned long)n);
      for (uint64_t j = 1; j < n; ++j) {
        const PageDesc* t = page_desc(pool, i + j);
        if (t->map != kPageAllocatedTail || t->next != 0 || t->prev != 0)
          return check_format("page %lu: bad tail descriptor of the allocation at page %lu", (unsigned long)(i + j),
                              (unsigned long)i);
      }
      c.allocated_pages += n;
      i += n;
      continue;
    }
    ClassPage cp{};
    std::string err = slab_check_detail::inspect_class_page(pool, i, d, &cp);
    if (!err.empty()) return err;
    if (cp.cls >= classes) return check_format("page %lu: class %lu out of range", (unsigned long)i, (unsigned long)cp.cls);
    const bool full = cp.used == cp.offered;
    if (full && (d->next != 0 || d->prev != cp.type))
      return check_format("page %lu: full class page still linked (next %lu prev %lu)", (unsigned long)i,
                          (unsigned long)d->next, (unsigned long)d->prev);
    if (!full) {
      if (d->next == 0) return check_format("page %lu: class page with free chunks in no list", (unsigned long)i);
      open_pages[cp.cls].insert(off);
    }
    c.total[cp.cls] += cp.offered;
    c.used[cp.cls] += cp.used;
    ++c.class_pages;
    ++i;
  }

  // Free-run list.
  if (pool->free_head.map != 0) return "free_head.map is not 0";
  {
    uint64_t prev = kFreeHeadOffset, cur = pool->free_head.next, seen = 0;
    while (cur != kFreeHeadOffset) {
      if (++seen > run_heads.size()) return check_format("free-run list holds %lu or more members, %lu runs exist",
                                                          (unsigned long)seen, (unsigned long)run_heads.size());
      if (!run_heads.count(cur)) return check_format("free-run list member %lu is not a free-run head", (unsigned long)cur);
      const PageDesc* d = _lfof_<PageDesc>(pool, cur);
      if (d->prev != prev)
        return check_format("free-run list member %lu has prev %lu, expected %lu", (unsigned long)cur,
                            (unsigned long)d->prev, (unsigned long)prev);
      prev = cur;
      cur = d->next;
    }
    if (seen != run_heads.size())
      return check_format("free-run list holds %lu runs, %lu exist", (unsigned long)seen, (unsigned long)run_heads.size());
  }
  if (pool->free_pages != c.free_pages)
    return check_format("free_pages %lu, recount %lu", (unsigned long)pool->free_pages, (unsigned long)c.free_pages);

  // Class lists and statistics.
  const ClassStats* stats = class_stats_of(pool);
  for (uint64_t cls = 0; cls < classes; ++cls) {
    const uint64_t head_off = kClassHeadsOffset + sizeof(PageDesc) * cls;
    const PageDesc* head = class_head(pool, cls);
    if (head->map != 0) return check_format("class %lu: head map is not 0", (unsigned long)cls);
    uint64_t prev = head_off, cur = head->next, seen = 0;
    while (cur != head_off) {
      if (++seen > open_pages[cls].size())
        return check_format("class %lu: list longer than its %lu open pages", (unsigned long)cls,
                            (unsigned long)open_pages[cls].size());
      if (!open_pages[cls].count(cur))
        return check_format("class %lu: list member %lu is not an open page of the class", (unsigned long)cls,
                            (unsigned long)cur);
      const PageDesc* d = _lfof_<PageDesc>(pool, cur);
      if (page_prev(d) != prev)
        return check_format("class %lu: member %lu has prev %lu, expected %lu", (unsigned long)cls,
                            (unsigned long)cur, (unsigned long)page_prev(d), (unsigned long)prev);
      prev = cur;
      cur = d->next;
    }
    if (seen != open_pages[cls].size())
      return check_format("class %lu: list holds %lu pages, %lu have free chunks", (unsigned long)cls,
                          (unsigned long)seen, (unsigned long)open_pages[cls].size());
    if (stats[cls].total != c.total[cls] || stats[cls].used != c.used[cls])
      return check_format("class %lu: stats total %lu used %lu, recount %lu / %lu", (unsigned long)cls,
                          (unsigned long)stats[cls].total, (unsigned long)stats[cls].used,
                          (unsigned long)c.total[cls], (unsigned long)c.used[cls]);
  }
  return "";
}

}  // namespace quillmap::testing
