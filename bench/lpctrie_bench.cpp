// Prefix trie rates: longest-prefix lookups on tables shaped like real routing tables (IPv4 mostly
// /24, then /22-/23, /16-/21, few shorter; IPv6 mostly /32-/48), for random and for repeated
// addresses; insert and delete rates.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "lpctrie/lpctrie.h"
#include "lpctrie/testing/trie_api.h"
#include "store/testing/pool_fixture.h"

namespace quillmap {
namespace {

using testing::prefix_mask;
using testing::TrieApi;

template <class Traits>
struct Prefix {
  typename Traits::Key key;
  unsigned len;
};

unsigned table_length32(std::mt19937_64& rng) {
  unsigned r = rng() % 100;
  if (r < 60) return 24;
  if (r < 80) return 22 + rng() % 2;
  if (r < 97) return 16 + rng() % 6;
  return 8 + rng() % 8;
}

unsigned table_length128(std::mt19937_64& rng) {
  unsigned r = rng() % 100;
  if (r < 35) return 48;
  if (r < 50) return 32;
  if (r < 75) return 33 + rng() % 15;
  if (r < 92) return 49 + rng() % 16;
  return 16 + rng() % 16;
}

template <class Traits>
typename Traits::Key random_address(std::mt19937_64& rng) {
  if constexpr (Traits::kKeyLength == 32) {
    return static_cast<uint32_t>(0x01000000u + rng() % (0xE0000000u - 0x01000000u));  // 1.0.0.0 - 223.255.255.255
  } else {
    return Trie128Traits::make(rng(), (rng() >> 3) | 0x2000000000000000u);  // 2000::/3
  }
}

template <class Traits>
std::vector<Prefix<Traits>> make_table(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<Prefix<Traits>> table;
  table.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    unsigned len = Traits::kKeyLength == 32 ? table_length32(rng) : table_length128(rng);
    table.push_back({random_address<Traits>(rng) & prefix_mask<Traits>(len), len});
  }
  return table;
}

// Room for a table of n prefixes, with plenty to spare.
int64_t pool_bytes(size_t n) { return static_cast<int64_t>(16 << 20) + static_cast<int64_t>(n) * 320; }

// A pool holding one trie with the table loaded.
template <class Traits>
struct LoadedTrie {
  using Api = TrieApi<Traits>;
  explicit LoadedTrie(const std::vector<Prefix<Traits>>& table) : fixture(pool_bytes(table.size())) {
    root = Api::create(fixture.pool());
    for (size_t i = 0; i < table.size(); ++i)
      Api::insert(fixture.pool(), root, table[i].key, prefix_mask<Traits>(table[i].len), i);
  }
  testing::PoolFixture fixture;
  LpcNode<Traits>* root;
};

// Addresses to look up: half inside stored prefixes, half anywhere in the address space.
template <class Traits>
std::vector<typename Traits::Key> lookup_addresses(const std::vector<Prefix<Traits>>& table, size_t n) {
  std::mt19937_64 rng(99);
  std::vector<typename Traits::Key> out;
  for (size_t i = 0; i < n; ++i) {
    auto a = random_address<Traits>(rng);
    if (i % 2 == 0) {
      const auto& p = table[rng() % table.size()];
      a = p.key | (a & static_cast<typename Traits::Key>(~prefix_mask<Traits>(p.len)));
    }
    out.push_back(a);
  }
  return out;
}

template <class Traits>
void BM_Find(benchmark::State& state, bool repeated) {
  // Google Benchmark calls this several times per argument: load each table once.
  struct Loaded {
    std::vector<Prefix<Traits>> table;
    std::unique_ptr<LoadedTrie<Traits>> trie;
  };
  static std::map<int64_t, Loaded> loaded;
  Loaded& entry = loaded[state.range(0)];
  if (!entry.trie) {
    entry.table = make_table<Traits>(static_cast<size_t>(state.range(0)), 1);
    entry.trie = std::make_unique<LoadedTrie<Traits>>(entry.table);
  }
  LoadedTrie<Traits>& trie = *entry.trie;
  auto addresses = lookup_addresses<Traits>(entry.table, repeated ? 16 : 1 << 20);
  size_t i = 0, found = 0;
  for (auto _ : state) {
    uint64_t v = TrieApi<Traits>::find(trie.fixture.pool(), trie.root, addresses[i]);
    found += v != kLpcNotFound;
    benchmark::DoNotOptimize(v);
    if (++i == addresses.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["found%"] = 100.0 * static_cast<double>(found) / static_cast<double>(state.iterations());
}

void BM_Find32Random(benchmark::State& s) { BM_Find<Trie32Traits>(s, false); }
void BM_Find32Repeated(benchmark::State& s) { BM_Find<Trie32Traits>(s, true); }
void BM_Find128Random(benchmark::State& s) { BM_Find<Trie128Traits>(s, false); }
void BM_Find128Repeated(benchmark::State& s) { BM_Find<Trie128Traits>(s, true); }
BENCHMARK(BM_Find32Random)->Arg(100000)->Arg(500000);
BENCHMARK(BM_Find32Repeated)->Arg(100000)->Arg(500000);
BENCHMARK(BM_Find128Random)->Arg(100000);
BENCHMARK(BM_Find128Repeated)->Arg(100000);

// Inserts the table into an empty trie, one prefix per iteration; a full trie is emptied untimed.
template <class Traits>
void BM_Insert(benchmark::State& state) {
  using Api = TrieApi<Traits>;
  auto table = make_table<Traits>(static_cast<size_t>(state.range(0)), 2);
  testing::PoolFixture fixture(pool_bytes(table.size()));
  auto* root = Api::create(fixture.pool());
  size_t i = 0;
  for (auto _ : state) {
    Api::insert(fixture.pool(), root, table[i].key, prefix_mask<Traits>(table[i].len), i);
    if (++i == table.size()) {
      state.PauseTiming();
      for (const auto& p : table) Api::remove(fixture.pool(), root, p.key, prefix_mask<Traits>(p.len));
      i = 0;
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
}

// Deletes the table from a loaded trie in random order, one prefix per iteration; reloaded untimed.
template <class Traits>
void BM_Delete(benchmark::State& state) {
  using Api = TrieApi<Traits>;
  auto table = make_table<Traits>(static_cast<size_t>(state.range(0)), 3);
  std::shuffle(table.begin() + 1, table.end(), std::mt19937_64(4));
  testing::PoolFixture fixture(pool_bytes(table.size()));
  auto* root = Api::create(fixture.pool());
  auto load = [&] {
    for (size_t j = 0; j < table.size(); ++j)
      Api::insert(fixture.pool(), root, table[j].key, prefix_mask<Traits>(table[j].len), j);
  };
  load();
  size_t i = 0;
  for (auto _ : state) {
    Api::remove(fixture.pool(), root, table[i].key, prefix_mask<Traits>(table[i].len));
    if (++i == table.size()) {
      state.PauseTiming();
      load();
      i = 0;
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Insert32(benchmark::State& s) { BM_Insert<Trie32Traits>(s); }
void BM_Delete32(benchmark::State& s) { BM_Delete<Trie32Traits>(s); }
void BM_Insert128(benchmark::State& s) { BM_Insert<Trie128Traits>(s); }
void BM_Delete128(benchmark::State& s) { BM_Delete<Trie128Traits>(s); }
BENCHMARK(BM_Insert32)->Arg(100000);
BENCHMARK(BM_Delete32)->Arg(100000);
BENCHMARK(BM_Insert128)->Arg(100000);
BENCHMARK(BM_Delete128)->Arg(100000);

}  // namespace
}  // namespace quillmap
