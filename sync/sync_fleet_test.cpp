// Three hosts follow one etcd prefix of a three-member cluster while a writer streams random puts and
// deletes (string and address keys, values of 0 to 1,000 bytes, some under leases, some the daemon
// cannot hold). On the way: one agent is killed with SIGKILL and restarted (it resumes from its state
// file), one etcd member is stopped (its agent's watch moves on) and one is killed (the agents go on
// with the others), history is compacted past a stopped agent's revision (it re-reads), and one
// daemon is restarted empty (its agent feeds it again). After each step every host must hold exactly
// the prefix, as `quillmap-sync verify` checks. Seed: QUILLMAP_SEED (default 1).
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include "sync/etcd_kv.h"
#include "sync/key_mapping.h"
#include "sync/publisher.h"
#include "sync/testing/fleet.h"
#include "util/testing/files.h"
#include "util/testing/seed.h"

namespace quillmap::sync {
namespace {

constexpr const char* kPrefix = "/fleet/";

// Random transactions of 1 to 4 changes of distinct keys over a pool of 1,500 string keys and 400
// address keys. A quarter of the changes go to address keys; values of 0 to 1,000 bytes, a few the
// daemon cannot hold (not UTF-8, a NUL inside, too long), some under a short lease.
struct Writer {
  Writer(EtcdGateway& etcd, uint64_t seed) : etcd(etcd), rng(seed) {
    for (int i = 0; i < 1500; ++i) pool.push_back(std::string(kStringsDir) + "k" + std::to_string(i) + (i % 7 ? "" : "/é"));
    for (int i = 0; i < 400; ++i) {
      const std::string text = i % 4 == 0 ? "2001:db8:" + std::to_string(i) + "::/" + std::to_string(32 + rng() % 97)
                                          : std::to_string(10 + i / 250) + "." + std::to_string(i % 250) + ".0.0/" +
                                                std::to_string(8 + rng() % 25);
      pool.push_back(std::string(kAddressesDir) + *canonical_address(text));
    }
  }

