#include "store/tree_directory.h"

#include <algorithm>
#include <cstring>

#include "store/rbtree.h"
#include "store/segment_view.h"

namespace quillmap {
namespace {

// Blocks are built three-quarters full, so that insertions split them seldom.
constexpr uint32_t kBuildFill = TreeDirectory::kBlockCap / 4 * 3;

const SlabPool* directory_pool = nullptr;
std::unique_ptr<TreeDirectory> kept;

// <0, 0, >0 as the node at `off` orders before, equal to, after `node` (same checksum assumed).
int compare_tied(const SlabPool* pool, uint64_t off, const RbtreeNode* node) {
  const RbtreeNode* other = _lfof_<const RbtreeNode>(pool, off);
  return rbtree_compare_keys(node_key(other), other->key_len, node_key(node), node->key_len);
}

}  // namespace

void TreeDirectory::rebuild(const SlabPool* pool, const TreeRoot* tree) {
  blocks_.clear();
  first_.clear();
  size_ = 0;
  TrustedView view(pool);
  rbtree_walk_inorder(view, tree, [&](const RbtreeNode* node) {
    if (blocks_.empty() || blocks_.back()->n == kBuildFill) {
      blocks_.push_back(std::make_unique<Block>());
      first_.push_back(static_cast<uint32_t>(node->key_crc));
    }
    Block& b = *blocks_.back();
    b.crc[b.n] = static_cast<uint32_t>(node->key_crc);
    b.off[b.n] = offset_of_record(pool, node);
    ++b.n;
    ++size_;
    return true;
  });
}

TreeDirectory::Place TreeDirectory::locate(const SlabPool* pool, const RbtreeNode* node) const {
  Place p;
  if (blocks_.empty()) return p;
  const auto c = static_cast<uint32_t>(node->key_crc);
  // Every entry of the blocks before the last one whose first checksum is below c orders before the
  // key; the key's place is in that block or, past equal checksums, in the ones after it.
  size_t b = static_cast<size_t>(std::lower_bound(first_.begin(), first_.end(), c) - first_.begin());
  if (b > 0) --b;
  const Block* blk = blocks_[b].get();
  uint32_t i = static_cast<uint32_t>(std::lower_bound(blk->crc, blk->crc + blk->n, c) - blk->crc);
  for (;;) {
    while (i < blk->n && blk->crc[i] == c) {
      const int cmp = compare_tied(pool, blk->off[i], node);
      if (cmp >= 0) {
        p.present = cmp == 0;
        break;
      }
      ++i;
    }
    if (i < blk->n || b + 1 == blocks_.size() || first_[b + 1] != c) break;
    blk = blocks_[++b].get();
    i = 0;
  }
  p.block = b;
  p.index = i;
  p.pred = i > 0 ? blk->off[i - 1] : b > 0 ? blocks_[b - 1]->off[blocks_[b - 1]->n - 1] : 0;
  p.succ = i < blk->n ? blk->off[i] : b + 1 < blocks_.size() ? blocks_[b + 1]->off[0] : 0;
  return p;
}

void TreeDirectory::insert(const Place& at, uint32_t crc, uint64_t node_off) {
  size_t b = at.block;
  uint32_t i = at.index;
  if (blocks_.empty()) {
    blocks_.push_back(std::make_unique<Block>());
    first_.push_back(crc);
  }
  Block* blk = blocks_[b].get();
  if (blk->n == kBlockCap) {  // split in halves; the upper half becomes the next block
    constexpr uint32_t half = kBlockCap / 2;
    auto upper = std::make_unique<Block>();
    upper->n = half;
    std::memcpy(upper->crc, blk->crc + half, sizeof(uint32_t) * half);
    std::memcpy(upper->off, blk->off + half, sizeof(uint64_t) * half);
    blk->n = half;
    first_.insert(first_.begin() + static_cast<std::ptrdiff_t>(b + 1), upper->crc[0]);
    blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(b + 1), std::move(upper));
    if (i > half) {
      i -= half;
      blk = blocks_[++b].get();
    }
  }
  std::memmove(blk->crc + i + 1, blk->crc + i, sizeof(uint32_t) * (blk->n - i));
  std::memmove(blk->off + i + 1, blk->off + i, sizeof(uint64_t) * (blk->n - i));
  blk->crc[i] = crc;
  blk->off[i] = node_off;
  ++blk->n;
  if (i == 0) first_[b] = crc;
  ++size_;
}

bool TreeDirectory::erase(const SlabPool* pool, const RbtreeNode* node, uint64_t node_off) {
  const Place p = locate(pool, node);
  if (!p.present || blocks_[p.block]->off[p.index] != node_off) return false;
  Block* blk = blocks_[p.block].get();
  const uint32_t i = p.index;
  std::memmove(blk->crc + i, blk->crc + i + 1, sizeof(uint32_t) * (blk->n - i - 1));
  std::memmove(blk->off + i, blk->off + i + 1, sizeof(uint64_t) * (blk->n - i - 1));
  --blk->n;
  --size_;
  if (blk->n == 0) {
    blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(p.block));
    first_.erase(first_.begin() + static_cast<std::ptrdiff_t>(p.block));
  } else if (i == 0) {
    first_[p.block] = blk->crc[0];
  }
  return true;
}

void keep_tree_directory(const SlabPool* pool) {
  directory_pool = nullptr;
  kept.reset();
  if (pool == nullptr) return;
  kept = std::make_unique<TreeDirectory>();
  kept->rebuild(pool, key_tree_of(pool));
  directory_pool = pool;
}

TreeDirectory* tree_directory_of(const SlabPool* pool) { return pool == directory_pool ? kept.get() : nullptr; }

}  // namespace quillmap
