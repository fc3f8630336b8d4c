// The allocator: the class and page a request gets, misuse of slab_free, and a seeded model test of
// random allocations (calloc and the locking wrappers included) and releases against the allocator's
// own recount after every step (lists of non-full class pages, maximal free runs, statistics), which
// also covers pages filling and emptying, runs merging and splitting, exhaustion, the failure counts,
// a lock held elsewhere and sizes derived again by a fresh process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "store/slab.h"
#include "store/testing/log_capture.h"
#include "store/testing/pool_fixture.h"
#include "store/testing/slab_check.h"
#include "util/host_params.h"
#include "util/testing/seed.h"

namespace quillmap {
namespace {

using testing::LogCapture;
using testing::PoolFixture;
using testing::PoolBacking;
using testing::slab_check;

class SlabTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_params_init();
    if (page_size != 4096) GTEST_SKIP() << "the reference values assume 4096-byte pages";
  }
  static uint64_t off(SlabPool* p, const void* a) { return offset_of_record(p, a); }
  static uint64_t page_off(SlabPool* p, uint64_t index) { return p->data_start + (index << page_shift); }

  PoolFixture fx_{1 << 20, PoolBacking::kHeap, /*create_key_tree=*/false};
  SlabPool* const p = fx_.pool();
};

// The chunk size a live allocation got, read back from its page descriptor.
uint64_t chunk_size_of(SlabPool* pool, const void* p) {
  const uint64_t rel = offset_of_record(pool, p) - pool->data_start;
  const PageDesc* d = page_desc(pool, rel >> page_shift);
  switch (page_type(d)) {
    case kPageSmall:
    case kPageBig:
      return uint64_t{1} << (d->map & kChunkShiftMask);
    case kPageExact:
      return exact_chunk;
    default:
      return (d->map & ~kPageAllocated) << page_shift;
  }
}

// Each request alone in an empty pool: the chunk size it is granted, and where its chunk lies in the
// first page (small classes keep their bitmap in the page's first chunks, which are never handed out).
TEST_F(SlabTest, RequestSizesMapToClassesRunsAndFirstChunks) {
  const struct {
    uint64_t request, granted, offset;
  } rows[] = {{0, 8, 64},     {1, 8, 64},       {8, 8, 64},       {9, 16, 32},      {16, 16, 32},
              {17, 32, 32},   {33, 64, 0},      {64, 64, 0},      {65, 128, 0},     {1024, 1024, 0},
              {1025, 2048, 0}, {2048, 2048, 0}, {2049, 4096, 0},  {4096, 4096, 0},  {4097, 8192, 0},
              {3 * 4096 + 1, 4 * 4096, 0}};
  for (const auto& r : rows) {
    void* a = slab_alloc_locked(p, r.request);
    ASSERT_NE(a, nullptr) << r.request;
    EXPECT_EQ(chunk_size_of(p, a), r.granted) << r.request;
    EXPECT_EQ(off(p, a), page_off(p, 0) + r.offset) << r.request;
    EXPECT_EQ(slab_check(p), "") << r.request;
    slab_free_locked(p, a);
    EXPECT_EQ(slab_check(p), "") << r.request;
  }
  EXPECT_EQ(p->free_pages, page_count(p));
}

TEST_F(SlabTest, MisuseOfFreeIsLoggedAndChangesNothing) {
  uint8_t* small = static_cast<uint8_t*>(slab_alloc_locked(p, 8));
  uint8_t* big = static_cast<uint8_t*>(slab_alloc_locked(p, 512));
  uint8_t* exact = static_cast<uint8_t*>(slab_alloc_locked(p, 64));
  uint8_t* run = static_cast<uint8_t*>(slab_alloc_locked(p, 2 * 4096));
  uint8_t* freed = static_cast<uint8_t*>(slab_alloc_locked(p, 32));
  slab_free_locked(p, freed);
  uint8_t* base = reinterpret_cast<uint8_t*>(p);
  struct Row {
    void* ptr;
    const char* message;
  };
  const Row rows[] = {
      {base + p->pool_end, "[ERROR]: slab_free(): outside of pool"},
      {base + p->data_start - 8, "[ERROR]: slab_free(): outside of pool"},
      {nullptr, "[ERROR]: slab_free(): outside of pool"},
      {small + 4, "[ERROR]: slab_free(): pointer to wrong chunk"},
      {small - 64, "[ERROR]: slab_free(): pointer to wrong chunk"},  // the page's bitmap
      {big + 256, "[ERROR]: slab_free(): pointer to wrong chunk"},
      {exact + 32, "[ERROR]: slab_free(): pointer to wrong chunk"},
      {run + 8, "[ERROR]: slab_free(): pointer to wrong chunk"},
      {run + 4096, "[ERROR]: slab_free(): pointer to wrong page"},
      {small + 8, "[WARN]: slab_free(): chunk is already free"},
      {big + 512, "[WARN]: slab_free(): chunk is already free"},
      {exact + 64, "[WARN]: slab_free(): chunk is already free"},
      {base + p->data_start + 20 * 4096, "[WARN]: slab_free(): page is already free"},
  };
  const std::vector<uint8_t> before(base, base + p->desc_end);
  for (const Row& r : rows) {
    LogCapture log;
    slab_free_locked(p, r.ptr);
    EXPECT_TRUE(log.contains(r.message)) << r.message << " got: " << log.text();
    EXPECT_EQ(std::memcmp(before.data(), base, before.size()), 0) << r.message;
  }
  EXPECT_EQ(slab_check(p), "");
}

