// Error paths of the reader (no segment, bad paths, other accounts, insane headers, a store damaged under
// it), never a crash or a hang; a reader outliving its daemon; readers while a writer churns the store.
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "client/reader/checked_view.h"
#include "client/reader/quillmap_reader.hpp"
#include "client/reader/testing/keyed_store.h"
#include "entry/ipaddr_ops.h"
#include "entry/key_ops.h"
#include "lpctrie/cidr.h"
#include "lpctrie/lpc_node.h"
#include "store/rbtree.h"
#include "store/rwlock.h"
#include "store/slab.h"
#include "store/sweeps.h"
#include "util/testing/seed.h"

namespace quillmap {
namespace {

using testing::KeyedStore;

TEST(ReaderErrorsTest, OpenOutcomesAndDamagedHeaders) {
  KeyedStore store(1 << 20), blank(1 << 20, 0600, false);  // blank: never laid out by a daemon
  ASSERT_EQ(add_key(store.pool(), "a", 1, "1", 1, 0), kDone);
  const std::string conf = store.dir() + "/quillmap.conf", no_segment = store.dir() + "/no-segment";
  std::ofstream(no_segment).put('x');
  auto config = [&](const std::string& text) { std::ofstream(conf) << text; return conf; };
  Reader reader;
  EXPECT_EQ(Reader::open(no_segment, &reader), ReadStatus::kNoSegment);
  EXPECT_EQ(Reader::open("", &reader), ReadStatus::kBadPath);
  EXPECT_EQ(Reader::open(blank.data_path(), &reader), ReadStatus::kNotLaidOut);
  std::string v;
  EXPECT_EQ(reader.get("k", &v), ReadStatus::kBadState);
  EXPECT_EQ(Reader::open_config(config("socket_path=/x\n"), &reader), ReadStatus::kBadConfig);
  EXPECT_EQ(Reader::open_config(store.dir() + "/missing.conf", &reader), ReadStatus::kBadConfig);
  // The first data_path line counts, comments and quotes aside.
  ASSERT_EQ(Reader::open_config(config("# data_path = /nowhere\n  data_path = \"" + store.data_path() +
                                       "\"\ndata_path=/second/one/ignored\n"), &reader),
            ReadStatus::kOk);
  EXPECT_EQ(reader.get("a", &v), ReadStatus::kOk);
  unlink(conf.c_str()), unlink(no_segment.c_str());

  // Each header damage makes the segment "not laid out"; the reader never touches its lock word.
  const SlabPool good = *store.pool();
  Reader opened;
  ASSERT_EQ(Reader::open(store.data_path(), &opened), ReadStatus::kOk);
  // A class counter moved, a smallest chunk not 2^shift, roots outside the pool or misaligned, more free
  // pages than pages. (Shifted or cut-short tables meet several of these checks at once.)
  void (*const damages[])(SlabPool*) = {
      [](SlabPool* p) { p->class_stats += 32; }, [](SlabPool* p) { p->min_chunk = 16; },
      [](SlabPool* p) { p->key_tree = 0; },      [](SlabPool* p) { p->trie4 = p->pool_end; },
      [](SlabPool* p) { p->trie6 += 8; },        [](SlabPool* p) { p->free_pages = ~uint64_t{0}; },
  };
  for (size_t i = 0; i < std::size(damages); ++i) {
    *store.pool() = good;
    damages[i](store.pool());
    EXPECT_TRUE(Reader::open(store.data_path(), &reader) == ReadStatus::kNotLaidOut && store.pool()->lock == 0u) << i;
  }
  *store.pool() = good;
  store.pool()->desc_base += 8;  // rewritten after `opened` opened: noticed when it next takes a share
  EXPECT_TRUE(opened.get("k", &v) == ReadStatus::kNotLaidOut && store.pool()->lock == 0u);
  *store.pool() = good;
  EXPECT_EQ(opened.get("k", &v), ReadStatus::kNotFound);
}

// Segments of mode 0640 given to a reader group: a member of the group reads them read-only (through
// the index, and by the plain walk with the index given up), validated by the change epoch alone and
// leaving the lock word alone; an account outside the group is refused.
TEST(ReaderErrorsTest, ReaderGroupReadsReadOnlyOthersArePermissionDenied) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to switch to another account";
  KeyedStore store(1 << 20, 0640);
  ASSERT_EQ(add_key(store.pool(), "key", 3, "value", 5, 0), kDone);
  ASSERT_EQ(add_ipaddr(store.pool(), "10.0.0.0/8", 10, "net", 3, 0), kDone);
  constexpr gid_t kReaders = 65534;
  for (int id : store.ids()) {  // as the daemon gives them to reader_group
    shmid_ds ds;
    ASSERT_EQ(shmctl(id, IPC_STAT, &ds), 0);
    ds.shm_perm.gid = kReaders;
    ASSERT_EQ(shmctl(id, IPC_SET, &ds), 0);
  }
  // 0: as expected; 10: could not switch account; 11..: the step that answered otherwise.
  auto as_account = [&](gid_t gid, bool member) {
    pid_t pid = fork();
    if (pid == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(65534) != 0) _exit(10);
      Reader reader;
      const ReadStatus opened = Reader::open(store.data_path(), &reader);
      if (!member) _exit(opened == ReadStatus::kPermission ? 0 : 11);
      std::string key, value;
      _exit(opened != ReadStatus::kOk ? 12 : reader.get("key", &value) != ReadStatus::kOk || value != "value" ? 13
            : reader.match("10.1.2.3", &key, &value) != ReadStatus::kOk || key != "10.0.0.0/8"    ? 14
            : reader.for_each([](const EntryView&) { return true; }) != ReadStatus::kOk           ? 16 : 0);
    }
    int status = 0;
    return pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
  };
  EXPECT_EQ(as_account(kReaders, true), 0);
  store.index()->valid = 0;
  EXPECT_EQ(as_account(kReaders, true), 0) << "by the plain walk";
  EXPECT_EQ(as_account(65533, false), 0);
  EXPECT_EQ(store.pool()->lock, 0u);
}

