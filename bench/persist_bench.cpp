// Dump and load of the data file, measured beside bare libyaml.
//
// BM_DumpVsEmit / BM_LoadVsParse: 1M string entries (16-byte keys, 32-byte values, no expiry; a file
// of about 94 MB). Each iteration times, back to back, the dump of the store (rbtree_dump: text, safety
// copy, in-place rewrite, syncs) and libyaml alone emitting the same events from keys and values held
// in process memory into a file; or the worker's load into a fresh store (load_data), the LOAD
// action's (load_replacing, replacing_*) and libyaml alone parsing the same file event by event. The
// counters give the median wall-clock seconds of each side and the median speed ratios of the runs
// paired in one iteration, libyaml time over quillmap time (1: as fast as bare libyaml), of
// wall-clock time (ratio) and of this thread's CPU time (cpu_ratio).
// The bare emitter's text is compared with the dump's (identical = 1): both write the same file.
//
// BM_Dump / BM_Load: 100k and 1M entries of the mixed kind (90% string keys, 10% IPv4 prefixes, some
// with an expiry) in a 512 MiB private pool. The files live under /tmp.

#include <benchmark/benchmark.h>
#include <unistd.h>
#include <yaml.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "persist/data_file.h"
#include "persist/testing/persist_fixture.h"
#include "store/change_epoch.h"

