// A reader that outlives its daemon: the segment marked for removal and a new one created under the
// same key (a stop and a start) are noticed at refresh(), at the periodic check and after a lookup
// that met a change; one-shot calls then answer from the new segment, or kNoSegment while there is
// none; guards holding views keep the old segment attached and report kChanged.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "client/reader/quillmap_reader.h"
#include "client/reader/quillmap_reader.hpp"
#include "client/reader/testing/keyed_store.h"
#include "entry/key_ops.h"
#include "store/rwlock.h"

namespace quillmap {
namespace {

using testing::KeyedStore;

void add(SlabPool* pool, const std::string& k, const std::string& v) {
  ASSERT_EQ(add_key(pool, k.data(), k.size(), v.data(), v.size(), 0), kDone) << k;
}

// The value of `key`, or the status text.
std::string value_of(Reader& reader, const std::string& key) {
  std::string v;
  ReadStatus s = reader.get(key, &v);
  return s == ReadStatus::kOk ? v : read_status_text(s);
}

TEST(ReaderRefreshTest, FollowsTheLiveSegmentAcrossRemovalAndRecreation) {
  KeyedStore store;
  add(store.pool(), "a", "old");
  Reader lazy, eager, never;  // checking once a second, at every lookup, only on refresh and changes
  ASSERT_EQ(Reader::open(store.data_path(), &lazy), ReadStatus::kOk);
  ASSERT_EQ(Reader::open(store.data_path(), &eager, {.check_interval_ms = 0}), ReadStatus::kOk);
  ASSERT_EQ(Reader::open(store.data_path(), &never, {.check_interval_ms = -1}), ReadStatus::kOk);
  quillmap_reader* c = nullptr;
  ASSERT_EQ(quillmap_reader_open(store.data_path().c_str(), 0, &c), QUILLMAP_READER_OK);
  ASSERT_EQ(quillmap_reader_begin(c), QUILLMAP_READER_OK);  // a section held across the restart
  quillmap_reader_entry entry;
  ASSERT_EQ(quillmap_reader_get_view(c, "a", 1, &entry), QUILLMAP_READER_OK);
  EntryView view;
  ReadGuard guard(eager);
  ASSERT_EQ(guard.get("a", &view), ReadStatus::kOk);
  void* old_base = shmat(store.id(), nullptr, 0);  // the stopped daemon's segment, still writable
  ASSERT_NE(old_base, reinterpret_cast<void*>(-1));
  // A data file replaced under a running daemon changes the key, not the segment it serves.
  const std::string moved = store.dir() + "/new.yaml";
  ASSERT_TRUE(std::ofstream(moved).good());
  ASSERT_EQ(rename(moved.c_str(), store.data_path().c_str()), 0);
  EXPECT_EQ(never.refresh(), ReadStatus::kOk);

  store.remove_segment();
  store.create_segment();
  add(store.pool(), "a", "new");
  EXPECT_EQ(lazy.refresh(), ReadStatus::kOk);
  EXPECT_EQ(value_of(lazy, "a"), "new");
  // Guards and sections holding views keep the old segment; they and new guards report the change.
  EXPECT_EQ(guard.get("a", &view), ReadStatus::kChanged);
  EXPECT_EQ(guard.validate(), ReadStatus::kChanged);
  EXPECT_EQ(view.value, "old") << "views stay readable until the guard ends";
  EXPECT_EQ(ReadGuard(eager).status(), ReadStatus::kChanged);
  EXPECT_EQ(eager.refresh(), ReadStatus::kChanged);
  EXPECT_EQ(quillmap_reader_refresh(c), QUILLMAP_READER_E_CHANGED);
  EXPECT_EQ(quillmap_reader_get_view(c, "a", 1, &entry), QUILLMAP_READER_E_CHANGED);
  EXPECT_EQ(quillmap_reader_validate(c), QUILLMAP_READER_E_CHANGED);
  EXPECT_EQ(std::string(static_cast<const char*>(entry.value), entry.value_len), "old");
  guard.release();
  ASSERT_EQ(quillmap_reader_end(c), QUILLMAP_READER_OK);
  EXPECT_EQ(value_of(eager, "a"), "new") << "the periodic check";
  char buf[8];
  quillmap_reader_info info;
  ASSERT_EQ(quillmap_reader_get(c, "a", 1, buf, sizeof buf, &info), QUILLMAP_READER_OK);

  // A writer met under a share makes even a reader that never checks periodically look again.
  EXPECT_EQ(value_of(never, "a"), "old");
  {
    ReadGuard g(never);
    ASSERT_EQ(force_unlock(&static_cast<SlabPool*>(old_base)->lock), kDone);
    add(static_cast<SlabPool*>(old_base), "b", "x");
    EXPECT_EQ(g.get("a", &view), ReadStatus::kChanged);
  }
  EXPECT_EQ(value_of(never, "a"), "new");
  shmdt(old_base);

  // With no daemon every call says so; a new segment is found again.
  store.remove_segment();
  EXPECT_EQ(value_of(eager, "a"), read_status_text(ReadStatus::kNoSegment));
  EXPECT_EQ(ReadGuard(eager).status(), ReadStatus::kNoSegment);
  EXPECT_EQ(lazy.refresh(), ReadStatus::kNoSegment);
  EXPECT_EQ(value_of(lazy, "a"), read_status_text(ReadStatus::kNoSegment));
  EXPECT_EQ(quillmap_reader_refresh(c), QUILLMAP_READER_E_NO_SEGMENT);
  EXPECT_EQ(quillmap_reader_get(c, "a", 1, buf, sizeof buf, &info), QUILLMAP_READER_E_NO_SEGMENT);
  store.create_segment();
  add(store.pool(), "a", "third");
  EXPECT_EQ(value_of(eager, "a"), "third");
  EXPECT_EQ(lazy.refresh(), ReadStatus::kOk);
  EXPECT_EQ(value_of(lazy, "a"), "third");
  quillmap_reader_close(c);
}

}  // namespace
}  // namespace quillmap
