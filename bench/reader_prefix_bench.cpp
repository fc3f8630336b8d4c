// Longest-prefix matches straight from the segment (200k IPv4 and 50k IPv6 random prefixes) for
// random addresses: the reader's one-shot match (a read share per lookup, key and value copied) and
// guarded match (one share for 64 lookups, views), against the country lookup of the GeoIP country
// databases kept in memory. The GeoIP part is built only where its library and databases exist.
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
#include "client/reader/reader_test_support.h"
#include "entry/ipaddr_ops.h"

#if QUILLMAP_BENCH_GEOIP
#include <GeoIP.h>
#endif

namespace quillmap {
namespace {

constexpr int kPrefixes4 = 200000;
constexpr int kPrefixes6 = 50000;
constexpr int kBatch = 64;
constexpr size_t kProbes = 1 << 20;

struct Probes {
  std::vector<std::array<uint8_t, 4>> v4;
  std::vector<std::array<uint8_t, 16>> v6;
};

const Probes& probes() {
  static const Probes p = [] {
    Probes p;
    std::mt19937 rng(7);
    p.v4.resize(kProbes);
    p.v6.resize(kProbes);
    for (auto& a : p.v4) {
      for (auto& b : a) b = static_cast<uint8_t>(rng());
    }
    for (auto& a : p.v6) {
      a = {0x20, static_cast<uint8_t>(0x01 + rng() % 2), static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng())};
      for (size_t i = 4; i < 16; ++i) a[i] = static_cast<uint8_t>(rng());
    }
    return p;
  }();
  return p;
}

struct QuillmapSide {
  testing::KeyedStore store{256 << 20};
  Reader reader;
  QuillmapSide() {
    std::mt19937 rng(11);
    char text[INET6_ADDRSTRLEN];
    for (int i = 0; i < kPrefixes4; ++i) {
      uint32_t a = rng();
      inet_ntop(AF_INET, &a, text, sizeof text);
      add(std::string(text) + "/" + std::to_string(8 + rng() % 17));
    }
    for (int i = 0; i < kPrefixes6; ++i) {
      std::array<uint8_t, 16> a{0x20, static_cast<uint8_t>(0x01 + rng() % 2)};
      for (size_t j = 2; j < 16; ++j) a[j] = static_cast<uint8_t>(rng());
      inet_ntop(AF_INET6, a.data(), text, sizeof text);
      add(std::string(text) + "/" + std::to_string(16 + rng() % 49));
    }
    if (Reader::open(store.data_path(), &reader) != ReadStatus::kOk) std::abort();
    shmctl(store.id(), IPC_RMID, nullptr);  // gone with the process
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
    return probes().v4;
  } else {
    return probes().v6;
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

#if QUILLMAP_BENCH_GEOIP

void BM_GeoipCountry4(benchmark::State& state) {
  GeoIP* gi = GeoIP_open(QUILLMAP_GEOIP_DIR "/GeoIP.dat", GEOIP_MEMORY_CACHE);
  if (gi == nullptr) {
    state.SkipWithError("no IPv4 country database");
    return;
  }
  const auto& list = probes().v4;
  size_t i = 0;
  for (auto _ : state) {
    uint32_t net;
    std::memcpy(&net, list[i++ & (kProbes - 1)].data(), 4);
    benchmark::DoNotOptimize(GeoIP_id_by_ipnum(gi, ntohl(net)));
  }
  state.SetItemsProcessed(state.iterations());
  GeoIP_delete(gi);
}
BENCHMARK(BM_GeoipCountry4);

void BM_GeoipCountry6(benchmark::State& state) {
  GeoIP* gi = GeoIP_open(QUILLMAP_GEOIP_DIR "/GeoIPv6.dat", GEOIP_MEMORY_CACHE);
  if (gi == nullptr) {
    state.SkipWithError("no IPv6 country database");
    return;
  }
  const auto& list = probes().v6;
  size_t i = 0;
  for (auto _ : state) {
    geoipv6_t a;
    std::memcpy(&a, list[i++ & (kProbes - 1)].data(), 16);
    benchmark::DoNotOptimize(GeoIP_id_by_ipnum_v6(gi, a));
  }
  state.SetItemsProcessed(state.iterations());
  GeoIP_delete(gi);
}
BENCHMARK(BM_GeoipCountry6);

#endif

}  // namespace
}  // namespace quillmap
