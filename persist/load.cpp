// The load: entries read from the data file (data_file_reader.h) stored into the dictionary.

#include <cstring>
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

// Stores one entry, the caller holding the write lock; load_key_locked's results. With
// `check_present`, an entry whose key the store holds already is left as it is, with a DEBUG line.
// Without, the caller knows that the store was empty when the load began, so that only a key the
// file names twice can be present: the insertion itself then refuses it (WARN "Could not add key
// %.*s because key exists"), and the key tree is searched once per entry instead of twice.
int64_t store_entry_locked(SlabPool* pool, const DataFileEntry& e, bool check_present) {
  const char* key = e.key;
  const uint64_t key_len = e.key_len;
  if (key_len > kMaxKeyLength || e.value_len > kMaxValueLength) return kFailed;
  TreeRoot* tree = key_tree_of(pool);
  // The tree holds one entry per key, and an entry already there is newer than the file (a restarted
  // worker loads on top of the store its predecessor left).
  if (check_present && rbtree_get(pool, tree, key, key_len) != nullptr) {
    log_msg(kLogDebug, "%s %.*s is already present and was not loaded", e.is_address ? "Address" : "Key",
            static_cast<int>(key_len), key);
    return kNothingToDo;
  }
  // An address entry is parsed before it is stored: an entry flagged as address whose key is not
  // one could never be removed from its trie again.
  Cidr cidr{};
  if (e.is_address) {
    if (parse_address_key(key, key_len, &cidr) != kDone) {
      log_msg(kLogWarn, "Address %.*s was not loaded as it is not a valid address", static_cast<int>(key_len), key);
      return kFailed;
    }
  }
  RbtreeNode* node = nullptr;
  const int64_t rc = insert_key_locked(pool, key, key_len, e.value, e.value_len, e.expires, e.is_address ? 1 : 0, &node);
  if (rc == kNothingToDo) return kNothingToDo;
  if (rc != kDone || node == nullptr) return kFailed;
  if (!e.is_address) return kDone;
  if (add_cidr_locked(pool, &cidr, offset_of_record(pool, node)) != kDone) {
    log_msg(kLogWarn, "Could not allocate memory for %.*s in lpctrie", static_cast<int>(key_len), key);
    rbtree_delete(pool, tree, node);
    slab_free_locked(pool, node);
    return kFailed;
  }
  return kDone;
}

// Stores the entries of one load, each under a write hold of its own. The first hold finds out
// whether the store is empty (then no entry needs the search for a present key). store() is 0, or
// -3 after ERROR "<who>: could not get write lock". An entry's own result is not examined: it
// counts as handed to the store either way.
class EntryStorer {
 public:
  EntryStorer(SlabPool* pool, const char* who) : pool_(pool), who_(who) {}

  int64_t store(const DataFileEntry& e) {
    if (rwlock_wlock(&pool_->lock) != kDone) {
      log_msg(kLogError, "%s: could not get write lock", who_);
      return kLockTimeout;
    }
    if (first_) {
      const TreeRoot* tree = key_tree_of(pool_);
      check_present_ = tree->root != tree->sentinel;
      first_ = false;
    }
    store_entry_locked(pool_, e, check_present_);
    if (rwlock_unlock(&pool_->lock) != kDone) log_msg(kLogWarn, "%s: could not remove write lock", who_);
    return kDone;
  }

 private:
  SlabPool* pool_;
  const char* who_;
  bool first_ = true;
  bool check_present_ = true;
};

// The entries of a whole file, kept in process memory until it has been read: each entry's fields
// and texts one after the other in blocks of about 1 MiB (a block never moves once written, and an
// entry takes no allocation of its own).
class ParsedEntries {
 public:
  void add(const DataFileEntry& e) {
    const Fields f{e.key_len, e.value_len, e.expires, e.is_address};
    const size_t need = sizeof f + e.key_len + e.value_len;
    if (blocks_.empty() || blocks_.back().capacity() - blocks_.back().size() < need) {
      blocks_.emplace_back();
      blocks_.back().reserve(need > kBlockBytes ? need : kBlockBytes);
    }
    std::string& block = blocks_.back();
    block.append(reinterpret_cast<const char*>(&f), sizeof f);
    block.append(e.key, e.key_len);
    block.append(e.value, e.value_len);
  }

  // Hands every entry to `store` in file order; stops at its first result other than 0.
  template <class Store>
  int64_t each(Store&& store) const {
    for (const std::string& block : blocks_) {
      for (size_t at = 0; at < block.size();) {
        Fields f;
        std::memcpy(&f, block.data() + at, sizeof f);
        const char* key = block.data() + at + sizeof f;
        DataFileEntry e{key, f.key_len, key + f.key_len, f.value_len, f.expires, f.is_address};
        if (int64_t r = store(e); r != kDone) return r;
        at += sizeof f + f.key_len + f.value_len;
      }
    }
    return kDone;
  }

 private:
  static constexpr size_t kBlockBytes = size_t{1} << 20;
  struct Fields {
    uint64_t key_len;
    uint64_t value_len;
    uint64_t expires;
    bool is_address;
  };
  std::vector<std::string> blocks_;
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
  return store_entry_locked(pool, DataFileEntry{key, key_len, value, value_len, expires, is_address}, true);
}

int64_t load_data(SlabPool* pool, const char* path) {
  if (path == nullptr) return kFailed;
  EntryStorer storer(pool, "load_data");
  return read_data_file(path, time(nullptr), [&storer](const DataFileEntry& e) { return storer.store(e); });
}

int64_t load_replacing(SlabPool* pool, const FileLocation& file) {
  ParsedEntries entries;
  if (parse_whole_file(file, time(nullptr), entries) < 0) return kFailed;

  if (rbtree_purge(pool, delete_ipaddr_by_node_locked) != kDone) return kFailed;
  EntryStorer storer(pool, "load_data");
  int64_t stored = 0;
  const int64_t r = entries.each([&](const DataFileEntry& e) {
    if (storer.store(e) != kDone) return kLockTimeout;
    ++stored;
    return kDone;
  });
  return r == kDone ? stored : r;
}

}  // namespace quillmap
