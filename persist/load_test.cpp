// The load into the store: expiry at load time, address entries in their tries, a malformed file,
// entries already present, and LOAD as a whole (parse first, then replace). After each load the
// store is checked whole: every prefix names a live address entry of that very prefix.

#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "entry/ipaddr_ops.h"
#include "persist/data_file.h"
#include "persist/testing/persist_fixture.h"

namespace quillmap {
namespace {

using testing::DictImage;
using testing::EntryImage;

std::string entry_text(const std::string& key, const std::string& value, uint64_t expires, bool is_address) {
  return key + ":\n  value: " + value + "\n  expires: " + std::to_string(expires) +
         "\n  is_address: " + (is_address ? "true" : "false") + "\n";
}

class Load : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(testing::entry_store_check(store_.pool()), ""); }
  std::string file(const std::string& text) {
    testing::write_file(path_, text);
    return path_;
  }
  int64_t get(const std::string& addr) { return get_ipaddr(store_.pool(), addr.data(), addr.size()); }
  testing::PersistStore store_;
  testing::ScratchDir dir_;
  std::string path_ = dir_.file("data.yaml");
  testing::LogCapture log_;
};

TEST_F(Load, AddressEntriesReachTheirTriesAndExpiredEntriesStayOut) {
  const uint64_t now = static_cast<uint64_t>(time(nullptr));
  file(entry_text("10.0.0.0/8", "v4", 0, true) + entry_text("192.168.1.7", "host", now + 1000, true) +
       entry_text("'2001:db8::/32'", "v6", 0, true) + entry_text("10.1.2.3", "text", 0, false) +
       entry_text("not-an-address", "x", 0, true) + entry_text("past", "p", now - 100, false) +
       entry_text("10.9.0.0/16", "a", now - 5, true));
  EXPECT_EQ(load_data(store_.pool(), path_.c_str()), 5);  // every entry handed over is counted
  EXPECT_TRUE(log_.contains("[WARN]: Address not-an-address was not loaded as it is not a valid address"));
  DictImage image = store_.image();
  EXPECT_EQ(image.size(), 4u);
  EXPECT_EQ(image.count("past") + image.count("10.9.0.0/16"), 0u);
  // A string entry whose text looks like an address stays out of the tries (the check above).
  EXPECT_FALSE(image.at("10.1.2.3").is_address);
  for (const char* found : {"10.20.30.40", "192.168.1.7", "2001:db8:1::5"}) EXPECT_EQ(get(found), kDone) << found;
  for (const char* absent : {"192.168.1.8", "2001:db9::1"}) EXPECT_EQ(get(absent), kNothingToDo) << absent;
}

TEST_F(Load, FailuresKeepWhatWasLoadedBefore) {
  EXPECT_EQ(load_data(store_.pool(), file(entry_text("a", "1", 0, false) + "c: [unclosed\n").c_str()), -1);
  EXPECT_EQ(store_.image().size(), 1u);
  EXPECT_EQ(load_data(store_.pool(), nullptr), -1);
  EXPECT_EQ(load_data(store_.pool(), dir_.file("missing.yaml").c_str()), -1);
  store_.pool()->lock = kLockWriter;
  EXPECT_EQ(load_data(store_.pool(), file(entry_text("b", "1", 0, false)).c_str()), -3);
  store_.pool()->lock = 0;
  EXPECT_TRUE(log_.contains("[ERROR]: load_data: could not get write lock"));
  EXPECT_EQ(store_.image().size(), 1u);
}

// A restarted worker loads on top of the store its predecessor left: entries already present stay as
// they are, for string and address keys alike, and the tree keeps one node per key.
TEST_F(Load, PresentEntriesWinAndNothingLeaks) {
  ASSERT_EQ(store_.put("k", "in-store", 0, false), 0);
  ASSERT_EQ(store_.put("10.0.0.0/8", "in-store", 0, true), 0);
  const RbtreeNode* net = store_.entry("10.0.0.0/8");
  file(entry_text("k", "from-file", 0, false) + entry_text("10.0.0.0/8", "from-file", 0, true) +
       entry_text("k", "again", 0, false) + entry_text("new", "n", 0, false));
  EXPECT_EQ(load_data(store_.pool(), path_.c_str()), 4);
  const DictImage want = {{"k", EntryImage{"in-store", 0, false}},
                          {"10.0.0.0/8", EntryImage{"in-store", 0, true}},
                          {"new", EntryImage{"n", 0, false}}};
  EXPECT_EQ(store_.image(), want);
  EXPECT_EQ(store_.entry("10.0.0.0/8"), net);
}

TEST_F(Load, LoadReplacingReplacesTheDictionaryOnlyWhenTheFileIsGood) {
  ASSERT_EQ(store_.put("kept", "old", 0, false), 0);
  ASSERT_EQ(store_.put("172.16.0.0/12", "old", 0, true), 0);
  const DictImage before = store_.image();
  const std::string good = entry_text("a", "file", 0, false) + entry_text("10.0.0.0/8", "file", 0, true);
  EXPECT_EQ(load_replacing(store_.pool(), file(good + "b: [unclosed\n").c_str()), -1);
  EXPECT_EQ(load_replacing(store_.pool(), dir_.file("missing.yaml").c_str()), -1);
  EXPECT_EQ(load_replacing(store_.pool(), nullptr), -1);
  EXPECT_FALSE(log_.contains("Forcibly purging"));
  store_.pool()->lock = kLockWriter;  // a purge that cannot take its lock loads nothing
  EXPECT_EQ(load_replacing(store_.pool(), file(good).c_str()), -1);
  store_.pool()->lock = 0;
  EXPECT_EQ(store_.image(), before);
  EXPECT_EQ(get("172.16.1.1"), kDone);

  EXPECT_EQ(load_replacing(store_.pool(), path_.c_str()), 2);
  const DictImage want = {{"a", EntryImage{"file", 0, false}}, {"10.0.0.0/8", EntryImage{"file", 0, true}}};
  EXPECT_EQ(store_.image(), want);
  EXPECT_EQ(get("172.16.1.1"), kNothingToDo);
  EXPECT_EQ(get("10.1.1.1"), kDone);
}

}  // namespace
}  // namespace quillmap
