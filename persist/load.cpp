// The load: entries read from the data file (data_file_reader.h) stored into the dictionary.

#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "entry/entry_text.h"
#include "entry/ipaddr_ops.h"
#include "entry/key_ops.h"
#include "lpctrie/cidr.h"
#include "persist/data_file.h"
#include "persist/data_file_reader.h"
#include "store/rbtree.h"
#include "store/rwlock.h"
#include "store/slab.h"
#include "store/sweeps.h"
#include "util/log.h"

namespace quillmap {
namespace {

// Stores one entry under a write hold of its own. 0, or -3 after ERROR "<who>: could not get write
// lock". The entry's own result is not examined: it counts as handed to the store either way.
int64_t store_under_own_write_hold(SlabPool* pool, const DataFileEntry& e, const char* who) {
  if (rwlock_wlock(&pool->lock) != kDone) {
    log_msg(kLogError, "%s: could not get write lock", who);
    return kLockTimeout;
  }
  load_key_locked(pool, e.key, e.key_len, e.value, e.value_len, e.expires, e.is_address);
  if (rwlock_unlock(&pool->lock) != kDone) log_msg(kLogWarn, "%s: could not remove write lock", who);
  return kDone;
}

// The entries of a whole file, kept in process memory until it has been read: their texts side by
// side in blocks of about 1 MiB (a block never moves once written, and an entry takes no allocation
// of its own), their other fields in a vector.
class ParsedEntries {
 public:
  void add(const DataFileEntry& e) {
    const size_t need = e.key_len + e.value_len;
    if (blocks_.empty() || blocks_.back().capacity() - blocks_.back().size() < need) {
      blocks_.emplace_back();
      blocks_.back().reserve(need > kBlockBytes ? need : kBlockBytes);
    }
    std::string& block = blocks_.back();
    entries_.push_back(Parsed{blocks_.size() - 1, block.size(), e.key_len, e.value_len, e.expires, e.is_address});
    block.append(e.key, e.key_len);
    block.append(e.value, e.value_len);
  }

  // Hands every entry to `store` in file order; stops at its first result other than 0.
  template <class Store>
  int64_t each(Store&& store) const {
    for (const Parsed& p : entries_) {
      const char* text = blocks_[p.block].data() + p.offset;
      DataFileEntry e{text, p.key_len, text + p.key_len, p.value_len, p.expires, p.is_address};
      if (int64_t r = store(e); r != kDone) return r;
    }
    return kDone;
  }

 private:
  static constexpr size_t kBlockBytes = size_t{1} << 20;
  struct Parsed {
    size_t block;
    size_t offset;
    uint64_t key_len;
    uint64_t value_len;
    uint64_t expires;
    bool is_address;
  };
  std::vector<std::string> blocks_;
  std::vector<Parsed> entries_;
};

// Reads the whole file into `out`. Count, or -1 (logged) when it cannot be opened, does not parse or
// memory runs out.
int64_t parse_whole_file(const FileLocation& file, time_t now, ParsedEntries& out) {
  try {
    return read_data_file(file, now, [&](const DataFileEntry& e) -> int64_t {
      out.add(e);
      return kDone;
    });
  } catch (const std::bad_alloc&) {
    log_msg(kLogError, "Could not load %s: out of memory", file.shown.c_str());
    return kFailed;
  }
}

}  // namespace

int64_t load_key_locked(SlabPool* pool, const char* key, uint64_t key_len, const char* value,
                        uint64_t value_len, uint64_t expires, bool is_address) {
  if (key_len > kMaxKeyLength || value_len > kMaxValueLength) return kFailed;
  TreeRoot* tree = key_tree_of(pool);
  // The tree holds one entry per key, and an entry already there is newer than the file (a restarted
  // worker loads on top of the store its predecessor left).
  if (rbtree_get(pool, tree, key, key_len) != nullptr) {
    log_msg(kLogDebug, "%s %.*s is already present and was not loaded", is_address ? "Address" : "Key",
            static_cast<int>(key_len), key);
    return kNothingToDo;
  }
  // An address entry is parsed before it is stored: an entry flagged as address whose key is not
  // one could never be removed from its trie again.
  Cidr cidr{};
  if (is_address) {
    if (parse_address_key(key, key_len, &cidr) != kDone) {
      log_msg(kLogWarn, "Address %.*s was not loaded as it is not a valid address", static_cast<int>(key_len), key);
      return kFailed;
    }
  }
  RbtreeNode* node = nullptr;
  if (insert_key_locked(pool, key, key_len, value, value_len, expires, is_address ? 1 : 0, &node) != kDone ||
      node == nullptr) {
    return kFailed;
  }
  if (!is_address) return kDone;
  if (add_cidr_locked(pool, &cidr, offset_of_record(pool, node)) != kDone) {
    log_msg(kLogWarn, "Could not allocate memory for %.*s in lpctrie", static_cast<int>(key_len), key);
    rbtree_delete(pool, tree, node);
    slab_free_locked(pool, node);
    return kFailed;
  }
  return kDone;
}

int64_t load_data(SlabPool* pool, const char* path) {
  if (path == nullptr) return kFailed;
  return read_data_file(path, time(nullptr), [pool](const DataFileEntry& e) {
    return store_under_own_write_hold(pool, e, "load_data");
  });
}

int64_t load_replacing(SlabPool* pool, const FileLocation& file) {
  ParsedEntries entries;
  if (parse_whole_file(file, time(nullptr), entries) < 0) return kFailed;

  if (rbtree_purge(pool, delete_ipaddr_by_node_locked) != kDone) return kFailed;
  int64_t stored = 0;
  const int64_t r = entries.each([&](const DataFileEntry& e) {
    if (store_under_own_write_hold(pool, e, "load_data") != kDone) return kLockTimeout;
    ++stored;
    return kDone;
  });
  return r == kDone ? stored : r;
}

}  // namespace quillmap
