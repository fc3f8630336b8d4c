// Longest-prefix matches straight from the segment, against the country lookup of the GeoIP country
// databases kept in memory (built only where its library and databases exist). The tables are shaped
// like routing tables: 200k IPv4 prefixes (mostly /24, then /22-/23, /16-/21, few shorter) in
// 1.0.0.0-223.255.255.255 and 50k IPv6 prefixes (mostly /32-/48) in 2000::/3. Three probes in four
// fall inside a stored prefix (random host bits), the others are random addresses of the same range;
// the "found" counter gives the share answered. Measured: the reader's one-shot match (without a
// share: IPv4 through the index's prefix table, IPv6 by the trie walk; key and value copied; binary
// and text address), match_many
// (64 addresses a call), guarded match (one share for 64 lookups, views), the one-shot and batched
// calls with the index given up (the plain trie walk, as with index=0), and GeoIP's lookup of the
// same addresses.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "client/reader/quillmap_reader.hpp"
#include "client/reader/testing/keyed_store.h"
#include "entry/ipaddr_ops.h"
#include "lpctrie/lpctrie.h"
#include "store/rwlock.h"

#if QUILLMAP_BENCH_GEOIP
#include <GeoIP.h>
#endif

namespace quillmap {
namespace {

constexpr int kPrefixes4 = 200000;
constexpr int kPrefixes6 = 50000;
constexpr int kBatch = 64;
constexpr size_t kProbes = 1 << 20;

unsigned table_length4(std::mt19937& rng) {
  const unsigned r = rng() % 100;
  if (r < 60) return 24;
  if (r < 80) return 22 + rng() % 2;
  if (r < 97) return 16 + rng() % 6;
  return 8 + rng() % 8;
}

unsigned table_length6(std::mt19937& rng) {
  const unsigned r = rng() % 100;
  if (r < 35) return 48;
  if (r < 50) return 32;
  if (r < 75) return 33 + rng() % 15;
  if (r < 92) return 49 + rng() % 16;
  return 16 + rng() % 16;
}

std::array<uint8_t, 4> random_address4(std::mt19937& rng) {
  const uint32_t a = 0x01000000u + rng() % (0xE0000000u - 0x01000000u);
  return {static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16), static_cast<uint8_t>(a >> 8),
          static_cast<uint8_t>(a)};
}

std::array<uint8_t, 16> random_address6(std::mt19937& rng) {
  std::array<uint8_t, 16> a;
  for (auto& b : a) b = static_cast<uint8_t>(rng());
  a[0] = static_cast<uint8_t>(0x20 | (a[0] & 0x1f));
  return a;
}

// `a` with every bit from `len` on taken from `noise`.
template <size_t N>
std::array<uint8_t, N> with_host_bits(std::array<uint8_t, N> a, unsigned len, const std::array<uint8_t, N>& noise) {
  for (size_t i = 0; i < N; ++i) {
    const unsigned first = static_cast<unsigned>(i * 8);
    const uint8_t keep = len >= first + 8 ? 0xFF : len <= first ? 0 : static_cast<uint8_t>(0xFF << (first + 8 - len));
    a[i] = static_cast<uint8_t>((a[i] & keep) | (noise[i] & ~keep));
  }
  return a;
}

template <size_t N>
struct Prefix {
  std::array<uint8_t, N> addr;
  unsigned len;
};

struct Tables {
  std::vector<Prefix<4>> v4;
  std::vector<Prefix<16>> v6;
  std::vector<std::array<uint8_t, 4>> probes4;
  std::vector<std::array<uint8_t, 16>> probes6;
};

const Tables& tables() {
  static const Tables t = [] {
    Tables t;
    std::mt19937 rng(11);
    for (int i = 0; i < kPrefixes4; ++i) {
      const unsigned len = table_length4(rng);
      t.v4.push_back({with_host_bits<4>(random_address4(rng), len, {}), len});
    }
    for (int i = 0; i < kPrefixes6; ++i) {
      const unsigned len = table_length6(rng);
      t.v6.push_back({with_host_bits<16>(random_address6(rng), len, {}), len});
    }
    for (size_t i = 0; i < kProbes; ++i) {
      const bool inside = rng() % 4 != 0;
      const auto& p4 = t.v4[rng() % t.v4.size()];
      const auto r4 = random_address4(rng);
      t.probes4.push_back(inside ? with_host_bits<4>(p4.addr, p4.len, r4) : r4);
      const auto& p6 = t.v6[rng() % t.v6.size()];
      const auto r6 = random_address6(rng);
      t.probes6.push_back(inside ? with_host_bits<16>(p6.addr, p6.len, r6) : r6);
    }
    return t;
  }();
  return t;
}

struct QuillmapSide {
  testing::KeyedStore store{256 << 20};
  Reader reader;
  QuillmapSide() {
    char text[INET6_ADDRSTRLEN];
    for (const auto& p : tables().v4) {
      inet_ntop(AF_INET, p.addr.data(), text, sizeof text);
      add(std::string(text) + "/" + std::to_string(p.len));
    }
    for (const auto& p : tables().v6) {
      inet_ntop(AF_INET6, p.addr.data(), text, sizeof text);
      add(std::string(text) + "/" + std::to_string(p.len));
    }
    // The segment is marked for removal as soon as the reader is attached (gone with the process),
    // which the reader's periodic liveness check would take for a stopped daemon: no periodic check.
    ReaderOptions options;
    options.check_interval_ms = -1;
    if (Reader::open(store.data_path(), &reader, options) != ReadStatus::kOk) std::abort();
    store.mark_for_removal();  // gone with the process
    unlink(store.data_path().c_str());
    rmdir(store.dir().c_str());
  }
  void add(const std::string& key) {
    const std::string value = "country of " + key;
    add_ipaddr(store.pool(), key.data(), key.size(), value.data(), value.size(), 0);  // repeats are fine
  }
};

QuillmapSide& quillmap_side() {
  static QuillmapSide* side = new QuillmapSide;  // kept to the end of the process
  return *side;
}

template <size_t N>
const std::vector<std::array<uint8_t, N>>& probe_list() {
  if constexpr (N == 4) {
    return tables().probes4;
  } else {
    return tables().probes6;
  }
}

template <size_t N>
void BM_ReaderMatchOneShot(benchmark::State& state) {
  QuillmapSide& q = quillmap_side();
  const auto& list = probe_list<N>();
  std::string key, value;
  size_t i = 0, found = 0;
  for (auto _ : state) {
    const auto& a = list[i++ & (kProbes - 1)];
    found += q.reader.match_binary(a.data(), N, &key, &value) == ReadStatus::kOk;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["found"] = benchmark::Counter(static_cast<double>(found) / static_cast<double>(state.iterations()));
}
BENCHMARK_TEMPLATE(BM_ReaderMatchOneShot, 4);
BENCHMARK_TEMPLATE(BM_ReaderMatchOneShot, 16);

// Runs `bench` with the index given up (as with index=0): the plain walk of the tries under a share.
template <void (*bench)(benchmark::State&)>
void plain_walk(benchmark::State& state) {
  QuillmapSide& q = quillmap_side();
  const uint64_t valid = q.store.index()->valid;
  q.store.index()->valid = 0;
  bench(state);
  q.store.index()->valid = valid;
}

template <size_t N>
void BM_ReaderMatchOneShotPlainWalk(benchmark::State& state) {
  plain_walk<BM_ReaderMatchOneShot<N>>(state);
}
BENCHMARK_TEMPLATE(BM_ReaderMatchOneShotPlainWalk, 4);
BENCHMARK_TEMPLATE(BM_ReaderMatchOneShotPlainWalk, 16);

// Batches of 64 addresses in one match_many call, keys and values copied out.
template <size_t N>
void BM_ReaderMatchMany(benchmark::State& state) {
  QuillmapSide& q = quillmap_side();
  const auto& list = probe_list<N>();
  std::string_view addresses[kBatch];
  std::string keys[kBatch], values[kBatch];
  ReadStatus statuses[kBatch];
  size_t i = 0, found = 0;
  for (auto _ : state) {
    for (int j = 0; j < kBatch; ++j) addresses[j] = {reinterpret_cast<const char*>(list[i++ & (kProbes - 1)].data()), N};
    if (q.reader.match_many(addresses, kBatch, keys, values, statuses) != ReadStatus::kOk) state.SkipWithError("failed");
    found += statuses[0] == ReadStatus::kOk;
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.counters["found"] = benchmark::Counter(static_cast<double>(found) / static_cast<double>(state.iterations()));
}
BENCHMARK_TEMPLATE(BM_ReaderMatchMany, 4);
BENCHMARK_TEMPLATE(BM_ReaderMatchMany, 16);

template <size_t N>
void BM_ReaderMatchManyPlainWalk(benchmark::State& state) {
  plain_walk<BM_ReaderMatchMany<N>>(state);
}
BENCHMARK_TEMPLATE(BM_ReaderMatchManyPlainWalk, 4);
BENCHMARK_TEMPLATE(BM_ReaderMatchManyPlainWalk, 16);

// The same through the address text, as the text interfaces take it.
template <size_t N>
void BM_ReaderMatchTextOneShot(benchmark::State& state) {
  QuillmapSide& q = quillmap_side();
  const auto& list = probe_list<N>();
  std::vector<std::string> texts(1 << 16);
  char text[INET6_ADDRSTRLEN];
  for (size_t j = 0; j < texts.size(); ++j) {
    inet_ntop(N == 4 ? AF_INET : AF_INET6, list[j].data(), text, sizeof text);
    texts[j] = text;
  }
  std::string key, value;
  size_t i = 0, found = 0;
  for (auto _ : state) {
    found += q.reader.match(texts[i++ & (texts.size() - 1)], &key, &value) == ReadStatus::kOk;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["found"] = benchmark::Counter(static_cast<double>(found) / static_cast<double>(state.iterations()));
}
BENCHMARK_TEMPLATE(BM_ReaderMatchTextOneShot, 4);
BENCHMARK_TEMPLATE(BM_ReaderMatchTextOneShot, 16);

template <size_t N>
void BM_ReaderMatchGuarded(benchmark::State& state) {
  QuillmapSide& q = quillmap_side();
  const auto& list = probe_list<N>();
  size_t i = 0;
  for (auto _ : state) {
    ReadGuard guard(q.reader);
    for (int j = 0; j < kBatch; ++j) {
      EntryView e;
      benchmark::DoNotOptimize(guard.match_binary(list[i++ & (kProbes - 1)].data(), N, &e));
    }
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK_TEMPLATE(BM_ReaderMatchGuarded, 4);
BENCHMARK_TEMPLATE(BM_ReaderMatchGuarded, 16);

// The daemon's own trie search (no checks, no entry fetched) on the same segment and addresses, one
// read share per 64 lookups: what the layout costs before the reader adds anything.
void BM_UncheckedTrieFind4(benchmark::State& state) {
  QuillmapSide& q = quillmap_side();
  const auto& list = tables().probes4;
  SlabPool* pool = q.store.pool();
  const auto* root = _lfof_<const LpcNode32>(pool, pool->trie4);
  size_t i = 0;
  for (auto _ : state) {
    if (rwlock_rlock(&pool->lock) != kDone) std::abort();
    for (int j = 0; j < kBatch; ++j) {
      uint32_t net;
      std::memcpy(&net, list[i++ & (kProbes - 1)].data(), 4);
      benchmark::DoNotOptimize(lpctrie32_find(pool, root, ntohl(net)));
    }
    rwlock_read_unlock(&pool->lock);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_UncheckedTrieFind4);

#if QUILLMAP_BENCH_GEOIP

void BM_GeoipCountry4(benchmark::State& state) {
  GeoIP* gi = GeoIP_open(QUILLMAP_GEOIP_DIR "/GeoIP.dat", GEOIP_MEMORY_CACHE);
  if (gi == nullptr) {
    state.SkipWithError("no IPv4 country database");
    return;
  }
  const auto& list = tables().probes4;
  size_t i = 0, found = 0;
  for (auto _ : state) {
    uint32_t net;
    std::memcpy(&net, list[i++ & (kProbes - 1)].data(), 4);
    found += GeoIP_id_by_ipnum(gi, ntohl(net)) > 0;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["found"] = benchmark::Counter(static_cast<double>(found) / static_cast<double>(state.iterations()));
  GeoIP_delete(gi);
}
BENCHMARK(BM_GeoipCountry4);

void BM_GeoipCountry6(benchmark::State& state) {
  GeoIP* gi = GeoIP_open(QUILLMAP_GEOIP_DIR "/GeoIPv6.dat", GEOIP_MEMORY_CACHE);
  if (gi == nullptr) {
    state.SkipWithError("no IPv6 country database");
    return;
  }
  const auto& list = tables().probes6;
  size_t i = 0, found = 0;
  for (auto _ : state) {
    geoipv6_t a;
    std::memcpy(&a, list[i++ & (kProbes - 1)].data(), 16);
    found += GeoIP_id_by_ipnum_v6(gi, a) > 0;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["found"] = benchmark::Counter(static_cast<double>(found) / static_cast<double>(state.iterations()));
  GeoIP_delete(gi);
}
BENCHMARK(BM_GeoipCountry6);

#endif

}  // namespace
}  // namespace quillmap
