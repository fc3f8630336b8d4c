// Lookups of string keys straight from the segment, 1M keys: the reader's one-shot get (through the
// index without a share, value copied into a caller's buffer), guarded get (one share for 64 lookups,
// values as views) and get_many (64 keys a call, values copied), each also with the index given up
// (the plain walk, as with index=0), against the same keys and values in an LMDB environment read with mdb_get (a read
// transaction per lookup, and one per 64 lookups). The LMDB part is built only where its library is
// installed.
#include <benchmark/benchmark.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "client/reader/quillmap_reader.hpp"
#include "client/reader/testing/keyed_store.h"
#include "entry/key_ops.h"
#include "index/index_layout.h"
#include "store/rbtree.h"
#include "store/rwlock.h"

#if QUILLMAP_BENCH_LMDB
#include <lmdb.h>
#endif

namespace quillmap {
namespace {

constexpr int kKeys = 1000000;
constexpr int kBatch = 64;

// 1M keys of 16 bytes with values of 32 bytes. The keys to look up, in random order, lie one after
// the other in `stream`, as a caller's batch would: both sides read them alike, so the figures are
// those of the lookups, not of fetching the keys from a million scattered strings.
constexpr size_t kKeyBytes = 16;
constexpr size_t kStreamKeys = 1 << 20;

struct Data {
  std::vector<std::string> keys, values;
  std::vector<char> stream;  // kStreamKeys keys of kKeyBytes

