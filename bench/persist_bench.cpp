// Dump and load times of the data file for 100k and 1M entries (90% string keys, 10% IPv4 prefixes,
// 32-byte values) in a 512 MiB private pool. The data file lives under /tmp.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "persist/data_file.h"
#include "persist/testing/persist_fixture.h"

namespace quillmap {
namespace {

using testing::PersistStore;

constexpr int64_t kPoolBytes = int64_t{512} << 20;

std::string bench_path(int64_t n) {
  return "/tmp/quillmap-persist-bench-" + std::to_string(getpid()) + "-" + std::to_string(n) + ".yaml";
}

// One filled store per size, built once and kept for the program's life.
PersistStore& filled_store(int64_t n) {
  static std::map<int64_t, std::unique_ptr<PersistStore>> stores;
  auto& slot = stores[n];
  if (!slot) {
    slot = std::make_unique<PersistStore>(kPoolBytes);
    char key[64];
    std::string value(32, 'v');
    for (int64_t i = 0; i < n; ++i) {
      bool is_address = i % 10 == 0;
      if (is_address) {
        snprintf(key, sizeof key, "%ld.%ld.%ld.0/24", (i >> 16) & 255, (i >> 8) & 255, i & 255);
      } else {
        snprintf(key, sizeof key, "key-%ld", static_cast<long>(i));
      }
      slot->put(key, value, i % 3 == 0 ? 0 : 4000000000u, is_address);
    }
  }
  return *slot;
}

void BM_Dump(benchmark::State& state) {
  const int64_t n = state.range(0);
  PersistStore& store = filled_store(n);
  const std::string path = bench_path(n);
  int64_t written = 0;
  for (auto _ : state) {
    written = rbtree_dump(store.pool(), path.c_str());
    benchmark::DoNotOptimize(written);
  }
  state.counters["entries"] = static_cast<double>(written);
  state.counters["file_MiB"] = static_cast<double>(testing::read_file(path).size()) / (1 << 20);
  unlink(path.c_str());
}

template <int64_t (*Load)(SlabPool*, const char*)>
void BM_Load(benchmark::State& state) {
  const int64_t n = state.range(0);
  const std::string path = bench_path(n);
  if (rbtree_dump(filled_store(n).pool(), path.c_str()) != n) state.SkipWithError("dump failed");
  int64_t loaded = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto target = std::make_unique<PersistStore>(kPoolBytes);
    state.ResumeTiming();
    loaded = Load(target->pool(), path.c_str());
    benchmark::DoNotOptimize(loaded);
    state.PauseTiming();
    target.reset();
    state.ResumeTiming();
  }
  state.counters["entries"] = static_cast<double>(loaded);
  unlink(path.c_str());
}

BENCHMARK(BM_Dump)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_TEMPLATE(BM_Load, load_data)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_TEMPLATE(BM_Load, load_replacing)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace quillmap