// Each damage of the store under an open reader makes the plain walk's look-ups answer "changed"; once
// it is undone they answer again, and the lock word is left alone.
TEST(DamagedStoreTest, EveryDamageEndsAsChangedAndViewsAdmitOnlyChunksInUse) {
  KeyedStore store(1 << 20);
  SlabPool* pool = store.pool();
  ASSERT_EQ(add_key(pool, "key", 3, "value", 5, 0), kDone);
  ASSERT_EQ(add_ipaddr(pool, "10.0.0.0/8", 10, "net", 3, 0), kDone);
  Reader reader;
  ASSERT_EQ(Reader::open(store.data_path(), &reader), ReadStatus::kOk);
  store.index()->valid = 0;  // what is damaged here is what the plain walk reads
  TreeRoot* tree = key_tree_of(pool);
  RbtreeNode* node = rbtree_get(pool, tree, "key", 3);
  ASSERT_NE(node, nullptr);
  RbtreeNode* root = _lfof_<RbtreeNode>(pool, tree->root);
  auto* trie = _lfof_<LpcNode32>(pool, pool->trie4);
  auto* alias = _lfof_<LpcAlias>(pool, _lfof_<LpcNode32>(pool, trie->children_off[0])->children_off[0]);
  const uint64_t free_page = pool->data_start + ((page_count(pool) - 1) << page_shift);
  std::string key, value;
  std::function<ReadStatus()> get = [&] { return reader.get("key", &value); },
                              get_absent = [&] { return reader.get("absent key", &value); },
                              walk = [&] { return reader.for_each([](const EntryView&) { return true; }); },
                              match = [&] { return reader.match("10.1.1.1", &key, &value); };
  auto cycle = [&] { root->left = root->right = tree->root; };  // every descent comes back to the root
  std::vector<std::tuple<const char*, std::function<void()>, std::function<ReadStatus()>>> damages = {
      {"a cycle in the key tree", cycle, get_absent},
      {"a cycle in the key tree, walked", cycle, walk},
      {"a value length beyond the chunk", [&] { node->value_len = 4000; }, get},  // the chunk is 128 bytes
      {"the trie names a string entry", [&] { alias->value = offset_of_record(pool, node); }, match},
      {"the trie names a free page", [&] { alias->value = free_page; }, match},
  };
  for (uint64_t bad : {free_page, tree->root + 8, tree->root + 1, pool->pool_end - 8, pool->pool_end + 4096})
    damages.emplace_back("a root offset outside any node", [=] { tree->root = bad; }, get);
  const auto saved = std::tuple(*root, *node, *tree, *alias);
  for (const auto& [what, damage, probe] : damages) {
    damage();
    EXPECT_EQ(probe(), ReadStatus::kChanged) << what;
    std::tie(*root, *node, *tree, *alias) = saved;
  }
  EXPECT_TRUE(get() == ReadStatus::kOk && value == "value" && match() == ReadStatus::kOk && key == "10.0.0.0/8");
  EXPECT_EQ(pool->lock, 0u);

  // The checks behind it: byte runs are admitted inside chunks in use only (also from a multi-page chunk's
  // tail page), records only at a multiple of their size rounded up to a power of two (at most a page) from
  // the first page, wholly inside the pool. A refusal, or the end of the step budget, leaves the view failed.
  SegmentGeometry g;
  ASSERT_TRUE(read_segment_geometry(pool, 1 << 20, &g));
  const uint64_t page = uint64_t{1} << g.page_shift;
  std::vector<std::pair<uint64_t, uint64_t>> chunks;  // (size, offset)
  for (uint64_t size : {8u, 24u, 64u, 100u, 2048u, 3000u, 3 * 4096u})
    chunks.emplace_back(size, offset_of_record(pool, slab_calloc_locked(pool, size)));
  CheckedView v(g, 10);
  uint64_t start, end;
  for (auto [size, off] : chunks) {
    ASSERT_TRUE(v.chunk_of(off + size - 1, &start, &end) && start == off && end - start >= size) << size;
    EXPECT_TRUE(CheckedView(g, 1).at<uint8_t>(off, size) && !CheckedView(g, 1).at<uint8_t>(off, end - start + 1)) << size;
  }
  const std::tuple<uint64_t, uint64_t, bool> records[] = {  // (offset, bytes, admitted)
      {chunks[2].second, kNodeHeaderSize, true},  {g.data_start - 64, 64, false},
      {chunks[3].second + 64, 64, true},          {chunks[3].second + 32, 64, false},
      {chunks[6].second, 3 * page, true},         {chunks[6].second + 2048, 3 * page, false},
      {g.pool_end - 64, 64, true},                {g.pool_end - page, 2 * page, false},
  };
  for (auto [off, bytes, admitted] : records)
    EXPECT_EQ(CheckedView(g, 1).at<uint64_t>(off, bytes) != nullptr, admitted) << off << " " << bytes;
  CheckedView misaligned(g, 1);  // once failed, it stays failed
  EXPECT_TRUE(!misaligned.at<uint64_t>(chunks[3].second + 4) && !misaligned.at<uint8_t>(chunks[3].second) && misaligned.failed());
  EXPECT_FALSE(v.chunk_of(chunks[0].second & ~(page - 1), &start, &end)) << "the bitmap chunks of a small page";
  for (auto [size, off] : chunks) slab_free_locked(pool, _lfof_<void>(pool, off));
  for (auto [size, off] : chunks) EXPECT_FALSE(v.chunk_of(off, &start, &end)) << "freed " << size;
  EXPECT_FALSE(v.chunk_of(g.desc_base, &start, &end) || v.chunk_of(g.pool_end, &start, &end));
  CheckedView budget(g, 2);
  EXPECT_TRUE(budget.step() && budget.step() && !budget.failed() && !budget.step() && budget.failed());
}

