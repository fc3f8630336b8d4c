#include "persist/store_salvage.h"

#include <string>
#include <unordered_set>
#include <vector>

#include "entry/store_init.h"
#include "persist/data_file.h"
#include "store/change_epoch.h"
#include "store/rwlock.h"
#include "store/slab.h"
#include "util/log.h"

namespace quillmap {
namespace {

constexpr uint64_t kNodeAlign = 64;  // the smallest chunk that holds a node header is 64 bytes

struct Salvaged {
  std::string key;
  std::string value;
  uint64_t expires;
  bool is_address;
};

// The node at `off`, when it passes the checks of step 2; null otherwise.
const RbtreeNode* checked_node(const SlabPool* pool, uint64_t off, uint64_t sentinel) {
  if (off == sentinel || off < pool->data_start || off >= pool->pool_end || off % kNodeAlign != 0) return nullptr;
  const RbtreeNode* node = _lfof_<const RbtreeNode>(pool, off);
  if (!slab_allocation_in_use(pool, node) || node->is_address > 1) return nullptr;
  const uint64_t size = slab_allocation_size(pool, node);
  if (off + size > pool->pool_end || kNodeHeaderSize + node->key_len + node->value_len > size) return nullptr;
  return node;
}

}  // namespace

bool write_was_interrupted(const StateHeader* state) {
  return state != nullptr && (__atomic_load_n(&state->change_epoch, __ATOMIC_ACQUIRE) & 1) != 0 &&
         __atomic_load_n(&state->intent.op, __ATOMIC_ACQUIRE) == kIntentNone;
}

int64_t salvage_store(SlabPool* pool, int64_t data_size, SalvageReport* report) {
  *report = SalvageReport{};
  std::vector<Salvaged> kept;
  std::unordered_set<std::string> keys;
  if (pool->key_tree != 0 && pool->key_tree + sizeof(TreeRoot) <= pool->pool_end) {
    const TreeRoot* tree = _lfof_<const TreeRoot>(pool, pool->key_tree);
    const uint64_t sentinel = tree->sentinel;
    std::vector<uint64_t> pending = {tree->root};
    if (StateHeader* state = published_state(); state != nullptr) {
      for (uint64_t off : state->intent.aux) pending.push_back(off);  // what the dying worker was relinking
    }
    // A deletion may leave the only link to a spliced node in the sentinel, whose links it uses as
    // scratch; the sentinel itself is no entry.
    if (sentinel >= pool->data_start && sentinel + sizeof(RbtreeNode) <= pool->pool_end && sentinel % 8 == 0) {
      const RbtreeNode* s = _lfof_<const RbtreeNode>(pool, sentinel);
      for (uint64_t link : {s->left, s->right, s->parent}) pending.push_back(link);
    }
    std::unordered_set<uint64_t> seen;
    // Each node is visited once; the pool cannot hold more nodes than 64-byte chunks.
    const uint64_t bound = (pool->pool_end - pool->data_start) / kNodeAlign;
    while (!pending.empty() && seen.size() < bound) {
      const uint64_t off = pending.back();
      pending.pop_back();
      if (!seen.insert(off).second) continue;
      const RbtreeNode* node = checked_node(pool, off, sentinel);
      if (node == nullptr) {
        if (off != sentinel && off != 0) ++report->dropped;
        continue;
      }
      for (uint64_t link : {node->left, node->right, node->parent}) pending.push_back(link);
      const char* key = reinterpret_cast<const char*>(node_key(node));
      Salvaged s{std::string(key, node->key_len), std::string(reinterpret_cast<const char*>(node_value(node)), node->value_len),
                 node->expires, node->is_address != 0};
      if (!keys.insert(s.key).second) {
        ++report->dropped;
        continue;
      }
      kept.push_back(std::move(s));
    }
  }
  const int64_t rc = _lay_out_store(pool, data_size);
  if (rc != kDone) return rc;
  if (rwlock_wlock(&pool->lock) != kDone) return kLockTimeout;
  for (const Salvaged& s : kept) {
    if (load_key_locked(pool, s.key.data(), s.key.size(), s.value.data(), s.value.size(), s.expires, s.is_address) == kDone) {
      ++report->kept;
    } else {
      ++report->dropped;
    }
  }
  rwlock_unlock(&pool->lock);
  log_msg(kLogCrit, "The previous worker died during a change; the store was rebuilt from %ld entries (%ld records dropped)",
          static_cast<long>(report->kept), static_cast<long>(report->dropped));
  return kDone;
}

}  // namespace quillmap
