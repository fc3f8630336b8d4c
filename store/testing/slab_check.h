// Test support: checks the allocator's bookkeeping and returns the first violation, or "": the header
// geometry is what slab_init derives; every page descriptor is a well-formed free run, page allocation
// or class page; free runs are maximal and their circular, doubly linked list holds exactly the run
// heads, free_pages their pages; each class list holds exactly the class's non-full pages; ClassStats
// equal a recount. (The list heads' own prev fields are never read by the allocator.)
#pragma once

#include <algorithm>
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
  uint64_t free_pages = 0;
  std::vector<uint64_t> total, used;  // per class
};

inline std::string slab_check(SlabPool* pool, SlabCensus* census = nullptr) {
  using ul = unsigned long;
  // A circular, doubly linked descriptor list from the head at head_off must hold exactly `members`.
  auto check_list = [&](const std::string& name, uint64_t head_off, const std::set<uint64_t>& members,
                        bool typed_prev) -> std::string {
    uint64_t prev = head_off, cur = _lfof_<PageDesc>(pool, head_off)->next, seen = 0;
    for (; cur != head_off; prev = cur, cur = _lfof_<PageDesc>(pool, cur)->next) {
      const PageDesc* d = _lfof_<PageDesc>(pool, cur);
      if (++seen > members.size() || !members.count(cur) || (typed_prev ? page_prev(d) : d->prev) != prev)
        return check_format("%s: member %lu (prev %lu, expected %lu) is not one of its %lu pages, or misses its prev",
                            name.c_str(), (ul)cur, (ul)d->prev, (ul)prev, (ul)members.size());
    }
    return seen == members.size() ? "" : check_format("%s holds %lu of %lu pages", name.c_str(), (ul)seen,
                                                      (ul)members.size());
  };
  SlabCensus local;
  SlabCensus& c = census != nullptr ? *census : local;
  const SlabGeometry g = slab_geometry(pool->pool_end, pool->min_chunk_shift, page_size, page_shift);
  if (pool->class_stats != g.class_stats || pool->desc_base != g.desc_base || pool->desc_end != g.desc_end ||
      pool->data_start != g.data_start || pool->min_chunk != (uint64_t{1} << pool->min_chunk_shift))
    return check_format("header geometry differs: class_stats %lu desc_base %lu desc_end %lu data_start %lu",
                        (ul)pool->class_stats, (ul)pool->desc_base, (ul)pool->desc_end, (ul)pool->data_start);
  const uint64_t pages = page_count(pool), classes = slab_class_count(pool), ps = static_cast<uint64_t>(page_size);
  c = SlabCensus{0, std::vector<uint64_t>(classes), std::vector<uint64_t>(classes)};
  std::set<uint64_t> run_heads;                         // descriptor offsets
  std::vector<std::set<uint64_t>> open_pages(classes);  // non-full class pages, per class
  bool previous_free = false;
  for (uint64_t i = 0, n = 1; i < pages; i += n) {
    auto bad = [&](const char* what, uint64_t v) { return check_format("page %lu: %s %lu", (ul)i, what, (ul)v); };
    PageDesc* d = page_desc(pool, i);
    const uint64_t off = offset_of_record(pool, d);
    const uint64_t type = page_type(d);
    const bool free_run = type == kPagePage && d->next != 0;
    if (free_run && previous_free) return bad("free run adjacent to the previous free run", i);
    previous_free = free_run;
    n = 1;
    if (type == kPagePage) {
      // A free run keeps its length in map and its head's offset in the last page's prev; a page
      // allocation marks its first page and all-ones tails.
      n = free_run ? d->map : d->map & ~kPageAllocated;
      if (!free_run && (!(d->map & kPageAllocated) || d->map == kPageAllocatedTail || d->prev != 0))
        return bad("PAGE descriptor in no known state", i);
      if (n == 0 || n > pages - i) return bad(free_run ? "free run of bad length" : "page allocation of bad length", n);
      for (uint64_t j = 1; j < n; ++j) {
        const PageDesc* t = page_desc(pool, i + j);
        const bool ok = free_run ? t->map == 0 && t->next == 0 && t->prev == (j == n - 1 ? off : 0)
                                 : t->map == kPageAllocatedTail && t->next == 0 && t->prev == 0;
        if (!ok) return bad("bad descriptor inside the run or allocation at", i + j);
      }
      if (free_run) {
        run_heads.insert(off);
        c.free_pages += n;
      }
      continue;
    }
    // A class page: its chunk shift, the chunks it offers (SMALL pages keep their bitmap in their first
    // chunks) and those in use.
    uint64_t k = exact_shift, offered = 64, used = __builtin_popcountll(d->map);
    if (type == kPageSmall) {
      k = d->map;
      if (k < pool->min_chunk_shift || k >= exact_shift) return bad("SMALL page with shift", k);
      const uint64_t nbits = ps >> k, m = std::max<uint64_t>(1, nbits / (uint64_t{8} << k));
      const auto* words = static_cast<const uint64_t*>(page_address(pool, d));
      used = 0;
      for (uint64_t w = 0; w < nbits / 64; ++w) used += __builtin_popcountll(words[w]);
      for (uint64_t b = 0; b < m; ++b)
        if (!((words[b / 64] >> (b % 64)) & 1)) return bad("SMALL bitmap chunk not marked:", b);
      offered = nbits - m;
      used -= m;
    } else if (type != kPageExact) {
      k = d->map & kChunkShiftMask;
      if (k <= exact_shift || k >= static_cast<uint64_t>(page_shift)) return bad("BIG page with shift", k);
      if ((d->map & 0xFFFFFFF0u) != 0) return bad("BIG page with stray bits in map", d->map);
      offered = ps >> k;
      if (offered < 32 && (d->map >> kBigBitmapShift >> offered) != 0) return bad("BIG bitmap beyond", offered);
      used = __builtin_popcountll(d->map >> kBigBitmapShift);
    }
    if (used == 0) return bad("class page without a used chunk, type", type);
    const uint64_t cls = k - pool->min_chunk_shift;  // below classes, given the shifts checked
    if (used == offered && (d->next != 0 || d->prev != type)) return bad("full class page still linked", i);
    if (used != offered && d->next == 0) return bad("class page with free chunks in no list", i);
    if (used != offered) open_pages[cls].insert(off);
    c.total[cls] += offered;
    c.used[cls] += used;
  }
  if (pool->free_head.map != 0) return "free_head.map is not 0";
  std::string err = check_list("free-run list", kFreeHeadOffset, run_heads, false);
  if (!err.empty()) return err;
  if (pool->free_pages != c.free_pages)
    return check_format("free_pages %lu, recount %lu", (ul)pool->free_pages, (ul)c.free_pages);
  const ClassStats* stats = class_stats_of(pool);
  for (uint64_t cls = 0; cls < classes; ++cls) {
    if (class_head(pool, cls)->map != 0) return check_format("class %lu: head map is not 0", (ul)cls);
    err = check_list(check_format("class %lu list", (ul)cls), kClassHeadsOffset + sizeof(PageDesc) * cls,
                     open_pages[cls], true);
    if (!err.empty()) return err;
    if (stats[cls].total != c.total[cls] || stats[cls].used != c.used[cls])
      return check_format("class %lu: stats total %lu used %lu, recount %lu / %lu", (ul)cls, (ul)stats[cls].total,
                          (ul)stats[cls].used, (ul)c.total[cls], (ul)c.used[cls]);
  }
  return "";
}

}  // namespace quillmap::testing
