#include "store/store_init.h"

#include "store/slab.h"
#include "util/host_params.h"

namespace quillmap {
namespace {

constexpr uint64_t kMinChunkShift = 3;
constexpr uint64_t kMinChunk = 8;
// Class pages taken by initialisation: TreeRoot (16), sentinel (64), IPv4 trie root (32), IPv6 trie
// root (80, in the 128-byte class). With any supported page size they fall into four distinct classes.
constexpr uint64_t kInitPages = 4;

}  // namespace

void store_layout(SlabPool* pool, int64_t data_size) {
  pool->min_chunk_shift = kMinChunkShift;
  pool->pool_end = static_cast<uint64_t>(data_size);
  pool->min_chunk = kMinChunk;
  slab_init(pool);
}

int64_t store_create_key_tree_locked(SlabPool* pool) {
  auto* tree = static_cast<TreeRoot*>(slab_calloc_locked(pool, sizeof(TreeRoot)));
  if (tree == nullptr) return kFailed;
  auto* sentinel = static_cast<RbtreeNode*>(slab_calloc_locked(pool, kSentinelSize));
  if (sentinel == nullptr) {
    slab_free_locked(pool, tree);
    pool->key_tree = 0;
    return kFailed;
  }
  sentinel->color = 0;
  const uint64_t sentinel_off = offset_of_record(pool, sentinel);
  tree->root = sentinel_off;
  tree->sentinel = sentinel_off;
  pool->key_tree = offset_of_record(pool, tree);
  return kDone;
}

int64_t store_min_data_size() {
  const uint64_t ps = static_cast<uint64_t>(page_size);
  const uint64_t shift = static_cast<uint64_t>(page_shift);
  // Lower bound: the header areas and kInitPages descriptors and pages; then the first size whose
  // rounded-up data_start still leaves room for them. Past that size the page count never drops
  // below kInitPages again.
  uint64_t size = slab_geometry(0, kMinChunkShift, ps, shift).desc_base + kInitPages * (ps + sizeof(PageDesc));
  while (slab_geometry(size, kMinChunkShift, ps, shift).pages < kInitPages) ++size;
  return static_cast<int64_t>(size);
}

}  // namespace quillmap