// Random allocations and releases of mixed sizes (every class and page runs) on a small pool, so that
// it runs out of memory often; the allocator's recount, the model of live chunks and the statistics
// are checked after every step. Now and then the sizes are derived again as in a freshly started
// process, and once another writer holds the lock.
class SlabModel {
 public:
  SlabModel(SlabPool* pool, uint32_t seed) : pool_(pool), rng_(seed) {}

  // Returns "" or the first discrepancy.
  std::string step() {
    std::uniform_int_distribution<int> what(0, 99);
    if (live_.empty() || what(rng_) < 55) return allocate();
    return release();
  }

  std::string release_all() {
    while (!live_.empty()) {
      std::string err = release();
      if (!err.empty()) return err;
    }
    return "";
  }

  // A writer elsewhere that never lets go: the locking wrappers time out, say so, and change nothing.
  std::string stuck_lock() {
    const int64_t cpus = cpu_count;
    cpu_count = 1;  // keeps the time-outs short
    pool_->lock = ~uint64_t{0};
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(pool_);
    const std::vector<uint8_t> before(bytes, bytes + pool_->desc_end);
    LogCapture log;
    const bool refused = slab_alloc(pool_, 8) == nullptr && slab_calloc(pool_, 8) == nullptr;
    slab_free(pool_, live_.empty() ? nullptr : _lfof_<uint8_t>(pool_, live_.begin()->first));
    const bool unchanged = std::memcmp(before.data(), bytes, before.size()) == 0;
    cpu_count = cpus;
    pool_->lock = 0;
    if (!refused || !unchanged) return "a locking wrapper went past a lock held elsewhere";
    for (const char* fn : {"slab_alloc", "slab_calloc", "slab_free"})
      if (!log.contains(std::string("[ERROR]: ") + fn + ": could not get write lock")) return "no time-out logged";
    return slab_check(pool_);
  }

  // A freshly started process derives the sizes again, and must derive the same ones.
  std::string rederive_sizes() {
    const uint64_t want[] = {max_chunk, exact_chunk, exact_shift};
    max_chunk = exact_chunk = exact_shift = 0;
    slab_derive_sizes();
    return max_chunk == want[0] && exact_chunk == want[1] && exact_shift == want[2] ? "" : "other sizes derived";
  }

 private:
  struct Chunk {
    uint64_t size;     // bytes requested
    uint64_t granted;  // bytes the chunk spans
    uint8_t fill;
  };

  uint64_t pick_size() {
    std::uniform_int_distribution<int> kind(0, 19);
    int k = kind(rng_);
    if (k < 14) return std::uniform_int_distribution<uint64_t>(0, 2048)(rng_);
    if (k < 17) return std::uniform_int_distribution<uint64_t>(0, 70)(rng_);
    return std::uniform_int_distribution<uint64_t>(2049, 5 * 4096)(rng_);
  }

  static uint64_t granted_for(uint64_t size) {
    if (size > max_chunk) return (size + 4095) / 4096 * 4096;
    uint64_t g = 8;
    while (g < size) g <<= 1;
    return g;
  }