  std::string_view lookup(size_t i) const {
    return std::string_view(stream.data() + (i & (kStreamKeys - 1)) * kKeyBytes, kKeyBytes);
  }
};

const Data& data() {
  static const Data d = [] {
    Data d;
    std::mt19937 rng(42);
    for (int i = 0; i < kKeys; ++i) {
      char key[kKeyBytes + 1];
      std::snprintf(key, sizeof key, "k%07x%08x", i, static_cast<unsigned>(rng()));  // distinct by i
      d.keys.emplace_back(key, kKeyBytes);
      std::string value = "value-" + std::to_string(i) + "-";
      d.values.push_back(value + std::string(32 - value.size(), 'x'));
    }
    d.stream.resize(kStreamKeys * kKeyBytes);
    for (size_t i = 0; i < kStreamKeys; ++i) std::memcpy(d.stream.data() + i * kKeyBytes, d.keys[rng() % kKeys].data(), kKeyBytes);
    return d;
  }();
  return d;
}

struct QuillmapSide {
  testing::KeyedStore store;
  Reader reader;
  explicit QuillmapSide(bool huge_pages) : store(512 << 20, 0600, true, huge_pages) {
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
    store.mark_for_removal();
    unlink(store.data_path().c_str());
    rmdir(store.dir().c_str());
  }
};

// Whether this many bytes of huge pages can be had (vm.nr_hugepages reserves them).
bool huge_pages_available(uint64_t bytes) {
  const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | SHM_HUGETLB | 0600);
  if (id < 0) return false;
  shmctl(id, IPC_RMID, nullptr);
  return true;
}

// The store in normal pages, or (huge_pages) in huge pages: null when none are reserved.
QuillmapSide* quillmap_side(bool huge_pages) {
  static QuillmapSide* normal = nullptr;  // kept to the end of the process
  static QuillmapSide* huge = nullptr;
  static bool huge_tried = false;
  if (!huge_pages) {
    if (normal == nullptr) normal = new QuillmapSide(false);
    return normal;
  }
  if (!huge_tried) {
    huge_tried = true;
    if (huge_pages_available((512u << 20) + index_segment_bytes(512 << 20) + (4u << 20))) huge = new QuillmapSide(true);
  }
  return huge;
}

#define QUILLMAP_SIDE(state, huge)                                                          \
  QuillmapSide* side = quillmap_side(huge);                                                 \
  if (side == nullptr) {                                                                    \
    state.SkipWithError("no huge pages reserved (sysctl vm.nr_hugepages=400): skipped");   \
    return;                                                                                 \
  }                                                                                         \
  QuillmapSide& q = *side

void BM_ReaderGetOneShot(benchmark::State& state, bool huge) {
  QUILLMAP_SIDE(state, huge);
  const Data& d = data();
  char buf[128];
  EntryInfo info;
  size_t i = 0;
  for (auto _ : state) {
    const std::string_view k = d.lookup(i++);
    if (q.reader.get(k, buf, sizeof buf, &info) != ReadStatus::kOk) state.SkipWithError("lookup failed");
    benchmark::DoNotOptimize(buf);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(BM_ReaderGetOneShot, normal_pages, false);
BENCHMARK_CAPTURE(BM_ReaderGetOneShot, huge_pages, true);

// The same lookups with the index given up (as with index=0): the plain walk under a read share.
void BM_ReaderGetOneShotPlainWalk(benchmark::State& state, bool huge) {
  QUILLMAP_SIDE(state, huge);
  const uint64_t valid = q.store.index()->valid;
  q.store.index()->valid = 0;
  BM_ReaderGetOneShot(state, huge);
  q.store.index()->valid = valid;
}
BENCHMARK_CAPTURE(BM_ReaderGetOneShotPlainWalk, normal_pages, false);
BENCHMARK_CAPTURE(BM_ReaderGetOneShotPlainWalk, huge_pages, true);

void BM_ReaderGetGuarded(benchmark::State& state, bool huge) {
  QUILLMAP_SIDE(state, huge);
  const Data& d = data();
  size_t i = 0;
  for (auto _ : state) {
    ReadGuard guard(q.reader);
    for (int j = 0; j < kBatch; ++j) {
      EntryView e;
      if (guard.get(d.lookup(i++), &e) != ReadStatus::kOk) state.SkipWithError("lookup failed");
      benchmark::DoNotOptimize(e.value.data());
    }
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK_CAPTURE(BM_ReaderGetGuarded, normal_pages, false);
BENCHMARK_CAPTURE(BM_ReaderGetGuarded, huge_pages, true);

void BM_ReaderGetGuardedPlainWalk(benchmark::State& state, bool huge) {
  QUILLMAP_SIDE(state, huge);
  const uint64_t valid = q.store.index()->valid;
  q.store.index()->valid = 0;
  BM_ReaderGetGuarded(state, huge);
  q.store.index()->valid = valid;
}
BENCHMARK_CAPTURE(BM_ReaderGetGuardedPlainWalk, normal_pages, false);
BENCHMARK_CAPTURE(BM_ReaderGetGuardedPlainWalk, huge_pages, true);

// Batches of 64 keys in one get_many call, values copied out.
void BM_ReaderGetMany(benchmark::State& state, bool huge) {
  QUILLMAP_SIDE(state, huge);
  const Data& d = data();
  std::string_view keys[kBatch];
  std::string values[kBatch];
  ReadStatus statuses[kBatch];
  size_t i = 0;
  for (auto _ : state) {
    for (int j = 0; j < kBatch; ++j) keys[j] = d.lookup(i++);
    if (q.reader.get_many(keys, kBatch, values, statuses) != ReadStatus::kOk || statuses[kBatch - 1] != ReadStatus::kOk) {
      state.SkipWithError("lookup failed");
    }
    benchmark::DoNotOptimize(values[0].data());
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK_CAPTURE(BM_ReaderGetMany, normal_pages, false);
BENCHMARK_CAPTURE(BM_ReaderGetMany, huge_pages, true);

void BM_ReaderGetManyPlainWalk(benchmark::State& state, bool huge) {
  QUILLMAP_SIDE(state, huge);
  const uint64_t valid = q.store.index()->valid;
  q.store.index()->valid = 0;
  BM_ReaderGetMany(state, huge);
  q.store.index()->valid = valid;
}
BENCHMARK_CAPTURE(BM_ReaderGetManyPlainWalk, normal_pages, false);
BENCHMARK_CAPTURE(BM_ReaderGetManyPlainWalk, huge_pages, true);

// The daemon's own lookup (no checks) under one read share per 64 lookups: the cost of the checks.
void BM_UncheckedGetGuarded(benchmark::State& state, bool huge) {
  QUILLMAP_SIDE(state, huge);
  const Data& d = data();
  SlabPool* pool = q.store.pool();
  size_t i = 0;
  for (auto _ : state) {
    if (rwlock_rlock(&pool->lock) != kDone) std::abort();
    for (int j = 0; j < kBatch; ++j) {
      const std::string_view k = d.lookup(i++);
      benchmark::DoNotOptimize(rbtree_get(pool, key_tree_of(pool), k.data(), k.size()));
    }
    rwlock_read_unlock(&pool->lock);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK_CAPTURE(BM_UncheckedGetGuarded, normal_pages, false);
BENCHMARK_CAPTURE(BM_UncheckedGetGuarded, huge_pages, true);

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
    const std::string_view key = d.lookup(i++);
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
      const std::string_view key = d.lookup(i++);
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
