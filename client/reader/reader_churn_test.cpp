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
  std::string_view run = value.substr(key.size() + 1);
  const char c = run[0];
  if (c < 'a' || c > 'z' || run.size() != static_cast<size_t>(1 + (c - 'a') * 37)) return false;
  for (char x : run) {
    if (x != c) return false;
  }
  return true;
}

struct Universe {
  std::vector<std::string> strings;
  std::vector<std::string> prefixes;  // address keys
};

Universe make_universe(unsigned seed) {
  std::mt19937 rng(seed);
  Universe u;
  for (int i = 0; i < 150; ++i) u.strings.push_back("key-" + std::to_string(i));
  for (int i = 0; i < 60; ++i) {
    u.prefixes.push_back("10." + std::to_string(rng() % 4) + "." + std::to_string(rng() % 256) + ".0/" +
                         std::to_string(16 + rng() % 9));
    u.prefixes.push_back("2001:db8:" + std::to_string(rng() % 4) + ":" + std::to_string(rng() % 100) +
                         "::/" + std::to_string(48 + rng() % 17));
  }
  u.prefixes.push_back("0.0.0.0/0");
  return u;
}

// One store operation, repeated once after clearing the lock when it timed out (the daemon's rule).
template <class Op>
void with_force_retry(SlabPool* pool, Op&& op) {
  if (op() == kLockTimeout) {
    force_unlock(&pool->lock);
    op();
  }
}

[[noreturn]] void run_writer(KeyedStore& store, const Universe& u, unsigned seed) {
  std::mt19937 rng(seed);
  SlabPool* pool = store.pool();
  unsigned version = 0;
  const auto end = Clock::now() + kChurnTime;
  while (Clock::now() < end) {
    const unsigned roll = rng() % 1000;
    if (roll < 20) {
      force_unlock(&pool->lock);  // readers' shares vanish under them
    } else if (roll < 22) {
      with_force_retry(pool, [&] { return rbtree_purge(pool, delete_ipaddr_by_node_locked); });
    } else if (roll < 600) {
      const std::string& k = u.strings[rng() % u.strings.size()];
      const std::string v = value_for(k, ++version);
      switch (rng() % 3) {
        case 0: with_force_retry(pool, [&] { return add_key(pool, k.data(), k.size(), v.data(), v.size(), 0); }); break;
        case 1: with_force_retry(pool, [&] { return set_key(pool, k.data(), k.size(), v.data(), v.size(), 0); }); break;
        default: with_force_retry(pool, [&] { return delete_key(pool, k.data(), k.size()); });
      }
    } else {
      const std::string& k = u.prefixes[rng() % u.prefixes.size()];
      const std::string v = value_for(k, ++version);
      switch (rng() % 3) {
        case 0: with_force_retry(pool, [&] { return add_ipaddr(pool, k.data(), k.size(), v.data(), v.size(), 0); }); break;
        case 1: with_force_retry(pool, [&] { return set_ipaddr(pool, k.data(), k.size(), v.data(), v.size(), 0); }); break;
        default: with_force_retry(pool, [&] { return delete_ipaddr(pool, k.data(), k.size()); });
      }
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

bool acceptable(ReadStatus s) {
  return s == ReadStatus::kOk || s == ReadStatus::kNotFound || s == ReadStatus::kChanged ||
         s == ReadStatus::kLockUnavailable;
}

[[noreturn]] void run_reader(const std::string& data_path, const Universe& u, unsigned seed) {
  alarm(30);  // a hang ends the reader with SIGALRM, which the test reports
  std::mt19937 rng(seed);
  Reader reader;
  if (Reader::open(data_path, &reader) != ReadStatus::kOk) _exit(2);
  long ok = 0;  // answers that were entries: a reader that only ever met changes proves nothing
  std::string key, value;
  const auto end = Clock::now() + kChurnTime;
  while (Clock::now() < end) {
    const unsigned roll = rng() % 100;
    if (roll < 35) {
      const std::string& k = u.strings[rng() % u.strings.size()];
      ReadStatus s = reader.get(k, &value);
      if (!acceptable(s)) fail_reader("get status", k, read_status_text(s));
      if (s == ReadStatus::kOk && !well_formed(k, value)) fail_reader("torn value", k, value);
      ok += s == ReadStatus::kOk;
    } else if (roll < 70) {
      const std::string address = rng() % 2 == 0 ? "10." + std::to_string(rng() % 4) + "." + std::to_string(rng() % 256) +
                                                       "." + std::to_string(rng() % 256)
                                                 : "2001:db8:" + std::to_string(rng() % 4) + ":" +
                                                       std::to_string(rng() % 100) + "::" + std::to_string(rng() % 100);
      ReadStatus s = reader.match(address, &key, &value);
      if (!acceptable(s)) fail_reader("match status", address, read_status_text(s));
      if (s == ReadStatus::kOk && (!covers(key, address) || !well_formed(key, value))) {
        fail_reader("wrong match", address, key + " " + value);
      }
      ok += s == ReadStatus::kOk;
    } else if (roll < 97) {
      ReadGuard guard(reader);
      if (guard.status() != ReadStatus::kOk) continue;
      for (int i = 0; i < 20; ++i) {
        const std::string& k = u.strings[rng() % u.strings.size()];
        EntryView e;
        ReadStatus s = guard.get(k, &e);
        if (!acceptable(s)) fail_reader("guarded get status", k, read_status_text(s));
        // A view is trusted only when the guard still validates after it was read.
        if (s == ReadStatus::kOk && !well_formed(k, e.value) && guard.validate() == ReadStatus::kOk) {
          fail_reader("torn view", k, e.value);
        }
        ok += s == ReadStatus::kOk;
      }
    } else {
      long seen = 0;
      ReadStatus s = reader.for_each([&](const EntryView& e) {
        if (!well_formed(e.key, e.value)) {
          seen = -1;
          return false;
        }
        ++seen;
        return true;
      });
      if (!acceptable(s)) fail_reader("walk status", "", read_status_text(s));
      // A malformed entry is acceptable only if the walk itself noticed the change.
      if (seen < 0 && s == ReadStatus::kOk) fail_reader("torn walk entry", "", "");
      ok += s == ReadStatus::kOk;
    }
  }
  _exit(ok > 0 ? 0 : 3);
}

TEST(ReaderChurnTest, ReadersSeeConsistentAnswersWhileAWriterChurns) {
  const uint32_t seed = testing::test_seed(20261207);
  SCOPED_TRACE(testing::seed_trace(seed));
  KeyedStore store(8 << 20);
  const Universe u = make_universe(seed);
  std::vector<pid_t> pids;
  pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) run_writer(store, u, seed);
  pids.push_back(writer);
  for (int r = 0; r < kReaders; ++r) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) run_reader(store.data_path(), u, seed + 1 + r);
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "process " << pid << " ended by signal " << WTERMSIG(status);
    if (WIFEXITED(status)) {
      EXPECT_EQ(WEXITSTATUS(status), 0) << (pid == writer ? "writer" : "reader");
    }
  }
}

}  // namespace
}  // namespace quillmap
