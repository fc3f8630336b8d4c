// The load into the store: expiry at load time, address entries in their tries, a malformed file,
// entries already present, and LOAD as a whole (parse first, then replace).

#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "persist/data_file.h"
#include "persist/testing/persist_fixture.h"
#include "store/testing/rbtree_check.h"

namespace quillmap {
namespace {

using testing::DictImage;
using testing::EntryImage;
using testing::LogCapture;
using testing::PersistStore;
using testing::ScratchDir;
using testing::write_file;

std::string entry_text(const std::string& key, const std::string& value, uint64_t expires, bool is_address) {
  return key + ":\n  value: " + value + "\n  expires: " + std::to_string(expires) +
         "\n  is_address: " + (is_address ? "true" : "false") + "\n";
}

TEST(Load, ExpiryAtLoadTime) {
  ScratchDir dir;
  std::string path = dir.file("data.yaml");
  uint64_t now = static_cast<uint64_t>(time(nullptr));
  write_file(path, "---\n" + entry_text("past", "p", now - 100, false) + entry_text("never", "n", 0, false) +
                       entry_text("future", "f", now + 1000, false) +
                       entry_text("10.9.0.0/16", "a", now - 5, true) + "...\n");
  PersistStore store;
  LogCapture log;
  EXPECT_EQ(load_data(store.pool(), path.c_str()), 2);
  DictImage image = store.image();
  EXPECT_EQ(image.count("never"), 1u);
  EXPECT_EQ(image.count("future"), 1u);
  EXPECT_TRUE(log.has("[INFO]: Key past was not loaded as it was expired\n")) << log.text();
  EXPECT_TRUE(log.has("[INFO]: Address 10.9.0.0/16 was not loaded as it was expired\n")) << log.text();
  EXPECT_EQ(store.trie_lookup("10.9.1.1"), ~uint64_t{0});
}

TEST(Load, AddressEntriesReachTheirTries) {
  ScratchDir dir;
  std::string path = dir.file("data.yaml");
  write_file(path, entry_text("10.0.0.0/8", "v4", 0, true) + entry_text("192.168.1.7", "host", 0, true) +
                       entry_text("'2001:db8::/32'", "v6", 0, true) + entry_text("10.1.2.3", "text", 0, false) +
                       entry_text("not-an-address", "x", 0, true));
  PersistStore store;
  LogCapture log;
  EXPECT_EQ(load_data(store.pool(), path.c_str()), 5);  // every entry handed over is counted
  EXPECT_TRUE(log.has("[WARN]: Address not-an-address was not loaded as it is not a valid address")) << log.text();
  DictImage image = store.image();
  EXPECT_EQ(image.size(), 4u);
  EXPECT_EQ(store.key_at(store.trie_lookup("10.20.30.40")), "10.0.0.0/8");
  EXPECT_EQ(store.key_at(store.trie_lookup("192.168.1.7")), "192.168.1.7");
  EXPECT_EQ(store.trie_lookup("192.168.1.8"), ~uint64_t{0});
  EXPECT_EQ(store.key_at(store.trie_lookup("2001:db8:1::5")), "2001:db8::/32");
  EXPECT_EQ(store.trie_lookup("2001:db9::1"), ~uint64_t{0});
  // A string entry whose text looks like an address stays out of the tries.
  EXPECT_EQ(store.key_at(store.trie_lookup("10.1.2.3")), "10.0.0.0/8");
  EXPECT_FALSE(image.at("10.1.2.3").is_address);
}

TEST(Load, MalformedFileKeepsEarlierEntries) {
  ScratchDir dir;
  std::string path = dir.file("data.yaml");
  write_file(path, entry_text("a", "1", 0, false) + entry_text("b", "2", 0, false) + "c: [unclosed\n");
  PersistStore store;
  LogCapture log;
  EXPECT_EQ(load_data(store.pool(), path.c_str()), -1);
  EXPECT_EQ(store.image().size(), 2u);
  EXPECT_TRUE(log.has("[ERROR]: Failed to emit event 0: ")) << log.text();
  EXPECT_EQ(load_data(store.pool(), nullptr), -1);
  EXPECT_EQ(load_data(store.pool(), dir.file("missing.yaml").c_str()), -1);
}

TEST(Load, PresentEntriesWinAndNothingLeaks) {
  // A restarted worker loads on top of the store its predecessor left: entries already present stay
  // as they are, for string and address keys alike, and the tree keeps one node per key.
  ScratchDir dir;
  std::string path = dir.file("data.yaml");
  write_file(path, entry_text("k", "from-file", 0, false) + entry_text("10.0.0.0/8", "from-file", 0, true) +
                       entry_text("k", "again", 0, false) + entry_text("new", "n", 0, false));
  PersistStore store;
  ASSERT_EQ(store.put("k", "in-store", 0, false), 0);
  ASSERT_EQ(store.put("10.0.0.0/8", "in-store", 0, true), 0);
  EXPECT_EQ(store.put("k", "x", 0, false), -4);
  uint64_t prefix_before = store.trie_lookup("10.1.1.1");

  EXPECT_EQ(load_data(store.pool(), path.c_str()), 4);
  DictImage image = store.image();
  EXPECT_EQ(image.size(), 3u);
  EXPECT_EQ(image.at("k").value, "in-store");
  EXPECT_EQ(image.at("10.0.0.0/8").value, "in-store");
  EXPECT_EQ(image.at("new").value, "n");
  EXPECT_EQ(store.trie_lookup("10.1.1.1"), prefix_before);
  EXPECT_EQ(testing::rbtree_check(store.pool(), key_tree_of(store.pool())), "");
}

TEST(Load, HeldLockStopsWithMinusThree) {
  ScratchDir dir;
  std::string path = dir.file("data.yaml");
  write_file(path, entry_text("a", "1", 0, false));
  PersistStore store;
  LogCapture log;
  store.pool()->lock = ~uint64_t{0};
  EXPECT_EQ(load_data(store.pool(), path.c_str()), -3);
  store.pool()->lock = 0;
  EXPECT_TRUE(log.has("[ERROR]: load_data: could not get write lock"));
  EXPECT_TRUE(store.image().empty());
}

TEST(LoadReplacing, ReplacesTheDictionary) {
  ScratchDir dir;
  std::string path = dir.file("data.yaml");
  write_file(path, entry_text("a", "file", 0, false) + entry_text("10.0.0.0/8", "file", 0, true));
  PersistStore store;
  ASSERT_EQ(store.put("a", "old", 0, false), 0);
  ASSERT_EQ(store.put("gone", "old", 0, false), 0);
  ASSERT_EQ(store.put("172.16.0.0/12", "old", 0, true), 0);
  LogCapture log;
  EXPECT_EQ(load_replacing(store.pool(), path.c_str()), 2);
  DictImage want = {{"a", EntryImage{"file", 0, false}}, {"10.0.0.0/8", EntryImage{"file", 0, true}}};
  EXPECT_EQ(store.image(), want);
  EXPECT_EQ(store.trie_lookup("172.16.1.1"), ~uint64_t{0});
  EXPECT_EQ(store.key_at(store.trie_lookup("10.1.1.1")), "10.0.0.0/8");
}

TEST(LoadReplacing, FailureLeavesTheDictionaryUntouched) {
  ScratchDir dir;
  std::string malformed = dir.file("bad.yaml");
  write_file(malformed, entry_text("a", "file", 0, false) + "b: [unclosed\n");
  PersistStore store;
  ASSERT_EQ(store.put("kept", "1", 0, false), 0);
  ASSERT_EQ(store.put("10.0.0.0/8", "2", 0, true), 0);
  DictImage before = store.image();
  LogCapture log;
  EXPECT_EQ(load_replacing(store.pool(), malformed.c_str()), -1);
  EXPECT_EQ(load_replacing(store.pool(), dir.file("missing.yaml").c_str()), -1);
  EXPECT_EQ(load_replacing(store.pool(), nullptr), -1);
  EXPECT_EQ(store.image(), before);
  EXPECT_EQ(store.key_at(store.trie_lookup("10.1.1.1")), "10.0.0.0/8");
  EXPECT_FALSE(log.has("Forcibly purging"));

  // A purge that cannot take its lock loads nothing.
  std::string good = dir.file("good.yaml");
  write_file(good, entry_text("a", "file", 0, false));
  store.pool()->lock = ~uint64_t{0};
  EXPECT_EQ(load_replacing(store.pool(), good.c_str()), -1);
  store.pool()->lock = 0;
  EXPECT_EQ(store.image(), before);
}

}  // namespace
}  // namespace quillmap
