#include "store/tree_neighbours.h"

#include <algorithm>
#include <vector>

#include "store/change_epoch.h"
#include "store/rbtree.h"
#include "store/segment_view.h"

namespace quillmap {
namespace {

// Each pair is packed as (key_crc << 32) | (node offset >> 3), so that one ordering of the packed
// values orders by checksum; nodes are at least 8-byte aligned, and pools past 32 GiB are not kept.
// No pair is 0: offset 0 is the pool's header, never a node.
// The pairs are spread over 2^16 buckets by the checksum's top bits, each sorted.
constexpr int kBucketBits = 16;
constexpr uint64_t kMaxPoolEnd = uint64_t{1} << 35;
constexpr int kMaxBucketsScanned = 64;
// Below this many pairs the nodes lie too far apart in the buckets (a neighbour is often past the
// scan) and the walk from the root is short and in cache anyway.
constexpr size_t kMinPairs = 1024;

uint64_t pack(const SlabPool* pool, const RbtreeNode* node) {
  return (uint64_t{node->key_crc} << 32) | (offset_of_record(pool, node) >> 3);
}
uint32_t crc_of(uint64_t packed) { return static_cast<uint32_t>(packed >> 32); }
size_t bucket_of(uint32_t crc) { return crc >> (32 - kBucketBits); }

struct Neighbours {
  const TreeRoot* tree = nullptr;  // the tree mirrored, or null
  const void* base = nullptr;      // its pool
  uint64_t chain = 0;              // the change chain it last followed
  std::vector<std::vector<uint64_t>> buckets;
  size_t pairs = 0;