void add(SlabPool* pool, const std::string& k, const std::string& v) {
  ASSERT_EQ(add_key(pool, k.data(), k.size(), v.data(), v.size(), 0), kDone) << k;
}
std::string value_of(Reader& reader, const std::string& key) {  // the value, or the status text
  std::string v;
  ReadStatus s = reader.get(key, &v);
  return s == ReadStatus::kOk ? v : read_status_text(s);
}

// A daemon's stop and start (the segment removed, a new one under the same key) are noticed at refresh(),
// at the periodic check and after a lookup that met a change; one-shot calls then answer from the new
// segment, or kNoSegment while there is none; guards holding views keep the old one and report kChanged.
TEST(ReaderRefreshTest, FollowsTheLiveSegmentAcrossRemovalAndRecreation) {
  KeyedStore store;
  add(store.pool(), "a", "old");
  Reader lazy, eager, never;  // checking once a second, at every lookup, only on refresh and changes
  ASSERT_EQ(Reader::open(store.data_path(), &lazy), ReadStatus::kOk);
  ASSERT_EQ(Reader::open(store.data_path(), &eager, {.check_interval_ms = 0}), ReadStatus::kOk);
  ASSERT_EQ(Reader::open(store.data_path(), &never, {.check_interval_ms = -1}), ReadStatus::kOk);
  EntryView view;
  ReadGuard guard(eager);
  ASSERT_EQ(guard.get("a", &view), ReadStatus::kOk);
  auto* old_pool = static_cast<SlabPool*>(shmat(store.ids()[0], nullptr, 0));  // the stopped daemon's, still writable
  ASSERT_NE(old_pool, reinterpret_cast<SlabPool*>(-1));
  // A data file replaced under a running daemon changes the key, not the segment it serves.
  const std::string moved = store.dir() + "/new.yaml";
  ASSERT_TRUE(std::ofstream(moved).good() && rename(moved.c_str(), store.data_path().c_str()) == 0);
  EXPECT_EQ(never.refresh(), ReadStatus::kOk);

  store.remove_segment();
  store.create_segment();
  add(store.pool(), "a", "new");
  EXPECT_TRUE(lazy.refresh() == ReadStatus::kOk && value_of(lazy, "a") == "new");
  // Guards holding views keep the old segment; they and new guards report the change.
  EXPECT_TRUE(guard.get("a", &view) == ReadStatus::kChanged && guard.validate() == ReadStatus::kChanged);
  EXPECT_EQ(view.value, "old") << "views stay readable until the guard ends";
  EXPECT_TRUE(ReadGuard(eager).status() == ReadStatus::kChanged && eager.refresh() == ReadStatus::kChanged);
  guard.release();
  EXPECT_EQ(value_of(eager, "a"), "new") << "the periodic check";

  // A writer met under a share makes even a reader that never checks periodically look again.
  EXPECT_EQ(value_of(never, "a"), "old");
  {
    ReadGuard g(never);
    ASSERT_EQ(force_unlock(&old_pool->lock), kDone);
    add(old_pool, "b", "x");
    EXPECT_EQ(g.get("a", &view), ReadStatus::kChanged);
  }
  EXPECT_EQ(value_of(never, "a"), "new");
  shmdt(old_pool);

  // With no daemon every call says so; a new segment is found again.
  store.remove_segment();
  EXPECT_TRUE(value_of(eager, "a") == read_status_text(ReadStatus::kNoSegment) && ReadGuard(eager).status() == ReadStatus::kNoSegment);
  EXPECT_TRUE(lazy.refresh() == ReadStatus::kNoSegment && value_of(lazy, "a") == read_status_text(ReadStatus::kNoSegment));
  store.create_segment();
  add(store.pool(), "a", "third");
  EXPECT_TRUE(value_of(eager, "a") == "third" && lazy.refresh() == ReadStatus::kOk && value_of(lazy, "a") == "third");
}

