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

// An entry kept in process memory until the whole file has been read.
struct ParsedEntry {
  std::string key;
  std::string value;
  uint64_t expires;
  bool is_address;
};

// Reads the whole file into `out`. Count, or -1 (logged) when it cannot be opened, does not parse or
// memory runs out.
int64_t parse_whole_file(const FileLocation& file, time_t now, std::vector<ParsedEntry>& out) {
  try {
    return read_data_file(file, now, [&](const DataFileEntry& e) -> int64_t {
      out.push_back(ParsedEntry{std::string(e.key, e.key_len), std::string(e.value, e.value_len), e.expires,
                                e.is_address});
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
  std::vector<ParsedEntry> entries;
  if (parse_whole_file(file, time(nullptr), entries) < 0) return kFailed;

  if (rbtree_purge(pool, delete_ipaddr_by_node_locked) != kDone) return kFailed;
  int64_t stored = 0;
  for (const ParsedEntry& p : entries) {
    DataFileEntry e{p.key.data(), p.key.size(), p.value.data(), p.value.size(), p.expires, p.is_address};
    if (store_under_own_write_hold(pool, e, "load_data") != kDone) return kLockTimeout;
    ++stored;
  }
  return stored;
}

}  // namespace quillmap
