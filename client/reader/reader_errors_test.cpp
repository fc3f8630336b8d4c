// Error paths of the reader: no segment, a path that does not exist, a segment of another account,
// headers that are not a sane layout, and a store damaged under the reader (cycles, lengths beyond
// their chunk, offsets into free memory), each answered with an error, never a crash or a hang.
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>

#include "client/reader/checked_view.h"
#include "client/reader/quillmap_reader.hpp"
#include "client/reader/testing/keyed_store.h"
#include "entry/ipaddr_ops.h"
#include "entry/key_ops.h"
#include "lpctrie/lpc_node.h"
#include "store/rbtree.h"
#include "store/slab.h"
#include "util/testing/seed.h"

namespace quillmap {
namespace {

using testing::KeyedStore;

TEST(ReaderErrorsTest, OpenOutcomes) {
  KeyedStore store(1 << 20), blank(1 << 20, 0600, false);  // blank: never laid out by a daemon
  ASSERT_EQ(add_key(store.pool(), "a", 1, "1", 1, 0), kDone);
  const std::string conf = store.dir() + "/quillmap.conf", no_segment = store.dir() + "/no-segment";
  std::ofstream(no_segment).put('x');
  auto config = [&](const std::string& text) { std::ofstream(conf) << text; return conf; };
  Reader reader;
  EXPECT_EQ(Reader::open(no_segment, &reader), ReadStatus::kNoSegment);
  EXPECT_EQ(Reader::open(store.dir() + "/missing", &reader), ReadStatus::kBadPath);
  EXPECT_EQ(Reader::open("", &reader), ReadStatus::kBadPath);
  EXPECT_EQ(Reader::open(blank.data_path(), &reader), ReadStatus::kNotLaidOut);
  EXPECT_FALSE(reader.is_open());
  std::string v;
  EXPECT_EQ(reader.get("k", &v), ReadStatus::kBadState);
  EXPECT_EQ(Reader::open_config(config("socket_path=/x\n"), &reader), ReadStatus::kBadConfig);
  EXPECT_EQ(Reader::open_config(store.dir() + "/missing.conf", &reader), ReadStatus::kBadConfig);
  // The first data_path line counts, comments and quotes aside.
  ASSERT_EQ(Reader::open_config(config("# data_path = /nowhere\n  data_path = \"" + store.data_path() +
                                       "\"\ndata_path=/second/one/ignored\n"), &reader),
            ReadStatus::kOk);
  EXPECT_EQ(reader.get("a", &v), ReadStatus::kOk);
  unlink(conf.c_str());
  unlink(no_segment.c_str());
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
  store.share_with_group(kReaders);
  // 0: as expected; 10: could not switch account; 11..: the step that answered otherwise.
  auto as_account = [&](gid_t gid, bool member) {
    pid_t pid = fork();
    if (pid == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(65534) != 0) _exit(10);
      Reader reader;
      const ReadStatus opened = Reader::open(store.data_path(), &reader);
      if (!member) _exit(opened == ReadStatus::kPermission ? 0 : 11);
      std::string key, value;
      if (opened != ReadStatus::kOk) _exit(12);
      if (reader.get("key", &value) != ReadStatus::kOk || value != "value") _exit(13);
      if (reader.match("10.1.2.3", &key, &value) != ReadStatus::kOk || key != "10.0.0.0/8") _exit(14);
      if (reader.get("absent", &value) != ReadStatus::kNotFound) _exit(15);
      if (reader.for_each([](const EntryView&) { return true; }) != ReadStatus::kOk) _exit(16);
      _exit(0);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  };
  EXPECT_EQ(as_account(kReaders, true), 0);
  const uint64_t valid = store.index()->valid;
  store.index()->valid = 0;
  EXPECT_EQ(as_account(kReaders, true), 0) << "by the plain walk";
  store.index()->valid = valid;
  EXPECT_EQ(as_account(65533, false), 0);
  EXPECT_EQ(store.pool()->lock, 0u);
}

// Each header damage makes the segment "not laid out"; the reader never touches its lock word.
TEST(ReaderErrorsTest, DamagedHeadersAreRefused) {
  KeyedStore store(1 << 20);
  const SlabPool good = *store.pool();
  Reader opened;
  ASSERT_EQ(Reader::open(store.data_path(), &opened), ReadStatus::kOk);
  std::string v;
  const std::pair<const char*, void (*)(SlabPool*)> cases[] = {
      {"pool_end beyond the segment", [](SlabPool* p) { p->pool_end += 4096; }},
      {"pool_end cut short", [](SlabPool* p) { p->pool_end -= 4096; }},
      {"desc_base shifted", [](SlabPool* p) { p->desc_base += 8; }},
      {"desc_base of another class count", [](SlabPool* p) { p->desc_base += 56; }},
      {"desc_end shifted", [](SlabPool* p) { p->desc_end += 24; }},
      {"data_start off the page", [](SlabPool* p) { p->data_start += 8; }},
      {"class_stats shifted", [](SlabPool* p) { p->class_stats += 32; }},
      {"min_chunk not 2^shift", [](SlabPool* p) { p->min_chunk = 16; }},
      {"min_chunk_shift absurd", [](SlabPool* p) { p->min_chunk_shift = 60; }},
      {"key_tree never set", [](SlabPool* p) { p->key_tree = 0; }},
      {"key_tree misaligned", [](SlabPool* p) { p->key_tree += 4; }},
      {"trie4 outside the pool", [](SlabPool* p) { p->trie4 = p->pool_end; }},
      {"trie6 misaligned", [](SlabPool* p) { p->trie6 += 8; }},
      {"more free pages than pages", [](SlabPool* p) { p->free_pages = ~uint64_t{0}; }},
  };
  Reader reader;
  for (const auto& [what, damage] : cases) {
    *store.pool() = good;
    damage(store.pool());
    EXPECT_EQ(Reader::open(store.data_path(), &reader), ReadStatus::kNotLaidOut) << what;
    EXPECT_EQ(store.pool()->lock, 0u) << what;
  }
  const uint32_t seed = testing::test_seed(20261207);
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937_64 rng(seed);
  for (int i = 0; i < 200; ++i) {
    auto* words = reinterpret_cast<uint64_t*>(store.pool());
    for (size_t w = 0; w < sizeof(SlabPool) / 8; ++w) words[w] = rng() >> (rng() % 64);
    const uint64_t lock = words[0];
    EXPECT_EQ(Reader::open(store.data_path(), &reader), ReadStatus::kNotLaidOut);
    EXPECT_EQ(words[0], lock);
  }
  *store.pool() = good;
  EXPECT_EQ(Reader::open(store.data_path(), &reader), ReadStatus::kOk);
  store.pool()->desc_base += 8;  // rewritten after `opened` opened: noticed when it next takes a share
  EXPECT_EQ(opened.get("k", &v), ReadStatus::kNotLaidOut);
  EXPECT_EQ(store.pool()->lock, 0u);
  *store.pool() = good;
  EXPECT_EQ(opened.get("k", &v), ReadStatus::kNotFound);
}

// Each damage of the store under an open reader (a cycle, a length beyond its chunk, offsets into free
// or foreign memory, a trie naming what is not an address entry) makes the look-ups through the plain
// walk answer "changed"; once it is undone they answer again, and the lock word is left alone.
TEST(DamagedStoreTest, EveryDamageEndsAsChanged) {
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
  struct Damage {
    const char* what;
    std::function<void()> damage;
    std::function<ReadStatus()> probe;
  };
  auto cycle = [&] { root->left = root->right = tree->root; };  // every descent comes back to the root
  std::vector<Damage> damages = {
      {"a cycle in the key tree", cycle, get_absent},
      {"a cycle in the key tree, walked", cycle, walk},
      {"a value length beyond the chunk", [&] { node->value_len = 4000; }, get},  // the chunk is 128 bytes
      {"the trie names a string entry", [&] { alias->value = offset_of_record(pool, node); }, match},
      {"the trie names a free page", [&] { alias->value = free_page; }, match},
  };
  for (uint64_t bad : {free_page, tree->root + 8, tree->root + 1, pool->pool_end - 8, pool->pool_end + 4096,
                       uint64_t{0}, pool->desc_base}) {
    damages.push_back({"a root offset outside any node", [=] { tree->root = bad; }, get});
  }
  const RbtreeNode saved_root = *root, saved_node = *node;
  const TreeRoot saved_tree = *tree;
  const LpcAlias saved_alias = *alias;
  for (const Damage& d : damages) {
    d.damage();
    EXPECT_EQ(d.probe(), ReadStatus::kChanged) << d.what;
    *root = saved_root;
    *node = saved_node;
    *tree = saved_tree;
    *alias = saved_alias;
  }
  EXPECT_TRUE(get() == ReadStatus::kOk && value == "value");
  EXPECT_TRUE(match() == ReadStatus::kOk && key == "10.0.0.0/8");
  EXPECT_EQ(pool->lock, 0u);
}

// Byte runs are admitted inside chunks in use only (also from a multi-page chunk's tail page), records
// only where the allocator can have put them: at a multiple of their size rounded up to a power of two
// (at most a page) from the first page, wholly inside the pool. A refusal, or the end of the step
// budget, leaves the view failed.
TEST(CheckedViewTest, AdmitsAlignedRecordsAndByteRunsInsideChunksInUse) {
  KeyedStore store(1 << 20);
  SegmentGeometry g;
  ASSERT_TRUE(read_segment_geometry(store.base(), 1 << 20, &g));
  SlabPool* pool = store.pool();
  const uint64_t page = uint64_t{1} << g.page_shift;
  std::vector<std::pair<uint64_t, uint64_t>> chunks;  // (size, offset)
  for (uint64_t size : {8u, 24u, 64u, 100u, 2048u, 3000u, 3 * 4096u})
    chunks.emplace_back(size, offset_of_record(pool, slab_calloc_locked(pool, size)));
  CheckedView v(g, 10);
  uint64_t start, end;
  for (auto [size, off] : chunks) {
    ASSERT_TRUE(v.chunk_of(off + size - 1, &start, &end)) << size;
    EXPECT_TRUE(start == off && end - start >= size) << size;
    EXPECT_NE(CheckedView(g, 1).at<uint8_t>(off, size), nullptr) << size;
    EXPECT_EQ(CheckedView(g, 1).at<uint8_t>(off, end - start + 1), nullptr) << size;
  }
  const std::tuple<uint64_t, uint64_t, bool> records[] = {  // (offset, bytes, admitted)
      {chunks[2].second, kNodeHeaderSize, true},  {chunks[2].second + 8, kNodeHeaderSize, false},
      {chunks[3].second + 64, 64, true},          {chunks[3].second + 32, 64, false},
      {chunks[6].second, 3 * page, true},         {chunks[6].second + 2048, 3 * page, false},
      {g.pool_end - 64, 64, true},                {g.pool_end - 64, 128, false},
      {g.pool_end, 8, false},                     {g.desc_base, 8, false},
      {g.data_start - 64, 64, false},             {uint64_t{0} - 64, 64, false},
  };
  for (auto [off, bytes, admitted] : records)
    EXPECT_EQ(CheckedView(g, 1).at<uint64_t>(off, bytes) != nullptr, admitted) << off << " " << bytes;
  CheckedView misaligned(g, 1);
  EXPECT_EQ(misaligned.at<uint64_t>(chunks[3].second + 4), nullptr);
  EXPECT_EQ(misaligned.at<uint8_t>(chunks[3].second), nullptr) << "a failed view stays failed";
  EXPECT_TRUE(misaligned.failed());
  EXPECT_FALSE(v.chunk_of(chunks[0].second & ~(page - 1), &start, &end)) << "the bitmap chunks of a small page";
  for (auto [size, off] : chunks) slab_free_locked(pool, _lfof_<void>(pool, off));
  for (auto [size, off] : chunks) EXPECT_FALSE(v.chunk_of(off, &start, &end)) << "freed " << size;
  EXPECT_FALSE(v.chunk_of(g.desc_base, &start, &end) || v.chunk_of(g.pool_end, &start, &end));
  CheckedView budget(g, 2);
  EXPECT_TRUE(budget.step() && budget.step() && !budget.failed());
  EXPECT_FALSE(budget.step());
  EXPECT_TRUE(budget.failed());
}

}  // namespace
}  // namespace quillmap
