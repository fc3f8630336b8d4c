// Test support: a private, freshly laid-out pool with an empty key tree, as the daemon's first worker
// leaves it before creating the tries. Backed by page-aligned, zero-filled heap memory (fast, and
// AddressSanitizer sees its end), or by a private System V segment when forked processes must share it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "store/layout.h"
#include "store/slab.h"
#include "store/store_init.h"
#include "store/testing/sysv_segment.h"
#include "util/host_params.h"

namespace quillmap::testing {

enum class PoolBacking { kHeap, kSysv };

class PoolFixture {
 public:
  explicit PoolFixture(int64_t data_size = 10 << 20, PoolBacking backing = PoolBacking::kHeap,
                       bool create_key_tree = true)
      : size_(data_size) {
    host_params_init();
    slab_derive_sizes();
    const uint64_t bytes = (static_cast<uint64_t>(data_size) + page_size - 1) / page_size * page_size;
    if (backing == PoolBacking::kSysv) segment_ = std::make_unique<SysvSegment>(bytes);
    base_ = segment_ ? segment_->base() : (heap_ = std::aligned_alloc(page_size, bytes));
    if (base_ == nullptr) abort();
    std::memset(base_, 0, bytes);  // a new segment is zero already
    store_layout(pool(), data_size);
    if (create_key_tree && store_create_key_tree_locked(pool()) != 0) abort();
  }
  PoolFixture(const PoolFixture&) = delete;
  ~PoolFixture() { std::free(heap_); }

  SlabPool* pool() const { return static_cast<SlabPool*>(base_); }
  void* base() const { return base_; }
  int64_t size() const { return size_; }

 private:
  int64_t size_;
  std::unique_ptr<SysvSegment> segment_;
  void* heap_ = nullptr;
  void* base_;
};

}  // namespace quillmap::testing
