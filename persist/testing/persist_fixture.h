// Test support for the data file: a private store with its key tree and both tries, a scratch
// directory, and a snapshot of the dictionary for comparisons (the log is captured with
// store/testing/log_capture.h).
#pragma once

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "lpctrie/cidr.h"
#include "lpctrie/lpctrie.h"
#include "persist/data_file.h"
#include "store/rbtree.h"
#include "store/rwlock.h"
#include "store/segment_view.h"
#include "store/testing/log_capture.h"
#include "store/testing/pool_fixture.h"

namespace quillmap::testing {

// What one entry holds, as compared after a dump and a load.
struct EntryImage {
  std::string value;
  uint64_t expires = 0;
  bool is_address = false;
  bool operator==(const EntryImage&) const = default;
};
using DictImage = std::map<std::string, EntryImage>;

// A store laid out afresh, as the daemon's first worker leaves it (key tree and both tries).
class PersistStore {
 public:
  explicit PersistStore(int64_t data_size = 64 << 20) : fixture_(data_size) {
    SlabPool* p = pool();
    if (rwlock_wlock(&p->lock) != 0) abort();
    LpcNode32* t4 = lpctrie32_create(p);
    LpcNode128* t6 = lpctrie128_create(p);
    if (t4 == nullptr || t6 == nullptr) abort();
    p->trie4 = offset_of_record(p, t4);
    p->trie6 = offset_of_record(p, t6);
    rwlock_unlock(&p->lock);
  }
  SlabPool* pool() const { return fixture_.pool(); }

  // Stores one entry the way the loader does (write lock taken here).
  int64_t put(const std::string& key, const std::string& value, uint64_t expires, bool is_address) {
    if (rwlock_wlock(&pool()->lock) != 0) return -3;
    int64_t r = load_key_locked(pool(), key.data(), key.size(), value.data(), value.size(), expires, is_address);
    rwlock_unlock(&pool()->lock);
    return r;
  }

  // Every entry of the key tree.
  DictImage image() const {
    DictImage out;
    TrustedView view(pool());
    rbtree_walk_inorder(view, key_tree_of(pool()), [&](const RbtreeNode* n, const uint8_t* key) {
      EntryImage e{std::string(reinterpret_cast<const char*>(key) + n->key_len, n->value_len), n->expires,
                   n->is_address != 0};
      out.emplace(std::string(reinterpret_cast<const char*>(key), n->key_len), e);
      return true;
    });
    return out;
  }

  // The key-tree offset the trie of the address's family maps `addr` to (all ones when none).
  uint64_t trie_lookup(const std::string& addr) const {
    Cidr c{};
    if (str_to_cidr(addr.data(), addr.size(), &c) == -1) return ~uint64_t{0};
    SlabPool* p = pool();
    if (c.family == kFamilyInet) return lpctrie32_find(p, _lfof_<LpcNode32>(p, p->trie4), ntohl(c.addr4));
    unsigned __int128 a = s6addr_to_uint128(c.addr6);
    return lpctrie128_find(p, _lfof_<LpcNode128>(p, p->trie6), static_cast<uint64_t>(a),
                           static_cast<uint64_t>(a >> 64));
  }

  // The key of the entry at `off`, or "" for an offset that names no entry.
  std::string key_at(uint64_t off) const {
    if (off == ~uint64_t{0}) return "";
    const RbtreeNode* n = _lfof_<const RbtreeNode>(pool(), off);
    return std::string(reinterpret_cast<const char*>(node_key(n)), n->key_len);
  }

 private:
  PoolFixture fixture_;
};

// A directory under /tmp removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/quillmap-persist-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) abort();
    path_ = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

}  // namespace quillmap::testing
