// Replication lag and full re-read time of quillmap-sync, on one machine: a one-member etcd on
// loopback, one namespaced host (daemon and agent), as in the fleet test (root needed).
//
//   sync_lag_bench [--seconds S] [--rates R1,R2,...] [--reread N]
//
// Lag: a writer commits changes at the given rate (transactions every 10 ms), a reader attached to the
// host's segment (through the reader library, in the host's IPC namespace) polls for each key; the
// lag of a change is from the moment its transaction was sent to the moment the reader sees it (an
// upper bound of commit-to-visibility). Median and 99th percentile per rate.
// Re-read: N keys are written while the agent is stopped, then an agent without a state file starts;
// the time until it has applied them all (etcd range in pages, the diff against the local store, the
// daemon fed), and again for a second re-read with nothing to change.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "client/reader/quillmap_reader.hpp"
#include "sync/etcd_kv.h"
#include "sync/testing/fleet.h"

using namespace quillmap;
using namespace quillmap::sync;
using Clock = std::chrono::steady_clock;

namespace {

double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

bool wait_applied(testing::Host& host, int64_t revision, int timeout_s) {
  const auto until = Clock::now() + std::chrono::seconds(timeout_s);
  while (host.applied_revision() < revision) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void measure_lag(EtcdGateway& etcd, testing::Host& host, int rate, int seconds, int round) {
  const int per_tick = std::max(1, rate / 100);  // one transaction every 10 ms
  const int ticks = seconds * 100;
  const int total = per_tick * ticks;
  std::vector<Clock::time_point> sent(total);
  std::atomic<int> written{0};
  std::vector<double> lags(total, -1);
  std::thread reader([&] {
    Reader r;
    ReaderOptions options;
    while (Reader::open(host.data_path(), &r, options) != ReadStatus::kOk) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::string value;
    const auto give_up = Clock::now() + std::chrono::seconds(seconds + 30);
    for (int i = 0; i < total && Clock::now() < give_up;) {
      if (i >= written.load(std::memory_order_acquire)) {
        std::this_thread::yield();
        continue;
      }
      const std::string key = "lag" + std::to_string(round) + "/" + std::to_string(i);
      if (r.get(key, &value) == ReadStatus::kOk) {
        lags[i] = std::chrono::duration<double, std::milli>(Clock::now() - sent[i]).count();
        ++i;
      } else {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    }
  });
  const auto start = Clock::now();
  int failed = 0;
  for (int t = 0; t < ticks; ++t) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * t));
    std::vector<Change> changes;
    for (int j = 0; j < per_tick; ++j) {
      const int i = t * per_tick + j;
      changes.push_back({"/bench/strings/lag" + std::to_string(round) + "/" + std::to_string(i), false,
                         std::string(64, 'v'), 0});
    }
    const auto now = Clock::now();
    for (int j = 0; j < per_tick; ++j) sent[t * per_tick + j] = now;
    if (!commit(etcd, changes).ok()) ++failed;
    written.store((t + 1) * per_tick, std::memory_order_release);
  }
  const double wall = ms_since(start) / 1000.0;
  reader.join();
  std::vector<double> seen;
  for (double l : lags) {
    if (l >= 0) seen.push_back(l);
  }
  std::sort(seen.begin(), seen.end());
  if (seen.empty()) {
    std::printf("rate %6d/s: nothing seen\n", rate);
    return;
  }
  std::printf("rate %6d/s (achieved %.0f/s, %d failed txns): %zu/%d seen, lag median %.1f ms, p99 %.1f ms, max %.1f ms\n",
              rate, total / wall, failed, seen.size(), total, seen[seen.size() / 2], seen[seen.size() * 99 / 100],
              seen.back());
}

void measure_reread(EtcdGateway& etcd, testing::Host& host, int keys) {
  host.kill_agent(SIGTERM);  // the first re-read finds the keys new to the daemon
  const auto start = Clock::now();
  for (int from = 0; from < keys; from += 128) {
    std::vector<Change> changes;
    for (int i = from; i < std::min(keys, from + 128); ++i) {
      changes.push_back({"/bench/strings/bulk/" + std::to_string(i), false, "value-" + std::to_string(i), 0});
    }
    Result<int64_t> r = commit(etcd, changes);
    if (!r.ok()) {
      std::printf("bulk write failed: %s\n", r.error().c_str());
      return;
    }
  }
  std::fflush(stdout);
  std::printf("wrote %d keys to etcd in %.1f s\n", keys, ms_since(start) / 1000);
  Result<int64_t> rev = current_revision(etcd);
  for (int pass = 0; pass < 2; ++pass) {
    host.kill_agent(SIGTERM);
    std::filesystem::remove(host.dir() + "/state");
    std::string error;
    const auto t = Clock::now();
    host.start_agent(&error);
    if (!wait_applied(host, rev.value(), 600)) {
      std::printf("re-read did not finish\n");
      return;
    }
    std::printf("full re-read of %d keys (%s): %.2f s\n", keys, pass == 0 ? "all new to the daemon" : "nothing to change",
                ms_since(t) / 1000);
    const std::string log = host.agent_log();
    const size_t at = log.rfind("(etcd read");
    if (at != std::string::npos) std::printf("  %s", log.substr(at, log.find('\n', at) - at + 1).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 5, reread = 0;
  std::vector<int> rates = {1000, 10000};
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--seconds")) seconds = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--reread")) reread = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--rates")) {
      rates.clear();
      for (const char* p = argv[i + 1]; *p;) {
        rates.push_back(std::atoi(p));
        while (*p && *p != ',') ++p;
        if (*p) ++p;
      }
    }
  }
  const std::string why = testing::fleet_unavailable_reason();
  if (!why.empty()) {
    std::printf("sync_lag_bench: cannot run: %s\n", why.c_str());
    return 0;
  }
  testing::EtcdCluster cluster(1);
  std::string error;
  if (!cluster.start(&error)) {
    std::printf("%s\n", error.c_str());
    return 1;
  }
  testing::Host host("bench", cluster.endpoints_text(0), "/bench/", "data_size=1073741824");
  if (!host.start_namespaces(&error) || !host.start_daemon(&error) || !host.start_agent(&error)) {
    std::printf("%s\n", error.c_str());
    return 1;
  }
  // The reader must see the host's segment: join its IPC namespace (before any thread starts).
  const std::string ns = "/proc/" + std::to_string(host.reaper()) + "/ns/ipc";
  int fd = open(ns.c_str(), O_RDONLY);
  if (fd < 0 || setns(fd, CLONE_NEWIPC) != 0) {
    std::printf("cannot join %s: %s\n", ns.c_str(), std::strerror(errno));
    return 1;
  }
  close(fd);
  EtcdOptions options;
  options.endpoints = cluster.endpoints();
  EtcdGateway etcd(options);
  Result<int64_t> rev = current_revision(etcd);
  wait_applied(host, rev.value(), 30);
  int round = 0;
  for (int rate : rates) {
    if (rate > 0) measure_lag(etcd, host, rate, seconds, round++);
  }
  if (reread > 0) measure_reread(etcd, host, reread);
  return 0;
}
