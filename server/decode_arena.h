// The memory protobuf-c decodes request messages into: a bump allocator with an inline block, so
// that decoding an ordinary request allocates nothing from the heap.
//
// Invariants:
//   1. Every block handed out is aligned for any scalar type (alignof(std::max_align_t)) and stays
//      valid until the next rewind() or the arena's end; protobuf-c's free is a no-op.
//   2. Requests that do not fit the inline block (a body full of unknown fields, say) get blocks of
//      their own from malloc, all released by rewind(): memory held between rewinds is what one
//      decode asked for, so a caller that rewinds after every message holds a bounded amount.
//   3. Nothing here throws; a failed malloc is reported to protobuf-c as a null block, and the
//      decode then fails like any undecodable body.
#pragma once

#include <protobuf-c/protobuf-c.h>

#include <cstddef>

namespace quillmap {

class DecodeArena {
 public:
  // Enough for a request of the largest body (2048 bytes) that carries only known fields: the
  // message struct and a copy of each string with its terminator.
  static constexpr size_t kInlineBytes = 4096;

  DecodeArena() noexcept;
  ~DecodeArena() { rewind(); }
  DecodeArena(const DecodeArena&) = delete;
  DecodeArena& operator=(const DecodeArena&) = delete;

  // The allocator to pass to the generated unpack. Its address is stable for the arena's life.
  ProtobufCAllocator* allocator() noexcept { return &allocator_; }

  // Forgets every block handed out and releases the overflow blocks.
  void rewind() noexcept;

 private:
  struct Overflow;  // header of a block taken from malloc

  static void* alloc_cb(void* self, size_t size) noexcept;
  static void free_cb(void* self, void* block) noexcept;
  void* allocate(size_t size) noexcept;

  alignas(std::max_align_t) std::byte inline_[kInlineBytes];
  size_t used_ = 0;
  Overflow* overflow_ = nullptr;
  ProtobufCAllocator allocator_;
};

}  // namespace quillmap
