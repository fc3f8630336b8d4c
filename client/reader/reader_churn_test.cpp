// Torn-read safety: a writer process churns the store (adds, sets, deletes, purges, and clears the
// lock by force at random moments, as a daemon does after waiting too long) while reader processes
// look entries up. Every answer must be one the store gave at some moment, or "changed while
// reading" / "lock not available"; no reader may crash or hang.
//
// Values describe themselves ("<key>=<c> repeated n times" with n fixed by c), so a value assembled
// from two versions, or one read from a chunk that was meanwhile reused, is recognised.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "client/reader/quillmap_reader.hpp"
#include "client/reader/testing/keyed_store.h"
#include "entry/ipaddr_ops.h"
#include "entry/key_ops.h"
#include "lpctrie/cidr.h"
#include "store/rwlock.h"
#include "store/sweeps.h"
#include "util/testing/seed.h"

namespace quillmap {
namespace {

using testing::KeyedStore;
using Clock = std::chrono::steady_clock;

constexpr auto kChurnTime = std::chrono::milliseconds(2500);
constexpr int kReaders = 2;

std::string value_for(const std::string& key, unsigned version) {
  const char c = static_cast<char>('a' + version % 26);
  return key + "=" + std::string(1 + (c - 'a') * 37, c);
}

// Whether `value` is a value that value_for(key, some version) gives.
bool well_formed(std::string_view key, std::string_view value) {
  if (value.size() < key.size() + 2 || value.substr(0, key.size()) != key || value[key.size()] != '=') return false;
  const std::string_view run = value.substr(key.size() + 1);
  return run[0] >= 'a' && run[0] <= 'z' && run.size() == static_cast<size_t>(1 + (run[0] - 'a') * 37) &&
         run.find_first_not_of(run[0]) == std::string_view::npos;
}

// String keys, and address keys under 10.0-3/16 and 2001:db8:0-3::/48 (nested, so that matches fall
// back to shorter prefixes), with a default route.
struct Universe {
  std::vector<std::string> strings, prefixes;
  explicit Universe(unsigned seed) {
    std::mt19937 rng(seed);
    for (int i = 0; i < 150; ++i) strings.push_back("key-" + std::to_string(i));
    for (int i = 0; i < 60; ++i) {
      prefixes.push_back("10." + std::to_string(rng() % 4) + "." + std::to_string(rng() % 256) + ".0/" +
                         std::to_string(16 + rng() % 9));
      prefixes.push_back("2001:db8:" + std::to_string(rng() % 4) + ":" + std::to_string(rng() % 100) + "::/" +
                         std::to_string(48 + rng() % 17));
    }
    prefixes.push_back("0.0.0.0/0");
  }
};

[[noreturn]] void run_writer(SlabPool* pool, const Universe& u, unsigned seed) {
  std::mt19937 rng(seed);
  unsigned version = 0;
  // One store operation, repeated once after clearing the lock when it timed out (the daemon's rule).
  auto with_force_retry = [pool](auto&& op) {
    if (op() == kLockTimeout) force_unlock(&pool->lock), op();
  };
  for (const auto end = Clock::now() + kChurnTime; Clock::now() < end;) {
    const unsigned roll = rng() % 1000;
    const bool address = roll >= 600;
    const std::string& k = address ? u.prefixes[rng() % u.prefixes.size()] : u.strings[rng() % u.strings.size()];
    const std::string v = value_for(k, ++version);
    const auto put = rng() % 2 ? (address ? add_ipaddr : add_key) : (address ? set_ipaddr : set_key);
    if (roll < 20) {
      force_unlock(&pool->lock);  // readers' shares vanish under them
    } else if (roll < 22) {
      with_force_retry([&] { return rbtree_purge(pool, delete_ipaddr_by_node_locked); });
    } else if (rng() % 3 == 0) {
      with_force_retry([&] { return (address ? delete_ipaddr : delete_key)(pool, k.data(), k.size()); });
    } else {
      with_force_retry([&] { return put(pool, k.data(), k.size(), v.data(), v.size(), 0); });
    }
  }
  _exit(0);
}

// Whether the stored key text `key` (an address key) covers the address text `address`.
bool covers(std::string_view key, const std::string& address) {
  Cidr k, a;
  if (str_to_cidr(key.data(), key.size(), &k) == kFailed || str_to_cidr(address.data(), address.size(), &a) == kFailed ||
      k.family != a.family) {
    return false;
  }
  if (k.family == kFamilyInet) return ((a.addr4 ^ k.addr4) & k.mask4) == 0;
  for (int i = 0; i < 16; ++i) {
    if (((a.addr6[i] ^ k.addr6[i]) & k.mask6[i]) != 0) return false;
  }
  return true;
}

[[noreturn]] void fail_reader(const char* what, std::string_view a, std::string_view b) {
  std::fprintf(stderr, "reader: %s: [%.*s] [%.*s]\n", what, static_cast<int>(a.size()), a.data(),
               static_cast<int>(b.size()), b.data());
  _exit(1);
}

void expect_acceptable(ReadStatus s, const char* what, std::string_view key) {
  if (s != ReadStatus::kOk && s != ReadStatus::kNotFound && s != ReadStatus::kChanged &&
      s != ReadStatus::kLockUnavailable)
    fail_reader(what, key, read_status_text(s));
}

[[noreturn]] void run_reader(const std::string& data_path, const Universe& u, unsigned seed) {
  alarm(30);  // a hang ends the reader with SIGALRM, which the test reports
  std::mt19937 rng(seed);
  Reader reader;
  if (Reader::open(data_path, &reader) != ReadStatus::kOk) _exit(2);
  long ok = 0;  // answers that were entries: a reader that only ever met changes proves nothing
  std::string key, value;
  for (const auto end = Clock::now() + kChurnTime; Clock::now() < end;) {
    const unsigned roll = rng() % 100;
    const std::string& k = u.strings[rng() % u.strings.size()];
    ReadStatus s;
    if (roll < 35) {
      expect_acceptable(s = reader.get(k, &value), "get status", k);
      if (s == ReadStatus::kOk && !well_formed(k, value)) fail_reader("torn value", k, value);
    } else if (roll < 70) {
      const std::string address =
          rng() % 2 ? "10." + std::to_string(rng() % 4) + "." + std::to_string(rng() % 256) + "." + std::to_string(rng() % 256)
                    : "2001:db8:" + std::to_string(rng() % 4) + ":" + std::to_string(rng() % 100) + "::" + std::to_string(rng() % 100);
      expect_acceptable(s = reader.match(address, &key, &value), "match status", address);
      if (s == ReadStatus::kOk && (!covers(key, address) || !well_formed(key, value)))
        fail_reader("wrong match", address, key + " " + value);
    } else if (roll < 97) {
      ReadGuard guard(reader);
      if ((s = guard.status()) != ReadStatus::kOk) continue;
      for (int i = 0; i < 20; ++i) {
        const std::string& gk = u.strings[rng() % u.strings.size()];
        EntryView e;
        expect_acceptable(s = guard.get(gk, &e), "guarded get status", gk);
        // A view is trusted only when the guard still validates after it was read.
        if (s == ReadStatus::kOk && !well_formed(gk, e.value) && guard.validate() == ReadStatus::kOk)
          fail_reader("torn view", gk, e.value);
      }
    } else {
      bool torn = false;
      expect_acceptable(s = reader.for_each([&](const EntryView& e) { return !(torn = !well_formed(e.key, e.value)); }),
                        "walk status", "");
      // A malformed entry is acceptable only if the walk itself noticed the change.
      if (torn && s == ReadStatus::kOk) fail_reader("torn walk entry", "", "");
    }
    ok += s == ReadStatus::kOk;
  }
  _exit(ok > 0 ? 0 : 3);
}

TEST(ReaderChurnTest, ReadersSeeConsistentAnswersWhileAWriterChurns) {
  const uint32_t seed = testing::test_seed(20261207);
  SCOPED_TRACE(testing::seed_trace(seed));
  KeyedStore store(8 << 20);
  const Universe u(seed);
  std::vector<pid_t> pids;
  for (int p = 0; p <= kReaders; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0 && p == 0) run_writer(store.pool(), u, seed);
    if (pid == 0) run_reader(store.data_path(), u, seed + p);
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << (pid == pids[0] ? "writer" : "reader") << " status " << status << " (1 wrong answer, 3 no entry read)";
  }
}

}  // namespace
}  // namespace quillmap
