// The reader against a store filled through the entry operations: exact bytes, expiry and flag, the
// one-shot and guarded forms, the C interface, the command-line commands, and a seeded model of random
// adds, sets and deletes whose every state the reader must show exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "client/reader/quillmap_reader.h"
#include "client/reader/quillmap_reader.hpp"
#include "client/reader/reader_cli.h"
#include "client/reader/testing/keyed_store.h"
#include "entry/ipaddr_ops.h"
#include "entry/key_ops.h"
#include "store/rbtree.h"
#include "store/rwlock.h"
#include "util/testing/seed.h"

namespace quillmap {
namespace {

using testing::KeyedStore;

struct Stored {
  std::string value;
  uint64_t expires;
};

void add(KeyedStore& s, const std::string& k, const std::string& v, uint64_t expires = 0) {
  ASSERT_EQ(add_key(s.pool(), k.data(), k.size(), v.data(), v.size(), expires), kDone) << k;
}

TEST(ReaderTest, GuardHoldsOneShareAndReportsAForcedUnlockAsChanged) {
  KeyedStore store;
  add(store, "a", "1");
  Reader reader;
  ASSERT_EQ(Reader::open(store.data_path(), &reader), ReadStatus::kOk);
  EntryView e;
  {
    ReadGuard guard(reader);
    ASSERT_EQ(guard.status(), ReadStatus::kOk);
    EXPECT_EQ(store.pool()->lock, 1u);
    guard.release();
    EXPECT_EQ(guard.get("a", &e), ReadStatus::kBadState);
  }
  EXPECT_EQ(store.pool()->lock, 0u);
  ReadGuard guard(reader);
  ASSERT_EQ(guard.status(), ReadStatus::kOk);
  // A writer that waited too long clears the word and changes the dictionary; another reader's share
  // then makes the word look like a share again, but the change epoch has moved on.
  ASSERT_EQ(force_unlock(&store.pool()->lock), kDone);
  add(store, "b", "2");
  Reader other;
  ASSERT_EQ(Reader::open(store.data_path(), &other), ReadStatus::kOk);
  ReadGuard other_guard(other);
  ASSERT_EQ(other_guard.status(), ReadStatus::kOk);
  EXPECT_EQ(store.pool()->lock, 1u);
  EXPECT_EQ(guard.validate(), ReadStatus::kChanged);
  EXPECT_EQ(guard.get("a", &e), ReadStatus::kChanged);
  EXPECT_EQ(other_guard.validate(), ReadStatus::kOk);
  other_guard.release();
  guard.release();
  EXPECT_EQ(store.pool()->lock, 0u) << "a cleared share is not given back twice";
  // A writer holding the lock makes the reader give up with a clear error, the word untouched.
  ASSERT_EQ(rwlock_wlock(&store.pool()->lock), kDone);
  std::string v;
  EXPECT_EQ(reader.get("a", &v), ReadStatus::kLockUnavailable);
  EXPECT_EQ(store.pool()->lock, kLockWriter);
  ASSERT_EQ(rwlock_unlock(&store.pool()->lock), kDone);
  EXPECT_EQ(reader.get("b", &v), ReadStatus::kOk);
}

// Tree order: checksum, then bytes over the shorter length, then the shorter key.
bool tree_before(const std::string& a, const std::string& b) {
  uint32_t ca = crc32_short(a.data(), a.size()), cb = crc32_short(b.data(), b.size());
  if (ca != cb) return ca < cb;
  return a < b;
}

// Values of any bytes; expiry never, past or future, read plainly and by a reader that hides expired
// entries; the copying form with a buffer too small for long values.
TEST(ReaderTest, ModelOfRandomChangesIsReadExactly) {
  const uint32_t seed = testing::test_seed(20261207);
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937 rng(seed);
  KeyedStore store;
  Reader reader, hiding;
  ASSERT_EQ(Reader::open(store.data_path(), &reader), ReadStatus::kOk);
  ReaderOptions hide;
  hide.hide_expired = true;
  ASSERT_EQ(Reader::open(store.data_path(), &hiding, hide), ReadStatus::kOk);
  const uint64_t now = static_cast<uint64_t>(std::time(nullptr));
  std::map<std::string, Stored> model;
  auto random_text = [&](size_t max_len) {  // UTF-8 text (the store refuses anything else)
    static const char* const kPieces[] = {"a", "Z", "7", " ", "\t", "\"", "\xc3\xa4", "\xe2\x9c\x93", "\xf0\x9f\x98\x80"};
    std::string s;
    for (size_t n = rng() % (max_len + 1); n > 0; --n) s += kPieces[rng() % std::size(kPieces)];
    return s;
  };
  std::vector<std::string> universe{""};
  for (int i = 0; i < 300; ++i) universe.push_back("k" + std::to_string(i) + "/" + random_text(6));  // all distinct

  for (int round = 0; round < 20; ++round) {
    const uint64_t round_now = static_cast<uint64_t>(std::time(nullptr));
    for (int op = 0; op < 60; ++op) {
      const std::string& k = universe[rng() % universe.size()];
      const std::string v = random_text(rng() % 4 == 0 ? 600 : 20);
      // Never, long past, the current second (not yet expired) or the future.
      const uint64_t pick = rng() % 6;
      const uint64_t expires = pick < 3 ? 0 : pick == 3 ? rng() % 100000 : pick == 4 ? round_now : now + 1000 + rng() % 1000;
      switch (rng() % 3) {
        case 0:
          if (add_key(store.pool(), k.data(), k.size(), v.data(), v.size(), expires) == kDone) model[k] = {v, expires};
          break;
        case 1:
          ASSERT_NE(set_key(store.pool(), k.data(), k.size(), v.data(), v.size(), expires), kFailed);
          model[k] = {v, expires};
          break;
        default:
          delete_key(store.pool(), k.data(), k.size());
          model.erase(k);
      }
    }
    // Odd rounds read with the index given up (as index=0 would): the plain walk answers alike.
    const uint64_t valid = store.index()->valid;
    if (round % 2 == 1) store.index()->valid = 0;
    std::vector<std::string_view> keys(universe.begin(), universe.end());
    std::vector<std::string> values(keys.size());
    std::vector<ReadStatus> statuses(keys.size());
    std::vector<EntryInfo> infos(keys.size());
    ASSERT_EQ(reader.get_many(keys.data(), keys.size(), values.data(), statuses.data(), infos.data()), ReadStatus::kOk);
    for (size_t i = 0; i < keys.size(); ++i) {
      auto it = model.find(universe[i]);
      ASSERT_EQ(statuses[i], it == model.end() ? ReadStatus::kNotFound : ReadStatus::kOk) << universe[i];
      if (it == model.end()) continue;
      ASSERT_EQ(values[i], it->second.value) << universe[i];
      ASSERT_EQ(infos[i].expires, it->second.expires) << universe[i];
    }
    std::string value;
    EntryInfo info;
    char small[32];
    size_t visible = 0;
    const uint64_t hide_now = static_cast<uint64_t>(std::time(nullptr));
    for (const std::string& k : universe) {
      auto it = model.find(k);
      // An entry expiring in this very second is still shown.
      const bool shown = it != model.end() && (it->second.expires == 0 || it->second.expires >= hide_now);
      visible += shown;
      const ReadStatus hidden_or_not = hiding.get(k, &value);
      if (static_cast<uint64_t>(std::time(nullptr)) == hide_now) {
        ASSERT_EQ(hidden_or_not, shown ? ReadStatus::kOk : ReadStatus::kNotFound) << k;
      }
      if (it == model.end()) {
        ASSERT_EQ(reader.get(k, &value, &info), ReadStatus::kNotFound) << k;
        continue;
      }
      ASSERT_EQ(reader.get(k, &value, &info), ReadStatus::kOk) << k;
      ASSERT_EQ(value, it->second.value) << k;
      ASSERT_EQ(info.expires, it->second.expires) << k;
      ASSERT_FALSE(info.is_address);
      const bool fits = value.size() <= sizeof small;
      ASSERT_EQ(reader.get(k, small, sizeof small, &info), fits ? ReadStatus::kOk : ReadStatus::kNoSpace) << k;
      ASSERT_EQ(info.value_len, value.size());
      if (fits) {
        ASSERT_EQ(std::string(small, info.value_len), value);
      }
    }
    std::vector<std::string> walked;
    ASSERT_EQ(reader.for_each([&](const EntryView& e) {
      auto it = model.find(std::string(e.key));
      EXPECT_TRUE(it != model.end() && it->second.value == e.value) << e.key;
      walked.emplace_back(e.key);
      return true;
    }),
              ReadStatus::kOk);
    ASSERT_EQ(walked.size(), model.size());
    ASSERT_TRUE(std::is_sorted(walked.begin(), walked.end(), tree_before));
    size_t shown = 0;
    ASSERT_EQ(hiding.for_each([&](const EntryView&) { return ++shown, true; }), ReadStatus::kOk);
    if (static_cast<uint64_t>(std::time(nullptr)) == hide_now) {
      ASSERT_EQ(shown, visible);
    }
    store.index()->valid = valid;
  }
  EXPECT_EQ(store.pool()->lock, 0u) << "every share is given back";
}

TEST(ReaderCApiTest, OneShotSectionsAndWalk) {
  KeyedStore store;
  add(store, "key", "value", 99);
  add(store, "other", "x");
  quillmap_reader* r = nullptr;
  ASSERT_EQ(quillmap_reader_open(store.data_path().c_str(), 0, &r), QUILLMAP_READER_OK);
  char buf[16];
  quillmap_reader_info info;
  ASSERT_EQ(quillmap_reader_get(r, "key", 3, buf, sizeof buf, &info), QUILLMAP_READER_OK);
  EXPECT_EQ(std::string(buf, info.value_len), "value");
  EXPECT_EQ(info.expires, 99u);
  EXPECT_EQ(quillmap_reader_get(r, "key", 3, nullptr, 0, &info), QUILLMAP_READER_E_SPACE);
  EXPECT_EQ(info.value_len, 5u);
  EXPECT_EQ(quillmap_reader_get(r, "nope", 4, buf, sizeof buf, &info), QUILLMAP_READER_NOT_FOUND);
  char small[2];
  quillmap_reader_get_item items[] = {{"key", 3, buf, sizeof buf, {}, 1}, {"nope", 4, buf, sizeof buf, {}, 1},
                                      {"other", 5, small, sizeof small, {}, 1}, {"key", 3, small, 2, {}, 1}};
  ASSERT_EQ(quillmap_reader_get_many(r, items, 4), QUILLMAP_READER_OK);
  EXPECT_EQ(items[0].status, QUILLMAP_READER_OK);
  EXPECT_EQ(items[0].info.value_len, 5u);
  EXPECT_EQ(items[1].status, QUILLMAP_READER_NOT_FOUND);
  EXPECT_EQ(items[2].status, QUILLMAP_READER_OK);
  EXPECT_EQ(std::string(small, 1), "x");
  EXPECT_EQ(items[3].status, QUILLMAP_READER_E_SPACE);
  EXPECT_EQ(items[3].info.value_len, 5u);
  ASSERT_EQ(add_ipaddr(store.pool(), "10.0.0.0/8", 10, "net", 3, 0), kDone);
  const uint8_t inside[4] = {10, 1, 2, 3}, outside[4] = {11, 0, 0, 1};
  char key_buf[16];
  quillmap_reader_match_item matches[] = {{inside, 4, key_buf, sizeof key_buf, buf, sizeof buf, {}, 1},
                                          {outside, 4, key_buf, sizeof key_buf, buf, sizeof buf, {}, 1},
                                          {inside, 3, key_buf, sizeof key_buf, buf, sizeof buf, {}, 1}};
  ASSERT_EQ(quillmap_reader_match_many(r, matches, 3), QUILLMAP_READER_OK);
  EXPECT_EQ(matches[0].status, QUILLMAP_READER_OK);
  EXPECT_EQ(std::string(key_buf, matches[0].info.key_len), "10.0.0.0/8");
  EXPECT_EQ(matches[1].status, QUILLMAP_READER_NOT_FOUND);
  EXPECT_EQ(matches[2].status, QUILLMAP_READER_E_ARGUMENT);

  quillmap_reader_entry e;
  EXPECT_EQ(quillmap_reader_get_view(r, "key", 3, &e), QUILLMAP_READER_E_STATE);
  ASSERT_EQ(quillmap_reader_begin(r), QUILLMAP_READER_OK);
  EXPECT_EQ(quillmap_reader_begin(r), QUILLMAP_READER_E_STATE);
  EXPECT_EQ(quillmap_reader_get(r, "key", 3, buf, sizeof buf, &info), QUILLMAP_READER_E_STATE);
  ASSERT_EQ(quillmap_reader_get_view(r, "key", 3, &e), QUILLMAP_READER_OK);
  EXPECT_EQ(std::string(static_cast<const char*>(e.value), e.value_len), "value");
  EXPECT_EQ(quillmap_reader_validate(r), QUILLMAP_READER_OK);
  EXPECT_EQ(quillmap_reader_end(r), QUILLMAP_READER_OK);
  EXPECT_EQ(store.pool()->lock, 0u);

  int count = 0;
  ASSERT_EQ(quillmap_reader_for_each(
                r, [](const quillmap_reader_entry*, void* arg) { return ++*static_cast<int*>(arg), 0; }, &count),
            QUILLMAP_READER_OK);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(quillmap_reader_match(r, "not an address", 14, nullptr, 0, nullptr, 0, &info), QUILLMAP_READER_E_ARGUMENT);
  EXPECT_STREQ(quillmap_reader_strerror(QUILLMAP_READER_E_CHANGED), "changed while reading");
  EXPECT_STREQ(quillmap_reader_strerror(QUILLMAP_READER_E_LOCK), "lock not available");
  quillmap_reader_close(r);
  quillmap_reader* none = nullptr;
  EXPECT_EQ(quillmap_reader_open(nullptr, 0, &none), QUILLMAP_READER_E_ARGUMENT);
  EXPECT_EQ(none, nullptr);
}

// Output of one command of the command-line tool: (status, stdout, stderr).
std::tuple<int, std::string, std::string> run_cli(const ReaderCliOptions& o, std::vector<std::string> words) {
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  const std::vector<std::string> args(words.begin() + 1, words.end());
  int rc = run_reader_command(o, words[0], args, out, err);
  auto slurp = [](FILE* f) {
    std::string s;
    rewind(f);
    for (int c; (c = fgetc(f)) != EOF;) s.push_back(static_cast<char>(c));
    fclose(f);
    return s;
  };
  std::string o_text = slurp(out);
  return {rc, o_text, slurp(err)};
}

TEST(ReaderCliTest, PeekAndEntriesAsTextAndJson) {
  KeyedStore store;
  add(store, "k\"1", "tab\there", 5);
  ReaderCliOptions o;
  o.data_path = store.data_path();
  auto [rc, out, err] = run_cli(o, {"peek", "k\"1"});
  EXPECT_EQ(rc, 0) << err;
  EXPECT_EQ(out, "k\"1\ttab\\x09here\t5\tstring\n");
  o.json = true;
  std::tie(rc, out, err) = run_cli(o, {"entries"});
  EXPECT_EQ(rc, 0) << err;
  EXPECT_EQ(out, "{\"key\":\"k\\\"1\",\"value\":\"tab\\there\",\"expires\":5,\"address\":false}\n");
  std::tie(rc, out, err) = run_cli(o, {"peek", "missing"});
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(out, "null\n");
  std::tie(rc, out, err) = run_cli(o, {"match"});
  EXPECT_EQ(rc, 2);
  ReaderCliOptions nowhere;
  nowhere.data_path = store.dir() + "/missing";
  std::tie(rc, out, err) = run_cli(nowhere, {"entries"});
  EXPECT_EQ(rc, 2);
  EXPECT_NE(err.find("data path does not exist"), std::string::npos) << err;
}

}  // namespace
}  // namespace quillmap
