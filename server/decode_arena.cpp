#include "server/decode_arena.h"

#include <cstdlib>

namespace quillmap {
namespace {

constexpr size_t kAlign = alignof(std::max_align_t);

constexpr size_t round_up(size_t n) { return (n + kAlign - 1) & ~(kAlign - 1); }

}  // namespace

struct DecodeArena::Overflow {
  Overflow* next;
};

// The block follows its header at an aligned distance.
static constexpr size_t kOverflowHeader = round_up(sizeof(void*));

DecodeArena::DecodeArena() noexcept : allocator_{&DecodeArena::alloc_cb, &DecodeArena::free_cb, this} {}

void* DecodeArena::alloc_cb(void* self, size_t size) noexcept { return static_cast<DecodeArena*>(self)->allocate(size); }

void DecodeArena::free_cb(void*, void*) noexcept {}

void* DecodeArena::allocate(size_t size) noexcept {
  if (size <= kInlineBytes - used_) {
    void* block = inline_ + used_;
    used_ += round_up(size);
    if (used_ > kInlineBytes) used_ = kInlineBytes;  // the last block may end unaligned at the end
    return block;
  }
  if (size > SIZE_MAX - kOverflowHeader) return nullptr;
  auto* header = static_cast<Overflow*>(std::malloc(kOverflowHeader + size));
  if (header == nullptr) return nullptr;
  header->next = overflow_;
  overflow_ = header;
  return reinterpret_cast<std::byte*>(header) + kOverflowHeader;
}

void DecodeArena::rewind() noexcept {
  used_ = 0;
  while (overflow_ != nullptr) {
    Overflow* next = overflow_->next;
    std::free(overflow_);
    overflow_ = next;
  }
}

}  // namespace quillmap