  void write_until(size_t until) {
    while (ops < until && !::testing::Test::HasFatalFailure()) {
      std::vector<Change> changes;
      std::set<std::string> keys;
      for (int n = 1 + static_cast<int>(rng() % 4); n > 0; --n) {
        Change c{kPrefix + pool[rng() % 4 == 0 ? 1500 + rng() % 400 : rng() % 1500], rng() % 3 == 0, "", 0};
        if (!c.is_delete) {
          c.value.resize(rng() % 1001);
          for (char& ch : c.value) ch = static_cast<char>(' ' + rng() % 95);
          if (c.value.size() > 4 && rng() % 5 == 0) c.value.replace(0, 2, "ü");
          const unsigned kind = rng() % 200;
          if (kind == 0) c.value = "bad \xff utf-8";
          else if (kind == 1) c.value = std::string("nul\0inside", 10);
          else if (kind == 2) c.value = std::string(2100, 'L');
          else if (kind < 12) c.lease = next_lease();
        }
        if (keys.insert(c.key).second) changes.push_back(std::move(c));
      }
      Result<int64_t> r = commit(etcd, changes);
      for (int attempt = 0; !r.ok() && attempt < 100; ++attempt, r = commit(etcd, changes)) {
        if (r.error().find("lease not found") != std::string::npos) {  // it ended meanwhile: write without one
          for (Change& c : changes) c.lease = 0;
          lease = 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      ASSERT_TRUE(r.ok()) << "writer gave up: " << r.error();
      ops += changes.size();
    }
  }

  int64_t next_lease() {
    if (lease == 0 || rng() % 50 == 0) {
      Result<int64_t> granted = grant_lease(etcd, 2);
      if (granted.ok()) lease = granted.value();
    }
    return lease;
  }

  EtcdGateway& etcd;
  std::mt19937_64 rng;
  std::vector<std::string> pool;  // 1,500 string keys, then 400 address keys
  int64_t lease = 0;
  size_t ops = 0;
};

TEST(FleetTest, EveryHostHoldsThePrefixThroughFailures) {
  const std::string why = testing::fleet_unavailable_reason();
  if (!why.empty()) GTEST_SKIP() << "fleet test skipped: " << why;
  testing::EtcdCluster cluster(3);
  std::string error;
  ASSERT_TRUE(cluster.start(&error)) << error;
  EtcdGateway etcd(EtcdOptions{.endpoints = cluster.endpoints()});
  std::vector<std::unique_ptr<testing::Host>> hosts;
  for (int i = 0; i < 3; ++i) {
    hosts.push_back(std::make_unique<testing::Host>("h" + std::to_string(i), cluster.endpoints_text(i), kPrefix));
    ASSERT_TRUE(hosts[i]->start_namespaces(&error) && hosts[i]->start_daemon(&error) && hosts[i]->start_agent(&error))
        << error;
  }
  // Waits (bounded) until host i's agent has applied the cluster's current revision.
  const auto expect_caught_up = [&](int i) {
    Result<int64_t> current = current_revision(etcd);
    ASSERT_TRUE(current.ok()) << current.error();
    quillmap::testing::wait_until([&] { return hosts[i]->applied_revision() >= current.value(); }, 60000, 50);
    ASSERT_GE(hosts[i]->applied_revision(), current.value()) << "host " << i << " lags; its log:\n" << hosts[i]->agent_log();
  };
  // Every agent caught up, then each host verified; hosts at one revision hold the same keys (leases
  // end between the checks).
  const auto expect_converged = [&](const char* step) {
    SCOPED_TRACE(step);
    std::map<std::string, std::string> hash_at;
    for (int i = 0; i < 3 && !HasFatalFailure(); ++i) {
      expect_caught_up(i);
      std::string out;
      EXPECT_EQ(hosts[i]->sync_command({"verify"}, &out), 0) << "host " << i << ":\n" << out << "\nlog:\n" << hosts[i]->agent_log();
      const size_t at = out.find("in step at revision ");
      ASSERT_NE(at, std::string::npos) << out;
      const std::string revision = out.substr(at + 20, out.find(':', at) - at - 20), hash = out.substr(out.rfind("hash ") + 5);
      EXPECT_EQ(hash, hash_at.try_emplace(revision, hash).first->second) << "host " << i << " differs at revision " << revision;
    }
  };

  const uint32_t seed = quillmap::testing::test_seed(1);
  SCOPED_TRACE(quillmap::testing::seed_trace(seed));
  Writer w(etcd, seed);

  w.write_until(3000);
  hosts[0]->kill_agent(SIGKILL);  // in the middle of the stream
  w.write_until(5000);
  ASSERT_TRUE(hosts[0]->start_agent(&error)) << error;
  w.write_until(6500);
  // A member that keeps host 2's watch open but never answers: the watch moves to another member.
  cluster.signal_member(2, SIGSTOP);
  w.write_until(6700);
  expect_caught_up(2);
  cluster.signal_member(2, SIGCONT);
  if (HasFatalFailure()) return;
  EXPECT_NE(hosts[2]->agent_log().find("no answer for"), std::string::npos) << hosts[2]->agent_log();
  cluster.signal_member(1, SIGKILL);  // host 1's first endpoint; the writer and the agents use the others
  w.write_until(10000);
  expect_converged("10,000 changes, an agent killed and restarted, a member killed");
  if (HasFatalFailure()) return;
  EXPECT_EQ(quillmap::testing::count_of(hosts[0]->agent_log(), "Re-reading the whole prefix"), 1u)
      << "the restarted agent did not resume from its state file:\n" << hosts[0]->agent_log();

  // Leases granted by the writer still end after it stops, each ending a new revision: the lag reaches 0 once
  // the last of them has ended and been applied.
  std::string status;
  const auto no_lag = [&] {
    return hosts[1]->sync_command({"status"}, &status) == 0 && status.find("lag: 0 revisions") != std::string::npos;
  };
  EXPECT_TRUE(quillmap::testing::wait_until(no_lag, 30000, 200)) << status;

  // History compacted past a stopped agent's revision: it re-reads the prefix.
  hosts[2]->kill_agent(SIGTERM);
  w.write_until(10500);
  Result<int64_t> now = current_revision(etcd);
  ASSERT_TRUE(now.ok()) << now.error();
  ASSERT_TRUE(compact(etcd, now.value()).ok());
  ASSERT_TRUE(hosts[2]->start_agent(&error)) << error;
  w.write_until(10600);
  expect_converged("compaction past a stopped agent");
  EXPECT_NE(hosts[2]->agent_log().find("compacted past revision"), std::string::npos) << hosts[2]->agent_log();

  // A daemon restarted with an empty store is fed again.
  hosts[1]->stop_daemon();
  w.write_until(10700);
  ASSERT_TRUE(hosts[1]->start_daemon(&error)) << error;
  w.write_until(10800);
  expect_converged("a daemon restarted empty");
  // Seen either while watching or when the daemon came back; both re-read the prefix.
  EXPECT_EQ(quillmap::testing::count_of(hosts[1]->agent_log(), "Re-reading the whole prefix"), 2u)
      << hosts[1]->agent_log();
  EXPECT_NE(hosts[1]->agent_log().find("the local daemon", hosts[1]->agent_log().find("no state file") + 20),
            std::string::npos)
      << hosts[1]->agent_log();
}

}  // namespace
}  // namespace quillmap::sync
