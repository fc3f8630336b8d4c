// The load into the store beside the round trip: entries it refuses, a key the file names twice, a
// file that cannot be read or stored, and LOAD as a whole (parse first, then replace). After each
// test the store is checked whole.
#include <gtest/gtest.h>

#include "persist/data_file.h"
#include "persist/testing/persist_fixture.h"

namespace quillmap {
namespace {

std::string entry_text(const std::string& key, const std::string& value, bool is_address = false) {
  return key + ":\n  value: " + value + "\n  is_address: " + (is_address ? "true" : "false") + "\n";
}

class Load : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(testing::entry_store_check(store_.pool()), ""); }
  const char* file(const std::string& text) {
    testing::write_file(path_, text);
    return path_.c_str();
  }
  int64_t get(const std::string& addr) { return get_ipaddr(store_.pool(), addr.data(), addr.size()); }
  testing::PersistStore store_;
  testing::ScratchDir dir_;
  std::string path_ = dir_.file("data.yaml");
  testing::LogCapture log_;
};

// Into an empty store (where no entry is searched for first), every entry handed over counts.
TEST_F(Load, RefusedAndRepeatedEntries) {
  const std::string text = entry_text("k", "first") + entry_text("not-an-address", "x", true) + entry_text("k", "again") +
                           entry_text("10.0.0.0/8", "v4", true) + entry_text("10.0.0.0/8", "again", true);
  EXPECT_EQ(load_data(store_.pool(), file(text)), 5);
  EXPECT_TRUE(log_.contains("[WARN]: Address not-an-address was not loaded as it is not a valid address"));
  EXPECT_TRUE(log_.contains("[WARN]: Could not add key k because key exists"));
  const testing::DictImage want = {{"k", {"first", 0, false}}, {"10.0.0.0/8", {"v4", 0, true}}};
  EXPECT_EQ(store_.image(), want);
  EXPECT_EQ(get("10.20.30.40"), kDone);
}

TEST_F(Load, FailuresKeepWhatWasThere) {
  EXPECT_EQ(load_data(store_.pool(), file(entry_text("a", "1") + "c: [unclosed\n")), -1);
  EXPECT_EQ(store_.image().size(), 1u);  // what was read before the error
  EXPECT_EQ(load_data(store_.pool(), nullptr), -1);
  EXPECT_EQ(load_data(store_.pool(), dir_.file("missing.yaml").c_str()), -1);
  store_.pool()->lock = kLockWriter;
  EXPECT_EQ(load_data(store_.pool(), file(entry_text("b", "1"))), -3);
  store_.pool()->lock = 0;
  EXPECT_TRUE(log_.contains("[ERROR]: load_data: could not get write lock"));
  EXPECT_EQ(store_.image().size(), 1u);
}

TEST_F(Load, LoadReplacingReplacesTheDictionaryOnlyWhenTheFileIsGood) {
  ASSERT_EQ(store_.put("kept", "old", 0, false) + store_.put("172.16.0.0/12", "old", 0, true), 0);
  const testing::DictImage before = store_.image();
  const std::string good = entry_text("a", "file") + entry_text("10.0.0.0/8", "file", true);
  EXPECT_EQ(load_replacing(store_.pool(), file(good + "b: [unclosed\n")), -1);
  EXPECT_EQ(load_replacing(store_.pool(), dir_.file("missing.yaml").c_str()), -1);
  EXPECT_EQ(load_replacing(store_.pool(), nullptr), -1);
  EXPECT_FALSE(log_.contains("Forcibly purging"));
  store_.pool()->lock = kLockWriter;  // a purge that cannot take its lock loads nothing
  EXPECT_EQ(load_replacing(store_.pool(), file(good)), -1);
  store_.pool()->lock = 0;
  EXPECT_EQ(store_.image(), before);
  EXPECT_EQ(load_replacing(store_.pool(), path_.c_str()), 2);
  const testing::DictImage want = {{"a", {"file", 0, false}}, {"10.0.0.0/8", {"file", 0, true}}};
  EXPECT_EQ(store_.image(), want);
  EXPECT_EQ(get("172.16.1.1") + get("10.1.1.1"), kNothingToDo + kDone);
}

}  // namespace
}  // namespace quillmap
