// Test support: an index segment's image in page-aligned, zero-filled heap memory, its header naming
// no dictionary in particular, ready for start_index.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "index/index_layout.h"
#include "store/companion_header.h"

namespace quillmap::testing {

class IndexBuffer {
 public:
  explicit IndexBuffer(uint64_t bytes = 16 << 20) : mem_(std::aligned_alloc(4096, bytes)) {
    if (mem_ == nullptr) abort();
    std::memset(mem_, 0, bytes);
    init_companion_header(header(), kIndexMagic, kIndexVersion, DictIdentity{});
    header()->pool_bytes = bytes - kIndexPoolOffset;
  }
  IndexBuffer(const IndexBuffer&) = delete;
  ~IndexBuffer() { std::free(mem_); }
  IndexHeader* header() const { return static_cast<IndexHeader*>(mem_); }

 private:
  void* mem_;
};

}  // namespace quillmap::testing