// Torn-read safety: a writer process churns the store (adds, sets, deletes, purges, forced unlocks) while
// reader processes look entries up. Every answer is one the store gave at some moment, or "changed" / "lock
// not available"; no reader crashes or hangs. Values describe themselves, so that a torn one shows.
using Clock = std::chrono::steady_clock;
constexpr auto kChurnTime = std::chrono::milliseconds(2500);

std::string value_for(std::string_view key, unsigned version) {  // "<key>=" and 1 + 37 n times letter n
  return std::string(key) + "=" + std::string(1 + version % 26 * 37, static_cast<char>('a' + version % 26));
}
bool well_formed(std::string_view key, std::string_view value) {
  return value.size() > key.size() + 1 && value == value_for(key, static_cast<uint8_t>(value[key.size() + 1]) - 'a');
}

// A number in [from, from + below) as text.
std::string below(std::mt19937& rng, unsigned below, unsigned from = 0) { return std::to_string(from + rng() % below); }
std::string string_key(std::mt19937& rng) { return "key-" + below(rng, 150); }

// The writer's address keys: under 10.0-3/16 and 2001:db8:0-3::/48 (nested, so that matches fall back to
// shorter prefixes), and a default route.
[[noreturn]] void run_writer(SlabPool* pool, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> prefixes{"0.0.0.0/0"};
  for (int i = 0; i < 60; ++i) {
    prefixes.push_back("10." + below(rng, 4) + "." + below(rng, 256) + ".0/" + below(rng, 9, 16));
    prefixes.push_back("2001:db8:" + below(rng, 4) + ":" + below(rng, 100) + "::/" + below(rng, 17, 48));
  }
  unsigned version = 0;
  // One store operation, repeated once after clearing the lock when it timed out (the daemon's rule).
  auto retry = [pool](auto&& op) { if (op() == kLockTimeout) force_unlock(&pool->lock), op(); };
  for (const auto end = Clock::now() + kChurnTime; Clock::now() < end;) {
    const unsigned roll = rng() % 1000;
    const bool address = roll >= 600;
    const std::string k = address ? prefixes[rng() % prefixes.size()] : string_key(rng);
    const std::string v = value_for(k, ++version);
    const auto put = rng() % 2 ? (address ? add_ipaddr : add_key) : (address ? set_ipaddr : set_key);
    if (roll < 20) force_unlock(&pool->lock);  // readers' shares vanish under them
    else if (roll < 22) retry([&] { return rbtree_purge(pool, delete_ipaddr_by_node_locked); });
    else if (rng() % 3 == 0) retry([&] { return (address ? delete_ipaddr : delete_key)(pool, k.data(), k.size()); });
    else retry([&] { return put(pool, k.data(), k.size(), v.data(), v.size(), 0); });
  }
  _exit(0);
}