  std::string allocate() {
    const uint64_t size = pick_size();
    const uint64_t granted = granted_for(size);
    const bool is_class = size <= max_chunk;
    const uint64_t cls = is_class ? static_cast<uint64_t>(__builtin_ctzll(granted)) - 3 : 0;
    const uint64_t head_off = kClassHeadsOffset + 24 * cls;
    const bool list_empty = is_class && class_head(pool_, cls)->next == head_off;
    uint64_t longest_run = 0;
    for (uint64_t o = pool_->free_head.next; o != kFreeHeadOffset; o = _lfof_<PageDesc>(pool_, o)->next)
      longest_run = std::max(longest_run, _lfof_<PageDesc>(pool_, o)->map);

    // One request in four goes through calloc, which must zero a recycled, dirty chunk; one in four
    // through the wrappers that take the lock themselves.
    const bool zeroed = rng_() % 4 == 0, locking = rng_() % 4 == 0;
    void* got = locking ? (zeroed ? slab_calloc(pool_, size) : slab_alloc(pool_, size))
                        : (zeroed ? slab_calloc_locked(pool_, size) : slab_alloc_locked(pool_, size));
    uint8_t* p = static_cast<uint8_t*>(got);
    if (is_class) ++requests_[cls];
    if (p == nullptr) {
      const uint64_t pages_needed = is_class ? 1 : granted / 4096;
      if (is_class && !list_empty) return "class request failed although its list had a page";
      if (longest_run >= pages_needed) return check("request failed although a free run was long enough", size);
      if (is_class) ++failures_[cls];
      ++failures_seen_;
      return stats_agree();
    }
    const uint64_t off = offset_of_record(pool_, p);
    if (off < pool_->data_start || off + granted > pool_->pool_end) return check("chunk outside the pool", size);
    if (off % (granted < 4096 ? granted : 4096) != 0) return check("chunk not aligned to its size", size);
    if (chunk_size_of(pool_, p) != granted) return check("chunk of unexpected size", size);
    auto next = live_.lower_bound(off);
    if (next != live_.end() && next->first < off + granted) return check("chunk overlaps a later live chunk", size);
    if (next != live_.begin()) {
      auto prev = std::prev(next);
      if (prev->first + prev->second.granted > off) return check("chunk overlaps an earlier live chunk", size);
    }
    for (uint64_t i = 0; zeroed && i < size; ++i)
      if (p[i] != 0) return check("calloc left a byte unzeroed", size);
    const uint8_t fill = static_cast<uint8_t>(rng_());
    std::memset(p, fill, size);
    live_[off] = Chunk{size, granted, fill};
    std::string err = slab_check(pool_);
    return err.empty() ? stats_agree() : err;
  }

  std::string release() {
    auto it = live_.begin();
    std::advance(it, std::uniform_int_distribution<size_t>(0, live_.size() - 1)(rng_));
    uint8_t* p = _lfof_<uint8_t>(pool_, it->first);
    for (uint64_t i = 0; i < it->second.size; ++i)
      if (p[i] != it->second.fill) return check("live chunk was overwritten", it->second.size);
    rng_() % 4 == 0 ? slab_free(pool_, p) : slab_free_locked(pool_, p);
    live_.erase(it);
    std::string err = slab_check(pool_);
    return err.empty() ? stats_agree() : err;
  }

  std::string stats_agree() {
    if (pool_->lock != 0) return "the lock is held after an operation";
    const ClassStats* s = class_stats_of(pool_);
    for (int c = 0; c < 9; ++c)
      if (s[c].requests != requests_[c] || s[c].failures != failures_[c])
        return testing::check_format("class %d: requests %lu failures %lu, model %lu / %lu", c,
                                     (unsigned long)s[c].requests, (unsigned long)s[c].failures,
                                     (unsigned long)requests_[c], (unsigned long)failures_[c]);
    return "";
  }

  static std::string check(const char* what, uint64_t size) {
    return testing::check_format("%s (request of %lu bytes)", what, (unsigned long)size);
  }

  SlabPool* pool_;
  std::mt19937 rng_;
  std::map<uint64_t, Chunk> live_;
  uint64_t requests_[9] = {};
  uint64_t failures_[9] = {};

 public:
  uint64_t failures_seen_ = 0;
};

TEST_F(SlabTest, SeededModelOfRandomAllocations) {
  const uint32_t seeds[] = {testing::test_seed(20240611u), 7u};
  for (uint32_t seed : seeds) {
    SCOPED_TRACE(testing::seed_trace(seed));
    PoolFixture fx(48 * 4120 + 4096, PoolBacking::kHeap, false);
    SlabModel model(fx.pool(), seed);
    const int steps = seed == 7u ? 80000 : 120000;
    for (int i = 0; i < steps; ++i) {
      ASSERT_EQ(model.step(), "") << "step " << i;
      ASSERT_EQ(i % 10000 == 0 ? model.rederive_sizes() : "", "") << "step " << i;
      ASSERT_EQ(i == steps / 2 ? model.stuck_lock() : "", "") << "step " << i;
    }
    EXPECT_GT(model.failures_seen_, 0u) << "the pool never ran out of memory";
    ASSERT_EQ(model.release_all(), "");
    testing::SlabCensus census;
    ASSERT_EQ(slab_check(fx.pool(), &census), "");
    EXPECT_EQ(census.free_runs, 1u);
    EXPECT_EQ(census.free_pages, census.pages);
    EXPECT_EQ(page_desc(fx.pool(), 0)->map, census.pages);
    for (int c = 0; c < 9; ++c) {
      EXPECT_EQ(class_stats_of(fx.pool())[c].total, 0u);
      EXPECT_EQ(class_stats_of(fx.pool())[c].used, 0u);
    }
  }
}

}  // namespace
}  // namespace quillmap
