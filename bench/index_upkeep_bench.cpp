// What keeping the index costs the writer, in process (no socket): batches of 10,000 address keys
// added and deleted again, /32s crowded into one /16 as the socket benchmark's keys are, and spread
// over many /16s; with the index kept and without it.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "entry/ipaddr_ops.h"
#include "entry/testing/entry_store.h"
#include "index/index_upkeep.h"
#include "index/testing/index_buffer.h"

namespace quillmap {
namespace {

constexpr int kKeys = 10000;

std::vector<std::string> address_keys(bool crowded) {
  std::vector<std::string> keys;
  for (int i = 0; i < kKeys; ++i) {
    keys.push_back(crowded ? "198.18." + std::to_string(i / 256) + "." + std::to_string(i % 256)
                           : std::to_string(1 + i % 200) + "." + std::to_string(i / 200) + ".7.0/24");
  }
  return keys;
}

void BM_AddressAddsAndDeletes(benchmark::State& state) {
  const bool crowded = state.range(0) != 0;
  const bool indexed = state.range(1) != 0;
  testing::EntryStore store(64 << 20);
  testing::IndexBuffer index(64 << 20);
  if (indexed && start_index(store.pool(), index.header()) != kDone) state.SkipWithError("no index");
  const std::vector<std::string> keys = address_keys(crowded);
  for (auto _ : state) {
    for (const std::string& k : keys) add_ipaddr(store.pool(), k.data(), k.size(), "v", 1, 0);
    for (const std::string& k : keys) delete_ipaddr(store.pool(), k.data(), k.size());
  }
  stop_index();
  state.SetItemsProcessed(state.iterations() * kKeys * 2);
  state.SetLabel(std::string(crowded ? "/32s in one /16" : "/24s over many /16s") + (indexed ? ", index" : ", no index"));
}
BENCHMARK(BM_AddressAddsAndDeletes)->ArgsProduct({{1, 0}, {1, 0}})->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quillmap
