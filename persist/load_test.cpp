// The load: seeded random dictionaries survive a dump and a load; then refused and repeated entries, a
// load on top of what the store holds, and failures.
#include <gtest/gtest.h>

#include <random>

#include "entry/ipaddr_ops.h"
#include "persist/data_file.h"
#include "persist/testing/persist_fixture.h"
#include "util/testing/seed.h"

namespace quillmap {
namespace {

using testing::DictImage;
using testing::PersistStore;

// Pieces that YAML reads as something else than plain text, or that force quoting or folding.
const std::vector<std::string> kPieces = {
    "yes", "no", "null", "~", "true", "False", "0", "123", "-7", "0x1F", "1e3", ".inf", " ", "  ", "\t", "\n",
    "\n\n", "\r", "\r\n", "'", "\"", ":", ": ", "#", " #", "-", "- ", "?", "? ", "!", "&a", "*a", "[", "]",
    "{", "}", ",", "|", ">", "%", "@", "`", "\\", "---", "...", "value", "expires", "is_address", "a", "word",
    "\x01", "\x1b", "\x7f", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xc2\x85", "\xe2\x80\xa8",
    "\xe2\x80\xa9", "\xef\xbb\xbf", "\xc2\xa0", "\xef\xbf\xbe", "\xef\xbf\xbf", "\xf4\x8f\xbf\xbf",
};

void append_code_point(std::string& s, uint32_t cp) {
  const int n = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
  s += static_cast<char>(n == 1 ? cp : ((0xF00 >> n) & 0xFF) | (cp >> (6 * (n - 1))));
  for (int i = n - 2; i >= 0; --i) s += static_cast<char>(0x80 | ((cp >> (6 * i)) & 0x3F));
}

// A valid UTF-8 text without NUL, as ADD and SET admit.
std::string tricky_text(std::mt19937_64& rng, size_t max_pieces) {
  std::string s;
  for (size_t n = rng() % (max_pieces + 1); n > 0; --n) {
    const uint64_t pick = rng() % 6;
    if (pick == 0) {
      const auto cp = static_cast<uint32_t>(1 + rng() % 0x10FFFF);
      append_code_point(s, cp >= 0xD800 && cp <= 0xDFFF ? cp + 0x800 : cp);  // no surrogate
    } else if (pick == 1) {
      s += std::string(1 + rng() % 30, 'x') + " ";  // long runs of words make the emitter fold lines
    } else {
      s += kPieces[rng() % kPieces.size()];
    }
  }
  return s;
}

std::string address_text(std::mt19937_64& rng) {
  const bool v4 = rng() % 2 == 0;
  const auto a = static_cast<unsigned>(rng() % 65536), b = static_cast<unsigned>(rng() % 65536);
  const auto c = static_cast<unsigned>(rng() % 65536);
  char buf[64];
  if (v4) snprintf(buf, sizeof buf, "%u.%u.%u.%u", a % 256, a / 256, b % 256, c % 256);
  else snprintf(buf, sizeof buf, "%x:%x::%x", a, b, c);
  return buf + (rng() % 3 == 0 ? "" : "/" + std::to_string(rng() % (v4 ? 33 : 129)));
}

// None, one with the top bit set (printed as a negative "%ld", read back as the same bits), or one to come.
uint64_t random_expiry(std::mt19937_64& rng) {
  const uint64_t choice = rng() % 4;
  return choice == 0 ? 0 : choice == 1 ? uint64_t{1} << 63 | rng() : static_cast<uint64_t>(time(nullptr)) + 3600 + rng() % 100000000;
}

// Random entries after the empty key, empty or blank values and a string entry whose text is an
// address; returns what the store holds.
DictImage fill(PersistStore& store, std::mt19937_64& rng, int count) {
  DictImage model = {{"", {"", 0, false}}, {"e", {"", 0, false}}, {" ", {" ", 0, false}}, {"10.1.2.3", {"s", 0, false}}};
  for (const auto& [key, e] : model) EXPECT_EQ(store.put(key, e.value, e.expires, e.is_address), 0);
  for (int i = 0; i < count; ++i) {
    const bool is_address = rng() % 5 == 0;
    const std::string key = is_address        ? address_text(rng)
                            : rng() % 50 == 0 ? std::string(1025 + rng() % 3000, 'k') + tricky_text(rng, 3)
                                              : tricky_text(rng, 6);  // over 1024 bytes: beyond a simple key
    const std::string value = rng() % 40 == 0 ? std::string(5000, 'v') + tricky_text(rng, 20) : tricky_text(rng, 8);
    if (const uint64_t expires = random_expiry(rng); model.emplace(key, testing::EntryImage{value, expires, is_address}).second) {
      EXPECT_EQ(store.put(key, value, expires, is_address), 0) << "key " << key;
    }
  }
  return model;
}

TEST(RoundTrip, RandomTrickyDictionaries) {
  for (uint32_t default_seed : {1u, 2u, 3u}) {
    const uint32_t seed = testing::test_seed(default_seed);  // QUILLMAP_SEED replaces all three
    SCOPED_TRACE(testing::seed_trace(seed));
    std::mt19937_64 rng(seed);
    PersistStore store;
    const DictImage model = fill(store, rng, 3000);  // what the loaded store must hold

    testing::ScratchDir dir;
    std::string path = dir.file("data.yaml");
    testing::LogCapture log;
    ASSERT_EQ(rbtree_dump(store.pool(), path.c_str()), static_cast<int64_t>(model.size()));

    PersistStore loaded;
    ASSERT_EQ(load_data(loaded.pool(), path.c_str()), static_cast<int64_t>(model.size())) << log.text();
    ASSERT_EQ(loaded.image(), model);
    EXPECT_EQ(testing::entry_store_check(loaded.pool()), "");  // the string entry with an address text in no trie
  }
}

std::string entry_text(const std::string& key, const std::string& value, bool is_address = false) {
  return key + ":\n  value: " + value + "\n  is_address: " + (is_address ? "true" : "false") + "\n";
}

// Into an empty store (where no entry is searched for first) every entry handed over counts, refused
// and repeated ones too; then a failed load, or one that cannot take the lock, keeps what the store
// held. (LOAD as a whole, which replaces the store only once the whole file is read, is the dispatcher
// model's.)
TEST(Load, RefusedEntriesAndFailures) {
  PersistStore store;
  testing::ScratchDir dir;
  testing::LogCapture log;
  const std::string path = dir.file("data.yaml");
  const auto load = [&](const std::string& text) { return testing::write_file(path, text), load_data(store.pool(), path.c_str()); };
  EXPECT_EQ(load(entry_text("k", "first") + entry_text("not-an-address", "x", true) + entry_text("k", "again") +
                 entry_text("10.0.0.0/8", "v4", true) + entry_text("10.0.0.0/8", "again", true)), 5);
  EXPECT_TRUE(log.contains("[WARN]: Address not-an-address was not loaded as it is not a valid address"));
  EXPECT_TRUE(log.contains("[WARN]: Could not add key k because key exists"));
  // On top of a store that holds entries (a restarted worker's), present ones stay and count.
  EXPECT_EQ(load(entry_text("k", "newer") + entry_text("10.0.0.0/8", "newer", true)), 2);
  const testing::DictImage want = {{"k", {"first", 0, false}}, {"10.0.0.0/8", {"v4", 0, true}}};
  EXPECT_EQ(store.image(), want);
  EXPECT_EQ(get_ipaddr(store.pool(), "10.20.30.40", 11), kDone);

  EXPECT_EQ(load(entry_text("kept", "old") + "c: [unclosed\n"), -1);
  ASSERT_EQ(store.image().size(), 3u);  // what was read before the error
  const testing::DictImage before = store.image();
  EXPECT_EQ(load_data(store.pool(), nullptr) + load_replacing(store.pool(), nullptr), -2);
  EXPECT_EQ(load_data(store.pool(), dir.file("missing.yaml").c_str()), -1);
  store.pool()->lock = kLockWriter;  // a purge that cannot take its lock loads nothing
  EXPECT_EQ(load(entry_text("a", "file")), -3);
  EXPECT_EQ(load_replacing(store.pool(), path.c_str()), -1);
  store.pool()->lock = 0;
  EXPECT_TRUE(log.contains("[ERROR]: load_data: could not get write lock"));
  EXPECT_EQ(store.image(), before);
  EXPECT_EQ(testing::entry_store_check(store.pool()), "");
}

}  // namespace
}  // namespace quillmap