// Whether the address key `key` covers the address text `address`: the address under the key's length
// parses to the key's network.
bool covers(const std::string& key, const std::string& address) {
  const std::string masked = address + key.substr(std::min(key.find('/'), key.size()));
  Cidr k, a;
  return str_to_cidr(key.data(), key.size(), &k) != kFailed && str_to_cidr(masked.data(), masked.size(), &a) != kFailed &&
         k.family == a.family && std::memcmp(k.addr6, a.addr6, k.family == kFamilyInet ? 4 : 16) == 0;
}

// Ends the reader when `s` is not an entry, none, "changed" or "lock not available", or an entry not `right`.
void check(const char* what, ReadStatus s, bool right, const std::string& a, const std::string& b = "") {
  if (s == ReadStatus::kOk ? right : s == ReadStatus::kNotFound || s == ReadStatus::kChanged || s == ReadStatus::kLockUnavailable)
    return;
  std::fprintf(stderr, "reader: %s: %s [%s] [%s]\n", what, read_status_text(s), a.c_str(), b.c_str());
  _exit(1);
}

[[noreturn]] void run_reader(const std::string& data_path, unsigned seed) {
  alarm(30);  // a hang ends the reader with SIGALRM, which the test reports
  std::mt19937 rng(seed);
  Reader reader;
  if (Reader::open(data_path, &reader) != ReadStatus::kOk) _exit(2);
  long ok = 0;  // answers that were entries: a reader that only ever met changes proves nothing
  std::string key, value;
  for (const auto end = Clock::now() + kChurnTime; Clock::now() < end;) {
    const unsigned roll = rng() % 100;
    const std::string k = string_key(rng);
    ReadStatus s;
    if (roll < 35) {
      s = reader.get(k, &value);
      check("get", s, well_formed(k, value), k, value);
    } else if (roll < 70) {
      const std::string address = rng() % 2 ? "10." + below(rng, 4) + "." + below(rng, 256) + "." + below(rng, 256)
                                            : "2001:db8:" + below(rng, 4) + ":" + below(rng, 100) + "::" + below(rng, 100);
      s = reader.match(address, &key, &value);
      check("match", s, covers(key, address) && well_formed(key, value), address, key + " " + value);
    } else if (roll < 97) {
      ReadGuard guard(reader);
      if ((s = guard.status()) != ReadStatus::kOk) continue;
      for (int i = 0; i < 20; ++i) {
        const std::string gk = string_key(rng);
        EntryView e;
        s = guard.get(gk, &e);
        // A view is trusted only when the guard still validates after it was read.
        check("guarded get", s, well_formed(gk, e.value) || guard.validate() != ReadStatus::kOk, gk, std::string(e.value));
      }
    } else {
      bool torn = false;  // a malformed entry is acceptable only if the walk itself noticed the change
      s = reader.for_each([&](const EntryView& e) { return !(torn = !well_formed(e.key, e.value)); });
      check("walk", s, !torn, "");
    }
    ok += s == ReadStatus::kOk;
  }
  _exit(ok > 0 ? 0 : 3);
}

TEST(ReaderChurnTest, ReadersSeeConsistentAnswersWhileAWriterChurns) {
  const uint32_t seed = testing::test_seed(20261207);
  SCOPED_TRACE(testing::seed_trace(seed));
  KeyedStore store(8 << 20);
  std::vector<pid_t> pids;
  for (int p = 0; p <= 2; ++p) {  // a writer, two readers
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0 && p == 0) run_writer(store.pool(), seed);
    if (pid == 0) run_reader(store.data_path(), seed + p);
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