  void clear() {
    tree = nullptr;
    buckets.clear();
    pairs = 0;
  }
};
Neighbours copy;

// The copy for `tree`, (re)built when it is not known to mirror it now; null when it is not kept.
Neighbours* trusted_copy(SlabPool* pool, const TreeRoot* tree) {
  const uint64_t chain = published_chain(&pool->lock);
  if (chain == 0 || pool->pool_end > kMaxPoolEnd) {
    if (copy.tree != nullptr) copy.clear();
    return nullptr;
  }
  if (copy.tree == tree && copy.chain == chain && tree->root != tree->sentinel) return &copy;
  copy.clear();
  copy.buckets.resize(size_t{1} << kBucketBits);
  TrustedView view(pool);
  rbtree_walk_inorder(view, tree, [&](const RbtreeNode* node) {
    copy.buckets[bucket_of(node->key_crc)].push_back(pack(pool, node));
    ++copy.pairs;
    return true;
  });
  // Tree order puts nodes of one checksum in key order; the packed order wants them by offset.
  for (auto& b : copy.buckets) std::sort(b.begin(), b.end());
  copy.tree = tree;
  copy.base = pool;
  copy.chain = chain;
  return &copy;
}

uint64_t offset_of_pair(uint64_t packed) { return (packed & 0xffffffffu) << 3; }
RbtreeNode* node_at(const void* base, uint64_t packed) { return _lfof_<RbtreeNode>(base, offset_of_pair(packed)); }

// The first pair from index j of bucket k on, in that bucket or the nearest non-empty one after it: a
// key's upper neighbour, or a node's successor. kNone: the scan reached the end of the buckets (there
// is none). kRefused: the scan went too far, or the pair is the first of a same-checksum group of
// several (the copy orders such a group by offset and the tree by key bytes, so which member comes
// first is not known here; a group lies within one bucket).
enum class Upper { kFound, kNone, kRefused };
Upper upper_pair(const Neighbours& n, size_t k, size_t j, uint64_t* pair) {
  const std::vector<uint64_t>* in = &n.buckets[k];
  for (size_t scanned = 0; j == in->size();) {
    if (++k == n.buckets.size()) return Upper::kNone;
    if (++scanned > kMaxBucketsScanned) return Upper::kRefused;
    in = &n.buckets[k];
    j = 0;
  }
  const std::vector<uint64_t>& v = *in;
  if (j + 1 < v.size() && crc_of(v[j + 1]) == crc_of(v[j])) return Upper::kRefused;
  *pair = v[j];
  return Upper::kFound;
}

}  // namespace

bool neighbour_place(SlabPool* pool, const TreeRoot* tree, const RbtreeNode* node, RbtreeNode** parent,
                     bool* right) {
  Neighbours* n = trusted_copy(pool, tree);
  if (n == nullptr || n->pairs < kMinPairs) return false;
  const uint32_t crc = node->key_crc;
  const size_t home = bucket_of(crc);
  const std::vector<uint64_t>& b = n->buckets[home];
  const auto at = std::lower_bound(b.begin(), b.end(), uint64_t{crc} << 32);
  if (at != b.end() && crc_of(*at) == crc) return false;  // same checksum: the key bytes decide

  // Between the key's two neighbours in tree order lies exactly one empty link: the lower one's right
  // link when it has no right child, else the upper one's left link. So the upper neighbour is looked
  // for only when the lower one does not decide (a load in tree order never needs it). Each is in the
  // home bucket or the nearest non-empty one; a scan that reaches the end of the buckets finds that
  // the neighbour is absent (the key is the least or the greatest), one that goes too far refuses.
  // A neighbour whose checksum other nodes share refuses as well: the copy orders such a group by
  // offset and the tree by key bytes, so which member is next to the key is not known here. A group
  // lies within one bucket; the lower neighbour is the last of its group, the upper one the first.
  if (at != b.begin() || home > 0) {
    const std::vector<uint64_t>* in = &b;
    size_t i = static_cast<size_t>(at - b.begin());
    for (size_t k = home, scanned = 0; i == 0 && k > 0; --k) {
      if (++scanned > kMaxBucketsScanned) return false;
      in = &n->buckets[k - 1];
      i = in->size();
    }
    if (i != 0) {
      const std::vector<uint64_t>& v = *in;
      if (i >= 2 && crc_of(v[i - 2]) == crc_of(v[i - 1])) return false;
      RbtreeNode* lower = node_at(pool, v[i - 1]);
      if (lower->right == tree->sentinel) {
        *parent = lower;
        *right = true;
        return true;
      }
    }
  }
  uint64_t pair = 0;
  const Upper found = upper_pair(*n, home, static_cast<size_t>(at - b.begin()), &pair);
  if (found == Upper::kRefused) return false;
  if (found == Upper::kFound) {
    RbtreeNode* upper = node_at(pool, pair);
    if (upper->left == tree->sentinel) {
      *parent = upper;
      *right = false;
      return true;
    }
  }
  copy.clear();  // the copy does not match the tree after all: the walk answers, the next use rebuilds
  return false;
}

void neighbour_linked(SlabPool* pool, const TreeRoot* tree, const RbtreeNode* node) {
  if (copy.tree != tree) return;
  const bool alone = tree->root == offset_of_record(pool, node) && node->left == tree->sentinel &&
                     node->right == tree->sentinel;
  if (alone || copy.chain != published_chain(&pool->lock)) {  // a tree begun anew, or another writer's
    copy.clear();
    return;
  }
  std::vector<uint64_t>& b = copy.buckets[bucket_of(node->key_crc)];
  const uint64_t p = pack(pool, node);
  b.insert(std::upper_bound(b.begin(), b.end(), p), p);
  ++copy.pairs;
}

uint64_t neighbour_unlinking(SlabPool* pool, const TreeRoot* tree, const RbtreeNode* node) {
  if (copy.tree != tree) return 0;
  if (copy.chain != published_chain(&pool->lock)) {
    copy.clear();
    return 0;
  }
  std::vector<uint64_t>& b = copy.buckets[bucket_of(node->key_crc)];
  const uint64_t p = pack(pool, node);
  const auto at = std::lower_bound(b.begin(), b.end(), p);
  if (at == b.end() || *at != p) return 0;
  const size_t i = static_cast<size_t>(at - b.begin());
  // The next pair is the node's successor in tree order when neither belongs to a same-checksum group
  // (their order needs the key bytes). It is looked for before the pair goes.
  uint64_t successor = 0, next = 0;
  const bool alone = (i == 0 || crc_of(b[i - 1]) != crc_of(p)) && (i + 1 == b.size() || crc_of(b[i + 1]) != crc_of(p));
  if (alone && copy.pairs >= kMinPairs && upper_pair(copy, bucket_of(node->key_crc), i + 1, &next) == Upper::kFound)
    successor = offset_of_pair(next);
  b.erase(at);
  --copy.pairs;
  return successor;
}

void prefetch_neighbours(uint32_t crc, bool deleting, int stage) {
  if (copy.tree == nullptr) return;
  const std::vector<uint64_t>& b = copy.buckets[bucket_of(crc)];
  if (stage == 0) {
    __builtin_prefetch(&b);
    return;
  }
  if (stage == 1) {
    // The binary search's first probes fall in the bucket's middle, its last ones near the answer: a
    // bucket of a few dozen pairs is a few lines, all fetched.
    const uint64_t* pairs = b.data();
    for (size_t i = 0; i < b.size() && i < 32; i += 8) __builtin_prefetch(pairs + i);
    return;
  }
  // Within the key's bucket (the usual case at the sizes kept): a new key lies between the pairs on
  // either side of it, a deleted one is the pair found and its successor the next.
  const auto at = std::lower_bound(b.begin(), b.end(), uint64_t{crc} << 32);
  if (!deleting) {
    if (stage != 2) return;
    if (at != b.begin()) __builtin_prefetch(node_at(copy.base, *(at - 1)));
    if (at != b.end()) __builtin_prefetch(node_at(copy.base, *at));
    return;
  }
  if (at == b.end() || at + 1 == b.end()) return;
  const RbtreeNode* successor = node_at(copy.base, *(at + 1));
  if (stage == 2) {
    __builtin_prefetch(successor);
    return;
  }
  // The successor's parent and right child are relinked when it takes the deleted node's place.
  for (const uint64_t link : {successor->parent, successor->right}) {
    if (link != 0) __builtin_prefetch(_lfof_<const uint8_t>(copy.base, link));
  }
}

void prepare_neighbours(SlabPool* pool, const TreeRoot* tree) {
  copy.clear();
  if (tree->root != tree->sentinel) trusted_copy(pool, tree);
}

}  // namespace quillmap