namespace quillmap {
namespace {

using testing::PersistStore;

constexpr int64_t kPoolBytes = int64_t{512} << 20;
constexpr int64_t kPeerEntries = 1000000;

std::string bench_path(const std::string& what, int64_t n) {
  return "/tmp/quillmap-persist-bench-" + std::to_string(getpid()) + "-" + what + "-" + std::to_string(n) + ".yaml";
}

// Wall-clock and CPU time of each run of one side of a comparison. The sides run back to back in
// every iteration, and the figures reported are medians: of each side's times, and of the ratios of
// the runs paired that way, which a shared machine's changing load disturbs least. The CPU time of
// this thread is the steadier figure, the wall-clock time also counts the waits for the disk.
struct Timed {
  std::vector<double> wall;
  std::vector<double> cpu;
};

double thread_cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

template <class F>
auto timed(Timed& into, F&& f) {
  const auto start = std::chrono::steady_clock::now();
  const double cpu_start = thread_cpu_seconds();
  auto result = f();
  into.cpu.push_back(thread_cpu_seconds() - cpu_start);
  into.wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  return result;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Median of bare[i] / ours[i]: the speed of quillmap's side relative to libyaml's.
double paired_ratio(const std::vector<double>& ours, const std::vector<double>& bare) {
  std::vector<double> r;
  for (size_t i = 0; i < ours.size() && i < bare.size(); ++i) r.push_back(ours[i] > 0 ? bare[i] / ours[i] : 0);
  return median(r);
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

// The peer scenario: string keys "k%015ld" (16 bytes), 32-byte values, no expiry.
struct PeerData {
  std::unique_ptr<PersistStore> store = std::make_unique<PersistStore>(kPoolBytes);
  // Keys and values in the store's walk order, as the dump writes them.
  std::vector<std::string> keys;
  std::vector<std::string> values;
};

PeerData& peer_data() {
  static PeerData* data = [] {
    auto* d = new PeerData;
    char key[32], value[40];
    for (int64_t i = 0; i < kPeerEntries; ++i) {
      snprintf(key, sizeof key, "k%015ld", static_cast<long>(i));
      snprintf(value, sizeof value, "value-%026ld", static_cast<long>(i * 7919));
      d->store->put(key, value, 0, false);
    }
    TrustedView view(d->store->pool());
    rbtree_walk_inorder(view, key_tree_of(d->store->pool()), [&](const RbtreeNode* n, const uint8_t* k) {
      d->keys.emplace_back(reinterpret_cast<const char*>(k), n->key_len);
      d->values.emplace_back(reinterpret_cast<const char*>(k) + n->key_len, n->value_len);
      return true;
    });
    return d;
  }();
  return *data;
}

// libyaml alone: the dump's events, with the dump's parameters, into a file. false on a failure.
bool bare_emit(const PeerData& d, const std::string& path) {
  FILE* fp = fopen(path.c_str(), "wb");
  if (fp == nullptr) return false;
  fputs("# header line one\n# header line two\n", fp);
  yaml_emitter_t em;
  yaml_emitter_initialize(&em);
  yaml_emitter_set_output_file(&em, fp);
  yaml_event_t ev;
  bool ok = true;
  auto emit = [&](int initialised) { ok = ok && initialised && yaml_emitter_emit(&em, &ev); };
  auto text = [](const char* s) { return reinterpret_cast<yaml_char_t*>(const_cast<char*>(s)); };
  auto scalar = [&](const char* tag, const char* s, size_t len) {
    emit(yaml_scalar_event_initialize(&ev, nullptr, text(tag), text(s), static_cast<int>(len), 1, 0,
                                      YAML_PLAIN_SCALAR_STYLE));
  };
  auto map_start = [&] {
    emit(yaml_mapping_start_event_initialize(&ev, nullptr, text("tag:yaml.org,2002:map"), 1,
                                             YAML_ANY_MAPPING_STYLE));
  };
  emit(yaml_stream_start_event_initialize(&ev, YAML_UTF8_ENCODING));
  emit(yaml_document_start_event_initialize(&ev, nullptr, nullptr, nullptr, 0));
  map_start();
  for (size_t i = 0; i < d.keys.size() && ok; ++i) {
    scalar("tag:yaml.org,2002:str", d.keys[i].data(), d.keys[i].size());
    map_start();
    scalar("tag:yaml.org,2002:str", "value", 5);
    scalar("tag:yaml.org,2002:str", d.values[i].data(), d.values[i].size());
    scalar("tag:yaml.org,2002:str", "expires", 7);
    scalar("tag:yaml.org,2002:int", "0", 1);
    scalar("tag:yaml.org,2002:str", "is_address", 10);
    scalar("tag:yaml.org,2002:bool", "false", 5);
    emit(yaml_mapping_end_event_initialize(&ev));
  }
  emit(yaml_mapping_end_event_initialize(&ev));
  emit(yaml_document_end_event_initialize(&ev, 0));
  emit(yaml_stream_end_event_initialize(&ev));
  yaml_emitter_delete(&em);
  return fclose(fp) == 0 && ok;
}

// libyaml alone: every event of the file parsed and dropped. The number of scalars, or -1.
int64_t bare_parse(const std::string& path) {
  FILE* fp = fopen(path.c_str(), "rb");
  if (fp == nullptr) return -1;
  yaml_parser_t parser;
  yaml_parser_initialize(&parser);
  yaml_parser_set_input_file(&parser, fp);
  int64_t scalars = 0;
  for (bool done = false; !done;) {
    yaml_event_t ev;
    if (!yaml_parser_parse(&parser, &ev)) {
      scalars = -1;
      break;
    }
    scalars += ev.type == YAML_SCALAR_EVENT;
    done = ev.type == YAML_STREAM_END_EVENT;
    yaml_event_delete(&ev);
  }
  yaml_parser_delete(&parser);
  fclose(fp);
  return scalars;
}

// The text after the two comment lines.
std::string body_of(const std::string& text) {
  size_t first = text.find('\n');
  size_t second = first == std::string::npos ? first : text.find('\n', first + 1);
  return second == std::string::npos ? std::string() : text.substr(second + 1);
}

// The median seconds of each side, and the median speed ratios (libyaml time / quillmap time).
void set_peer_counters(benchmark::State& state, const Timed& ours, const Timed& bare, const std::string& prefix = "") {
  state.counters[prefix + "quillmap_s"] = median(ours.wall);
  state.counters[prefix + "libyaml_s"] = median(bare.wall);
  state.counters[prefix + "ratio"] = paired_ratio(ours.wall, bare.wall);
  state.counters[prefix + "cpu_ratio"] = paired_ratio(ours.cpu, bare.cpu);
}

void BM_DumpVsEmit(benchmark::State& state) {
  PeerData& d = peer_data();
  const std::string path = bench_path("dump", kPeerEntries), bare_path = bench_path("emit", kPeerEntries);
  Timed ours, bare;
  int64_t written = 0;
  for (auto _ : state) {
    written = timed(ours, [&] { return rbtree_dump(d.store->pool(), path.c_str()); });
    bool emitted = timed(bare, [&] { return bare_emit(d, bare_path); });
    if (written != kPeerEntries || !emitted) {
      state.SkipWithError("dump or bare emit failed");
      break;
    }
  }
  set_peer_counters(state, ours, bare);
  state.counters["file_MB"] = static_cast<double>(testing::read_file(path).size()) / 1e6;
  state.counters["identical"] = body_of(testing::read_file(path)) == body_of(testing::read_file(bare_path));
  unlink(path.c_str());
  unlink(bare_path.c_str());
}

// A load as the worker runs it: its write holds publish the change epoch in a state header.
class Published {
 public:
  explicit Published(SlabPool* pool) { publish_changes(&pool->lock, &state_); }
  ~Published() { publish_changes(nullptr, nullptr); }
  Published(const Published&) = delete;
  Published& operator=(const Published&) = delete;

 private:
  StateHeader state_{};
};

void BM_LoadVsParse(benchmark::State& state) {
  PeerData& d = peer_data();
  const std::string path = bench_path("load", kPeerEntries);
  if (rbtree_dump(d.store->pool(), path.c_str()) != kPeerEntries) {
    state.SkipWithError("dump failed");
    return;
  }
  Timed ours, replacing, bare;
  for (auto _ : state) {
    auto target = std::make_unique<PersistStore>(kPoolBytes);
    const int64_t loaded = timed(ours, [&] {
      Published published(target->pool());
      return load_data(target->pool(), path.c_str());
    });
    target = std::make_unique<PersistStore>(kPoolBytes);
    const int64_t replaced = timed(replacing, [&] {
      Published published(target->pool());
      return load_replacing(target->pool(), path.c_str());
    });
    target.reset();
    const int64_t scalars = timed(bare, [&] { return bare_parse(path); });
    if (loaded != kPeerEntries || replaced != kPeerEntries || scalars != 7 * kPeerEntries) {
      state.SkipWithError("load or bare parse failed");
      break;
    }
  }
  set_peer_counters(state, ours, bare);
  set_peer_counters(state, replacing, bare, "replacing_");
  unlink(path.c_str());
}

void BM_Dump(benchmark::State& state) {
  const int64_t n = state.range(0);
  PersistStore& store = filled_store(n);
  const std::string path = bench_path("mixed", n);
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
  const std::string path = bench_path("mixed", n);
  if (rbtree_dump(filled_store(n).pool(), path.c_str()) != n) state.SkipWithError("dump failed");
  int64_t loaded = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto target = std::make_unique<PersistStore>(kPoolBytes);
    state.ResumeTiming();
    {
      Published published(target->pool());
      loaded = Load(target->pool(), path.c_str());
    }
    benchmark::DoNotOptimize(loaded);
    state.PauseTiming();
    target.reset();
    state.ResumeTiming();
  }
  state.counters["entries"] = static_cast<double>(loaded);
  unlink(path.c_str());
}

BENCHMARK(BM_DumpVsEmit)->Unit(benchmark::kMillisecond)->Iterations(7)->UseRealTime();
BENCHMARK(BM_LoadVsParse)->Unit(benchmark::kMillisecond)->Iterations(7)->UseRealTime();
BENCHMARK(BM_Dump)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_TEMPLATE(BM_Load, load_data)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_TEMPLATE(BM_Load, load_replacing)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace quillmap
