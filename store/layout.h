// The segment's records. The segment is an inter-process format: another program attaching it reads
// these bytes, so every record is a plain standard-layout struct of fixed-width fields whose offsets
// and sizes are proven below. Nothing in the segment holds an address; every link is an unsigned
// 64-bit offset from the segment base, turned into an address by _lfof_ and nowhere else.
//
// Segment map (offsets from the base):
//   0                       SlabPool header (lock word first)
//   120                     class_heads: one PageDesc per size class
//   class_stats             ClassStats, one per size class
//   desc_base .. desc_end   PageDesc, one per page
//   data_start .. pool_end  the pages; every record the store allocates lies here
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace quillmap {

// Result codes shared by every store operation.
inline constexpr int64_t kDone = 0;
inline constexpr int64_t kFailed = -1;
inline constexpr int64_t kLockTimeout = -3;
inline constexpr int64_t kNothingToDo = -4;

// The one crossing from offset to address.
template <class T>
inline T* _lfof_(const void* paddr, uint64_t off) noexcept {
  return reinterpret_cast<T*>(const_cast<char*>(static_cast<const char*>(paddr)) + off);
}

// Offset of a record that lies in the segment based at `paddr`.
inline uint64_t offset_of_record(const void* paddr, const void* record) noexcept {
  return static_cast<uint64_t>(static_cast<const char*>(record) - static_cast<const char*>(paddr));
}

// Page descriptor: one per page, and the list heads free_head and class_heads[c].
struct PageDesc {
  uint64_t map;   // meaning depends on the page's state (see slab.h)
  uint64_t next;  // offset of the next list member; 0 when in no list
  uint64_t prev;  // offset of the previous member, page type in the two low bits
};

// Per size class counters.
struct ClassStats {
  uint64_t total;     // chunks the class's pages offer (bitmap chunks excluded)
  uint64_t used;      // chunks handed out and not yet freed
  uint64_t requests;  // requests of this class
  uint64_t failures;  // requests that needed a new page and found none
};

// The header at offset 0. class_heads (one PageDesc per class) follows directly at offset 120.
struct SlabPool {
  uint64_t lock;       // reader/writer lock word: 0 free, all ones one writer, n readers
  PageDesc free_head;  // heads the circular list of free page runs
  uint64_t desc_base;
  uint64_t data_start;
  uint64_t pool_end;
  uint64_t desc_end;
  uint64_t class_stats;
  uint64_t min_chunk;
  uint64_t min_chunk_shift;
  uint64_t free_pages;
  uint64_t key_tree;  // offset of the key tree's TreeRoot
  uint64_t trie4;     // offset of the IPv4 prefix trie's root
  uint64_t trie6;     // offset of the IPv6 prefix trie's root
};

inline constexpr uint64_t kClassHeadsOffset = 120;
inline constexpr uint64_t kFreeHeadOffset = 8;

inline PageDesc* class_head(SlabPool* pool, uint64_t c) noexcept {
  return _lfof_<PageDesc>(pool, kClassHeadsOffset + sizeof(PageDesc) * c);
}

// Anchor of the key tree.
struct TreeRoot {
  uint64_t root;      // offset of the root node; equals sentinel when the tree is empty
  uint64_t sentinel;  // offset of the sentinel node, which stands for every empty link
};

// One dictionary entry in one slab chunk of kNodeHeaderSize + key_len + value_len bytes: the header
// below, then the key bytes (no terminating zero), then the value bytes.
struct RbtreeNode {
  uint64_t key_crc;  // crc32_short of the key, zero-extended
  uint64_t left;
  uint64_t right;
  uint64_t parent;
  uint16_t key_len;
  uint8_t pad0[2];
  uint32_t value_len;
  uint8_t color;  // 1 red, 0 black
  uint8_t pad1[7];
  uint64_t expires;    // seconds since the epoch; 0 never
  uint8_t is_address;  // 1 for an address entry
};

inline constexpr uint64_t kNodeHeaderSize = 57;
inline constexpr uint64_t kSentinelSize = 64;

inline uint8_t* node_key(RbtreeNode* n) noexcept { return reinterpret_cast<uint8_t*>(n) + kNodeHeaderSize; }
inline const uint8_t* node_key(const RbtreeNode* n) noexcept {
  return reinterpret_cast<const uint8_t*>(n) + kNodeHeaderSize;
}
inline uint8_t* node_value(RbtreeNode* n) noexcept { return node_key(n) + n->key_len; }
inline const uint8_t* node_value(const RbtreeNode* n) noexcept { return node_key(n) + n->key_len; }

#define QM_ASSERT_RECORD(T) \
  static_assert(std::is_standard_layout_v<T> && std::is_trivially_copyable_v<T>, #T " must be a plain record")

QM_ASSERT_RECORD(PageDesc);
static_assert(sizeof(PageDesc) == 24);
static_assert(offsetof(PageDesc, map) == 0 && offsetof(PageDesc, next) == 8 && offsetof(PageDesc, prev) == 16);

QM_ASSERT_RECORD(ClassStats);
static_assert(sizeof(ClassStats) == 32);
static_assert(offsetof(ClassStats, total) == 0 && offsetof(ClassStats, used) == 8 &&
              offsetof(ClassStats, requests) == 16 && offsetof(ClassStats, failures) == 24);

QM_ASSERT_RECORD(SlabPool);
static_assert(offsetof(SlabPool, lock) == 0);
static_assert(offsetof(SlabPool, free_head) == kFreeHeadOffset);
static_assert(offsetof(SlabPool, desc_base) == 32);
static_assert(offsetof(SlabPool, data_start) == 40);
static_assert(offsetof(SlabPool, pool_end) == 48);
static_assert(offsetof(SlabPool, desc_end) == 56);
static_assert(offsetof(SlabPool, class_stats) == 64);
static_assert(offsetof(SlabPool, min_chunk) == 72);
static_assert(offsetof(SlabPool, min_chunk_shift) == 80);
static_assert(offsetof(SlabPool, free_pages) == 88);
static_assert(offsetof(SlabPool, key_tree) == 96);
static_assert(offsetof(SlabPool, trie4) == 104);
static_assert(offsetof(SlabPool, trie6) == 112);
static_assert(sizeof(SlabPool) == kClassHeadsOffset);

QM_ASSERT_RECORD(TreeRoot);
static_assert(sizeof(TreeRoot) == 16);
static_assert(offsetof(TreeRoot, root) == 0 && offsetof(TreeRoot, sentinel) == 8);

QM_ASSERT_RECORD(RbtreeNode);
static_assert(offsetof(RbtreeNode, key_crc) == 0);
static_assert(offsetof(RbtreeNode, left) == 8);
static_assert(offsetof(RbtreeNode, right) == 16);
static_assert(offsetof(RbtreeNode, parent) == 24);
static_assert(offsetof(RbtreeNode, key_len) == 32);
static_assert(offsetof(RbtreeNode, value_len) == 36);
static_assert(offsetof(RbtreeNode, color) == 40);
static_assert(offsetof(RbtreeNode, expires) == 48);
static_assert(offsetof(RbtreeNode, is_address) == kNodeHeaderSize - 1);
static_assert(sizeof(RbtreeNode) <= kSentinelSize);

}  // namespace quillmap
