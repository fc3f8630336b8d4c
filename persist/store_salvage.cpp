#include "persist/store_salvage.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "entry/store_init.h"
#include "persist/data_file.h"
#include "store/change_epoch.h"
#include "store/rwlock.h"
#include "store/slab.h"
#include "store/rbtree.h"
#include "util/io.h"
#include "util/log.h"
#include "util/settings.h"

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

std::string salvage_path() { return std::string(settings.data_path != nullptr ? settings.data_path : "/tmp/quillmap") + ".salvage"; }

void put_u64(std::string* out, uint64_t v) { out->append(reinterpret_cast<const char*>(&v), sizeof v); }

bool get_u64(const std::string& in, size_t* at, uint64_t* v) {
  if (in.size() - *at < sizeof *v) return false;
  std::memcpy(v, in.data() + *at, sizeof *v);
  *at += sizeof *v;
  return true;
}

// The kept entries as: count, then per entry key length, value length, expiry, kind, key, value;
// then the CRC-32 of all that. Written and synced before the store is touched.
bool write_salvage_file(const std::vector<Salvaged>& kept) {
  std::string text;
  put_u64(&text, kept.size());
  for (const Salvaged& s : kept) {
    put_u64(&text, s.key.size());
    put_u64(&text, s.value.size());
    put_u64(&text, s.expires);
    put_u64(&text, s.is_address ? 1 : 0);
    text += s.key;
    text += s.value;
  }
  put_u64(&text, crc32_short(text.data(), text.size()));
  const std::string path = salvage_path();
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd || shm_writen(fd.get(), text.data(), text.size()) != static_cast<int64_t>(text.size()) || fsync(fd.get()) != 0) {
    log_msg(kLogError, "Could not write %s: %s", path.c_str(), strerror(errno));
    return false;
  }
  return true;
}

bool read_salvage_file(std::vector<Salvaged>* kept) {
  std::string text;
  UniqueFd fd(open(salvage_path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) return false;
  char buf[65536];
  for (ssize_t n; (n = read(fd.get(), buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  if (text.size() < 16) return false;
  uint64_t crc;
  std::memcpy(&crc, text.data() + text.size() - 8, 8);
  if (crc32_short(text.data(), text.size() - 8) != crc) return false;
  text.resize(text.size() - 8);
  size_t at = 0;
  uint64_t count;
  if (!get_u64(text, &at, &count)) return false;
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t kl, vl, expires, kind;
    if (!get_u64(text, &at, &kl) || !get_u64(text, &at, &vl) || !get_u64(text, &at, &expires) ||
        !get_u64(text, &at, &kind) || text.size() - at < kl || text.size() - at - kl < vl) {
      return false;
    }
    kept->push_back(Salvaged{text.substr(at, kl), text.substr(at + kl, vl), expires, kind != 0});
    at += kl + vl;
  }
  return true;
}

void sort_in_tree_order(std::vector<Salvaged>* kept) {
  std::vector<std::pair<uint32_t, Salvaged*>> order;
  order.reserve(kept->size());
  for (Salvaged& s : *kept) order.emplace_back(crc32_short(s.key.data(), s.key.size()), &s);
  std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
    if (a.first != b.first) return a.first < b.first;
    const std::string& x = a.second->key;
    return rbtree_compare_keys(reinterpret_cast<const uint8_t*>(x.data()), x.size(), b.second->key.data(),
                               b.second->key.size()) < 0;
  });
  std::vector<Salvaged> sorted;
  sorted.reserve(kept->size());
  for (auto& [crc, s] : order) sorted.push_back(std::move(*s));
  kept->swap(sorted);
}

// Collects the entries as step 1 and 2 describe.
void collect(const SlabPool* pool, std::vector<Salvaged>* kept, SalvageReport* report);

}  // namespace

bool write_was_interrupted(const StateHeader* state) {
  if (state == nullptr) return false;
  if (__atomic_load_n(&state->flags, __ATOMIC_ACQUIRE) & kStateRebuilding) return true;
  return (__atomic_load_n(&state->change_epoch, __ATOMIC_ACQUIRE) & 1) != 0 &&
         __atomic_load_n(&state->intent.op, __ATOMIC_ACQUIRE) == kIntentNone;
}

int64_t salvage_store(SlabPool* pool, int64_t data_size, SalvageReport* report) {
  *report = SalvageReport{};
  // Readers see the store as changing from the dead writer's change to the last entry stored again;
  // a rebuild that fails leaves it so, and the next worker rebuilds.
  change_begins();
  StateHeader* state = published_state();
  std::vector<Salvaged> kept;
  const bool replay = state != nullptr && (state->flags & kStateRebuilding) != 0 && read_salvage_file(&kept);
  if (!replay) {
    kept.clear();
    collect(pool, &kept, report);
    if (!write_salvage_file(kept)) return kFailed;
    if (state != nullptr) __atomic_or_fetch(&state->flags, kStateRebuilding, __ATOMIC_RELEASE);
  }
  const int64_t rc = _lay_out_store(pool, data_size);
  if (rc != kDone) return rc;
  // Stored again in key-tree order, as a load of a dump stores them, so that a prefix written under
  // two texts goes to the same owner in its trie.
  sort_in_tree_order(&kept);
  if (rwlock_wlock(&pool->lock) != kDone) return kLockTimeout;
  for (const Salvaged& s : kept) {
    if (load_key_locked(pool, s.key.data(), s.key.size(), s.value.data(), s.value.size(), s.expires, s.is_address) == kDone) {
      ++report->kept;
    } else {
      ++report->dropped;
      log_msg(kLogCrit, "The rebuild could not store %s %.*s again; it is lost", s.is_address ? "address" : "key",
              static_cast<int>(s.key.size()), s.key.data());
    }
  }
  rwlock_unlock(&pool->lock);
  if (state != nullptr) __atomic_and_fetch(&state->flags, ~kStateRebuilding, __ATOMIC_RELEASE);
  unlink(salvage_path().c_str());
  change_ends();
  log_msg(kLogCrit, "The previous worker died during a change; the store was rebuilt from %ld entries (%ld records dropped)",
          static_cast<long>(report->kept), static_cast<long>(report->dropped));
  return kDone;
}

}  // namespace quillmap

namespace quillmap {
namespace {

void collect(const SlabPool* pool, std::vector<Salvaged>* kept, SalvageReport* report) {
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
      kept->push_back(std::move(s));
    }
  }
}

}  // namespace
}  // namespace quillmap
