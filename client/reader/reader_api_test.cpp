// The reader against a store filled through the entry operations: a seeded model of random changes of
// string and address keys that the reader shows exactly, with the guard's share and a writer's lock; the C
// interface; the command-line commands.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
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
#include "index/index_layout.h"
#include "store/rbtree.h"
#include "store/rwlock.h"
#include "util/testing/seed.h"

namespace quillmap {
namespace {

using testing::KeyedStore;

void add(KeyedStore& s, const std::string& k, const std::string& v, uint64_t expires = 0) {
  ASSERT_EQ(add_key(s.pool(), k.data(), k.size(), v.data(), v.size(), expires), kDone) << k;
}

// An address (4 or 16 bytes, network order) with the bits from `len` on cleared, and its text.
std::string clear_from(std::string a, unsigned len) {
  for (unsigned bit = len; bit < a.size() * 8; ++bit) a[bit / 8] &= static_cast<char>(~(0x80 >> (bit % 8)));
  return a;
}
std::string text_of(const std::string& a) {
  char buf[INET6_ADDRSTRLEN];
  inet_ntop(a.size() == 4 ? AF_INET : AF_INET6, a.data(), buf, sizeof buf);
  return buf;
}

struct Stored { std::string value; uint64_t expires; };
struct Net { std::string bytes; unsigned len; };  // the prefix of an address key, host bits clear

// Lookups, batches, the walk and its order; expiry never, past, this second or later, shown and hidden;
// copies into small buffers; matches against a brute-force longest prefix as text (a length clears host
// bits), binary, one-shot and batched; through the index and by the plain walk.
TEST(ReaderTest, ModelOfRandomChangesIsReadExactly) {
  const uint32_t seed = testing::test_seed(20261207);
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937 rng(seed);
  KeyedStore store(16 << 20);
  Reader reader, hiding;
  ASSERT_EQ(Reader::open(store.data_path(), &reader), ReadStatus::kOk);
  ASSERT_EQ(Reader::open(store.data_path(), &hiding, {.hide_expired = true}), ReadStatus::kOk);
  auto random_text = [&](size_t max_len) {  // UTF-8 text (the store refuses anything else)
    static const char* const kPieces[] = {"a", "Z", "7", " ", "\t", "\"", "\xc3\xa4", "\xe2\x9c\x93", "\xf0\x9f\x98\x80"};
    std::string s;
    for (size_t n = rng() % (max_len + 1); n > 0; --n) s += kPieces[rng() % std::size(kPieces)];
    return s;
  };
  auto random_address = [&](size_t n) { std::string a(n, '\0'); for (char& c : a) c = static_cast<char>(rng()); return a; };
  // Address keys of distinct prefixes, any length 1 in 4 or else at least half the width, their text with
  // host bits set, at full length now and then without "/len".
  std::vector<std::string> universe{""};
  std::map<std::string, Net> nets;
  for (int i = 0; i < 300; ++i) universe.push_back("k" + std::to_string(i) + "/" + random_text(6));
  for (std::map<std::pair<std::string, unsigned>, bool> seen; seen.size() < 600;) {
    const size_t n = seen.size() % 2 ? 16 : 4;
    const std::string a = random_address(n);
    const unsigned len = rng() % 4 == 0 ? rng() % (n * 8 + 1) : n * 4 + rng() % (n * 4 + 1);
    const std::string key = text_of(a) + (len == n * 8 && rng() % 2 ? "" : "/" + std::to_string(len));
    if (text_of(clear_from(a, len)) == "255.255.255.255" || !seen.emplace(std::pair{clear_from(a, len), len}, true).second) continue;
    nets[key] = {clear_from(a, len), len};
    universe.push_back(key);
  }
  std::map<std::string, Stored> model;
  auto longest = [&](const std::string& a) {  // the key of the longest stored prefix covering `a`, or ""
    std::string best;
    for (const auto& [key, net] : nets)
      if (model.count(key) && net.bytes.size() == a.size() && clear_from(a, net.len) == net.bytes &&
          (best.empty() || net.len > nets[best].len))
        best = key;
    return best;
  };
  // An address inside a stored prefix (its host bits random) three times in four, or anywhere.
  auto probe = [&] {
    std::string k = universe[301 + rng() % nets.size()];
    for (int tries = 0; tries < 8 && !model.count(k); ++tries) k = universe[301 + rng() % nets.size()];
    std::string a = random_address(rng() % 4 == 0 ? 20 - nets[k].bytes.size() : nets[k].bytes.size());
    if (a.size() != nets[k].bytes.size()) return a;
    const std::string cleared = clear_from(a, nets[k].len);  // the host bits of `a` are a ^ cleared
    for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<char>(nets[k].bytes[i] | (a[i] ^ cleared[i]));
    return a;
  };

  const uint64_t valid = store.index()->valid;
  int found = 0;
  EXPECT_EQ(valid & (kIndexPrefix4Valid | kIndexPrefix6Valid), kIndexPrefix4Valid | kIndexPrefix6Valid);
  for (int round = 0; round < 20; ++round) {
    const uint64_t round_now = static_cast<uint64_t>(std::time(nullptr));
    for (int op = 0; op < 80; ++op) {
      const std::string& k = universe[rng() % universe.size()];
      const bool address = nets.count(k) != 0;
      const std::string v = random_text(rng() % 4 == 0 ? 600 : 20);
      const uint64_t pick = rng() % 6;  // never, long past, the current second (not yet expired) or the future
      const uint64_t expires = pick < 3 ? 0 : pick == 3 ? rng() % 100000 : pick == 4 ? round_now : round_now + 1000;
      const auto put = address ? (rng() % 2 ? add_ipaddr : set_ipaddr) : (rng() % 2 ? add_key : set_key);
      if (rng() % 3 == 0) {
        (address ? delete_ipaddr : delete_key)(store.pool(), k.data(), k.size());
        model.erase(k);
        continue;
      }
      const int64_t r = put(store.pool(), k.data(), k.size(), v.data(), v.size(), expires);
      ASSERT_NE(r, kFailed) << "refused " << k;
      if (r == kDone || (put != add_key && put != add_ipaddr)) model[k] = {v, expires};
    }
    // Odd rounds read with the index given up (as index=0 would): the plain walk answers alike.
    if (round % 2 == 1) store.index()->valid = 0;
    std::vector<std::string_view> keys(universe.begin(), universe.end());
    std::vector<std::string> values(keys.size());
    std::vector<ReadStatus> statuses(keys.size());
    std::vector<EntryInfo> infos(keys.size());
    ASSERT_EQ(reader.get_many(keys.data(), keys.size(), values.data(), statuses.data(), infos.data()), ReadStatus::kOk);
    std::string value, key;
    EntryInfo info;
    char small[32];
    size_t visible = 0, walked_visible = 0;
    const uint64_t hide_now = static_cast<uint64_t>(std::time(nullptr));
    for (size_t i = 0; i < keys.size(); ++i) {
      const std::string& k = universe[i];
      auto it = model.find(k);
      ASSERT_EQ(statuses[i], it == model.end() ? ReadStatus::kNotFound : ReadStatus::kOk) << k;
      // An entry expiring in this very second is still shown.
      const bool shown = it != model.end() && (it->second.expires == 0 || it->second.expires >= hide_now);
      visible += shown;
      const ReadStatus hidden_or_not = hiding.get(k, &value);
      ASSERT_TRUE(uint64_t(std::time(nullptr)) != hide_now || hidden_or_not == (shown ? ReadStatus::kOk : ReadStatus::kNotFound)) << k;
      ASSERT_EQ(reader.get(k, &value, &info), statuses[i]) << k;
      if (it == model.end()) continue;
      ASSERT_TRUE(values[i] == it->second.value && infos[i].expires == it->second.expires && value == values[i] &&
                  info.expires == it->second.expires && info.is_address == (nets.count(k) != 0))
          << k;
      const bool fits = value.size() <= sizeof small;
      ASSERT_EQ(reader.get(k, small, sizeof small, &info), fits ? ReadStatus::kOk : ReadStatus::kNoSpace) << k;
      ASSERT_TRUE(info.value_len == value.size() && (!fits || std::string(small, info.value_len) == value)) << k;
    }
    std::vector<std::string> walked;
    ASSERT_EQ(reader.for_each([&](const EntryView& e) {
      auto it = model.find(std::string(e.key));
      EXPECT_TRUE(it != model.end() && it->second.value == e.value) << e.key;
      walked.emplace_back(e.key);
      return true;
    }), ReadStatus::kOk);
    ASSERT_EQ(walked.size(), model.size());
    // Tree order: checksum, then bytes over the shorter length, then the shorter key.
    ASSERT_TRUE(std::is_sorted(walked.begin(), walked.end(), [](const std::string& a, const std::string& b) {
      return std::pair{crc32_short(a.data(), a.size()), a} < std::pair{crc32_short(b.data(), b.size()), b};
    }));
    ASSERT_EQ(hiding.for_each([&](const EntryView&) { return ++walked_visible, true; }), ReadStatus::kOk);
    ASSERT_TRUE(uint64_t(std::time(nullptr)) != hide_now || walked_visible == visible);

    ReadGuard guard(reader);
    ASSERT_EQ(guard.status(), ReadStatus::kOk);
    std::vector<std::string> batch, wants;  // the probes' addresses, matched in one batch afterwards
    for (int i = 0; i < 150; ++i) {
      std::string a = probe(), text = text_of(a);
      if (i % 8 == 1) {
        const unsigned len = rng() % (a.size() * 8 + 1);
        text += "/" + std::to_string(len);
        a = clear_from(a, len);
      }
      const std::string want = wants.emplace_back(longest(batch.emplace_back(a)));
      const ReadStatus expected = (found += !want.empty(), want.empty() ? ReadStatus::kNotFound : ReadStatus::kOk);
      EntryView e, b;
      ASSERT_EQ(guard.match(text, &e), expected) << text;
      ASSERT_TRUE(want.empty() || (e.key == want && e.value == model[want].value && e.is_address)) << text;
      if (i % 8 == 0) {  // the binary form and the one-shot call give the same answer
        ASSERT_EQ(guard.match_binary(a.data(), a.size(), &b), expected) << text;
        ASSERT_EQ(reader.match(text, &key, &value, &info), expected) << text;
        ASSERT_TRUE(want.empty() || (b.key == want && key == want && value == model[want].value)) << text;
      }
    }
    guard.release();
    const std::vector<std::string_view> addresses(batch.begin(), batch.end());
    std::vector<std::string> matched(batch.size()), matched_values(batch.size());
    statuses.resize(batch.size());
    ASSERT_EQ(reader.match_many(addresses.data(), batch.size(), matched.data(), matched_values.data(), statuses.data()),
              ReadStatus::kOk);
    for (size_t i = 0; i < batch.size(); ++i)
      ASSERT_TRUE(statuses[i] == (wants[i].empty() ? ReadStatus::kNotFound : ReadStatus::kOk) &&
                  (wants[i].empty() || (matched[i] == wants[i] && matched_values[i] == model[wants[i]].value)))
          << text_of(batch[i]);
    store.index()->valid = valid;
  }
  EXPECT_GT(found, 20 * 150 / 2) << "probes mostly fall inside stored prefixes";
  std::string key;
  {  // A guard holds one share (every other one was given back). A writer that waited too long clears the
     // word and changes the dictionary; a share taken since makes the word look held again, but the change
     // epoch has moved on.
    ReadGuard guard(reader);
    ASSERT_TRUE(guard.status() == ReadStatus::kOk && store.pool()->lock == 1u);
    ASSERT_EQ(force_unlock(&store.pool()->lock), kDone);
    ASSERT_NE(set_key(store.pool(), "b", 1, "2", 1, 0), kFailed);
    ReadGuard since(reader);
    ASSERT_TRUE(since.status() == ReadStatus::kOk && store.pool()->lock == 1u);
    EntryView e;
    EXPECT_TRUE(guard.validate() == ReadStatus::kChanged && guard.get("b", &e) == ReadStatus::kChanged);
    EXPECT_EQ(since.validate(), ReadStatus::kOk);
    since.release();
    guard.release();
    EXPECT_EQ(guard.get("b", &e), ReadStatus::kBadState);
  }
  EXPECT_EQ(store.pool()->lock, 0u) << "a cleared share is not given back twice";
  // A writer holding the lock makes the reader give up with a clear error, the word untouched.
  ASSERT_EQ(rwlock_wlock(&store.pool()->lock), kDone);
  EXPECT_TRUE(reader.get("b", &key) == ReadStatus::kLockUnavailable && store.pool()->lock == kLockWriter);
  ASSERT_EQ(rwlock_unlock(&store.pool()->lock), kDone);
  EXPECT_EQ(reader.get("b", &key), ReadStatus::kOk);
}

// The C interface's own paths: buffers too small, batches with per-item results, the section's state
// rules. (What it answers is the C++ interface's, which the model reads.)
TEST(ReaderCApiTest, OneShotSectionsAndWalk) {
  KeyedStore store;
  add(store, "key", "value", 99);
  add(store, "other", "x");
  ASSERT_EQ(add_ipaddr(store.pool(), "10.0.0.0/8", 10, "net", 3, 0), kDone);
  quillmap_reader* r = nullptr;
  ASSERT_EQ(quillmap_reader_open(store.data_path().c_str(), 0, &r), QUILLMAP_READER_OK);
  char buf[16], small[2], key_buf[16];
  quillmap_reader_info info;
  EXPECT_TRUE(quillmap_reader_get(r, "key", 3, buf, sizeof buf, &info) == QUILLMAP_READER_OK &&
              std::string(buf, info.value_len) == "value" && info.expires == 99u);
  EXPECT_TRUE(quillmap_reader_get(r, "key", 3, nullptr, 0, &info) == QUILLMAP_READER_E_SPACE && info.value_len == 5u);
  quillmap_reader_get_item items[] = {{"key", 3, buf, sizeof buf, {}, 1}, {"nope", 4, buf, sizeof buf, {}, 1},
                                      {"other", 5, small, sizeof small, {}, 1}, {"key", 3, small, 2, {}, 1}};
  ASSERT_EQ(quillmap_reader_get_many(r, items, 4), QUILLMAP_READER_OK);
  EXPECT_TRUE(items[0].status == QUILLMAP_READER_OK && items[0].info.value_len == 5u && small[0] == 'x');
  EXPECT_TRUE(items[1].status == QUILLMAP_READER_NOT_FOUND && items[2].status == QUILLMAP_READER_OK);
  EXPECT_TRUE(items[3].status == QUILLMAP_READER_E_SPACE && items[3].info.value_len == 5u);
  const uint8_t inside[4] = {10, 1, 2, 3}, outside[4] = {11, 0, 0, 1};
  quillmap_reader_match_item matches[] = {{inside, 4, key_buf, sizeof key_buf, buf, sizeof buf, {}, 1},
                                          {outside, 4, key_buf, sizeof key_buf, buf, sizeof buf, {}, 1},
                                          {inside, 3, key_buf, sizeof key_buf, buf, sizeof buf, {}, 1}};
  ASSERT_EQ(quillmap_reader_match_many(r, matches, 3), QUILLMAP_READER_OK);
  EXPECT_TRUE(matches[0].status == QUILLMAP_READER_OK && std::string(key_buf, matches[0].info.key_len) == "10.0.0.0/8");
  EXPECT_TRUE(matches[1].status == QUILLMAP_READER_NOT_FOUND && matches[2].status == QUILLMAP_READER_E_ARGUMENT);
  EXPECT_EQ(quillmap_reader_match(r, "not an address", 14, nullptr, 0, nullptr, 0, &info), QUILLMAP_READER_E_ARGUMENT);

  quillmap_reader_entry e;
  EXPECT_EQ(quillmap_reader_get_view(r, "key", 3, &e), QUILLMAP_READER_E_STATE);
  ASSERT_EQ(quillmap_reader_begin(r), QUILLMAP_READER_OK);
  EXPECT_TRUE(quillmap_reader_begin(r) == QUILLMAP_READER_E_STATE &&
              quillmap_reader_get(r, "key", 3, buf, sizeof buf, &info) == QUILLMAP_READER_E_STATE);
  EXPECT_TRUE(quillmap_reader_get_view(r, "key", 3, &e) == QUILLMAP_READER_OK &&
              std::string_view(static_cast<const char*>(e.value), e.value_len) == "value");
  EXPECT_TRUE(quillmap_reader_validate(r) == QUILLMAP_READER_OK && quillmap_reader_end(r) == QUILLMAP_READER_OK);
  int count = 0;
  auto counter = [](const quillmap_reader_entry*, void* arg) { return ++*static_cast<int*>(arg), 0; };
  EXPECT_TRUE(quillmap_reader_for_each(r, counter, &count) == QUILLMAP_READER_OK && count == 3);
  EXPECT_STREQ(quillmap_reader_strerror(QUILLMAP_READER_E_CHANGED), "changed while reading");
  // A daemon's stop under a section: the section and refresh() report it until the section ends.
  ASSERT_EQ(quillmap_reader_begin(r), QUILLMAP_READER_OK);
  store.remove_segment();
  EXPECT_TRUE(quillmap_reader_refresh(r) == QUILLMAP_READER_E_CHANGED &&
              quillmap_reader_validate(r) == QUILLMAP_READER_E_CHANGED &&
              quillmap_reader_get_view(r, "key", 3, &e) == QUILLMAP_READER_E_CHANGED);
  EXPECT_TRUE(quillmap_reader_end(r) == QUILLMAP_READER_OK &&
              quillmap_reader_refresh(r) == QUILLMAP_READER_E_NO_SEGMENT);
  quillmap_reader_close(r);
  quillmap_reader* none = nullptr;
  EXPECT_TRUE(quillmap_reader_open(nullptr, 0, &none) == QUILLMAP_READER_E_ARGUMENT && none == nullptr);
}

// One command of the command-line tool: (status, stdout, stderr).
std::tuple<int, std::string, std::string> run_cli(const ReaderCliOptions& o, std::vector<std::string> words) {
  char* text[2];
  size_t len[2];
  FILE *out = open_memstream(&text[0], &len[0]), *err = open_memstream(&text[1], &len[1]);
  const int rc = run_reader_command(o, words[0], {words.begin() + 1, words.end()}, out, err);
  fclose(out), fclose(err);
  std::tuple result{rc, std::string(text[0], len[0]), std::string(text[1], len[1])};
  return free(text[0]), free(text[1]), result;
}

TEST(ReaderCliTest, PeekAndEntriesAsTextAndJson) {
  KeyedStore store;
  add(store, "k\"1", "tab\there", 5);
  ReaderCliOptions o, nowhere;
  o.data_path = store.data_path();
  nowhere.data_path = store.dir() + "/missing";
  EXPECT_EQ(run_cli(o, {"peek", "k\"1"}), std::tuple(0, "k\"1\ttab\\x09here\t5\tstring\n", ""));
  o.json = true;
  EXPECT_EQ(run_cli(o, {"entries"}),
            std::tuple(0, "{\"key\":\"k\\\"1\",\"value\":\"tab\\there\",\"expires\":5,\"address\":false}\n", ""));
  EXPECT_EQ(run_cli(o, {"peek", "missing"}), std::tuple(1, "null\n", ""));
  EXPECT_EQ(std::get<0>(run_cli(o, {"match"})), 2);
  auto [rc, out, err] = run_cli(nowhere, {"entries"});
  EXPECT_TRUE(rc == 2 && err.find("data path does not exist") != std::string::npos) << err;
}

}  // namespace
}  // namespace quillmap
