// Lookups of string keys straight from the segment, 1M keys: the reader's one-shot get (a read share
// per lookup, value copied into a caller's buffer) and guarded get (one share for 64 lookups, values
// as views), against the same keys and values in an LMDB environment read with mdb_get (a read
// transaction per lookup, and one per 64 lookups). The LMDB part is built only where its library is
// installed.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "client/reader/quillmap_reader.hpp"
#include "client/reader/reader_test_support.h"
#include "entry/key_ops.h"
#include "store/rbtree.h"
#include "store/rwlock.h"

#if QUILLMAP_BENCH_LMDB
#include <lmdb.h>
#endif

namespace quillmap {
namespace {

constexpr int kKeys = 1000000;
constexpr int kBatch = 64;

struct Data {
  std::vector<std::string> keys, values;
  std::vector<uint32_t> order;  // random lookup order
};

const Data& data() {
  static const Data d = [] {
    Data d;
    std::mt19937 rng(42);
    for (int i = 0; i < kKeys; ++i) {
      d.keys.push_back("user:" + std::to_string(rng()) + ":" + std::to_string(i));
      d.values.push_back("value-" + std::to_string(i) + "-" + std::string(rng() % 24, 'x'));
    }
    for (int i = 0; i < 1 << 20; ++i) d.order.push_back(static_cast<uint32_t>(rng() % kKeys));
    return d;
  }();
  return d;
}

struct QuillmapSide {
  testing::KeyedStore store{512 << 20};
  Reader reader;
  QuillmapSide() {
    const Data& d = data();
    for (int i = 0; i < kKeys; ++i) {
      if (add_key(store.pool(), d.keys[i].data(), d.keys[i].size(), d.values[i].data(), d.values[i].size(), 0) != kDone) {
        std::abort();
      }
    }
    // The segment is marked for removal as soon as the reader is attached (gone with the process),
    // which the reader's periodic liveness check would take for a stopped daemon: no periodic check.
    ReaderOptions options;
    options.check_interval_ms = -1;
    if (Reader::open(store.data_path(), &reader, options) != ReadStatus::kOk) std::abort();
  }
};

QuillmapSide& quillmap_side() {
  static QuillmapSide* side = new QuillmapSide;  // kept to the end of the process
  static bool marked = [] {
    // The reader is attached: the key's path and the segment's name are no longer needed.
    shmctl(side->store.id(), IPC_RMID, nullptr);
    unlink(side->store.data_path().c_str());
    rmdir(side->store.dir().c_str());
    return true;
  }();
  (void)marked;
  return *side;
}

void BM_ReaderGetOneShot(benchmark::State& state) {
  QuillmapSide& q = quillmap_side();
  const Data& d = data();
  char buf[128];
  EntryInfo info;
  size_t i = 0;
  for (auto _ : state) {
    const std::string& k = d.keys[d.order[i++ & (d.order.size() - 1)]];
    if (q.reader.get(k, buf, sizeof buf, &info) != ReadStatus::kOk) state.SkipWithError("lookup failed");
    benchmark::DoNotOptimize(buf);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReaderGetOneShot);

void BM_ReaderGetGuarded(benchmark::State& state) {
  QuillmapSide& q = quillmap_side();
  const Data& d = data();
  size_t i = 0;
  for (auto _ : state) {
    ReadGuard guard(q.reader);
    for (int j = 0; j < kBatch; ++j) {
      EntryView e;
      if (guard.get(d.keys[d.order[i++ & (d.order.size() - 1)]], &e) != ReadStatus::kOk) state.SkipWithError("lookup failed");
      benchmark::DoNotOptimize(e.value.data());
    }
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_ReaderGetGuarded);

// The daemon's own lookup (no checks) under one read share per 64 lookups: the cost of the checks.
void BM_UncheckedGetGuarded(benchmark::State& state) {
  QuillmapSide& q = quillmap_side();
  const Data& d = data();
  SlabPool* pool = q.store.pool();
  size_t i = 0;
  for (auto _ : state) {
    if (rwlock_rlock(&pool->lock) != kDone) std::abort();
    for (int j = 0; j < kBatch; ++j) {
      const std::string& k = d.keys[d.order[i++ & (d.order.size() - 1)]];
      benchmark::DoNotOptimize(rbtree_get(pool, key_tree_of(pool), k.data(), k.size()));
    }
    rwlock_read_unlock(&pool->lock);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_UncheckedGetGuarded);

#if QUILLMAP_BENCH_LMDB

struct LmdbSide {
  MDB_env* env = nullptr;
  MDB_dbi dbi = 0;
  std::string dir;
  LmdbSide() {
    char tmpl[] = "/tmp/quillmap-lmdb-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) std::abort();
    dir = tmpl;
    const Data& d = data();
    MDB_txn* txn;
    if (mdb_env_create(&env) != 0 || mdb_env_set_mapsize(env, size_t{1} << 30) != 0 ||
        mdb_env_open(env, dir.c_str(), MDB_NOSYNC, 0600) != 0 || mdb_txn_begin(env, nullptr, 0, &txn) != 0 ||
        mdb_dbi_open(txn, nullptr, 0, &dbi) != 0) {
      std::abort();
    }
    for (int i = 0; i < kKeys; ++i) {
      MDB_val k{d.keys[i].size(), const_cast<char*>(d.keys[i].data())};
      MDB_val v{d.values[i].size(), const_cast<char*>(d.values[i].data())};
      if (mdb_put(txn, dbi, &k, &v, 0) != 0) std::abort();
    }
    if (mdb_txn_commit(txn) != 0) std::abort();
  }
  ~LmdbSide() {
    mdb_env_close(env);
    std::system(("rm -rf " + dir).c_str());
  }
};

LmdbSide& lmdb_side() {
  static LmdbSide side;
  return side;
}

void BM_LmdbGetOneShot(benchmark::State& state) {
  LmdbSide& l = lmdb_side();
  const Data& d = data();
  char buf[128];
  MDB_txn* txn;
  if (mdb_txn_begin(l.env, nullptr, MDB_RDONLY, &txn) != 0) std::abort();
  mdb_txn_reset(txn);
  size_t i = 0;
  for (auto _ : state) {
    const std::string& key = d.keys[d.order[i++ & (d.order.size() - 1)]];
    MDB_val k{key.size(), const_cast<char*>(key.data())}, v;
    mdb_txn_renew(txn);
    if (mdb_get(txn, l.dbi, &k, &v) != 0 || v.mv_size > sizeof buf) state.SkipWithError("lookup failed");
    std::memcpy(buf, v.mv_data, v.mv_size);  // as the reader's one-shot call copies
    mdb_txn_reset(txn);
    benchmark::DoNotOptimize(buf);
  }
  mdb_txn_abort(txn);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LmdbGetOneShot);

void BM_LmdbGetInTxn(benchmark::State& state) {
  LmdbSide& l = lmdb_side();
  const Data& d = data();
  size_t i = 0;
  for (auto _ : state) {
    MDB_txn* txn;
    if (mdb_txn_begin(l.env, nullptr, MDB_RDONLY, &txn) != 0) std::abort();
    for (int j = 0; j < kBatch; ++j) {
      const std::string& key = d.keys[d.order[i++ & (d.order.size() - 1)]];
      MDB_val k{key.size(), const_cast<char*>(key.data())}, v;
      if (mdb_get(txn, l.dbi, &k, &v) != 0) state.SkipWithError("lookup failed");
      benchmark::DoNotOptimize(v.mv_data);
    }
    mdb_txn_abort(txn);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_LmdbGetInTxn);

#endif

}  // namespace
}  // namespace quillmap
