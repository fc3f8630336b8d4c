// The reader library against the live daemon: entries added over the socket are read straight from
// the segment, by exact key and by longest prefix, found through the data path or the configuration
// file; changes and deletions show up at once; a stopped daemon leaves no segment to read.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "client/dict_client.h"
#include "client/reader/quillmap_reader.hpp"
#include "e2e/daemon_harness.h"

namespace quillmap::e2e {
namespace {

DaemonOptions serving_options() {
  DaemonOptions options;
  options.foreground = false;
  options.ready = ReadyWhen::kSocket;
  options.log_level = "INFO";
  return options;
}

TEST(ReaderE2eTest, ReadsWhatTheDaemonServes) {
  DaemonHarness daemon(serving_options());
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text() << daemon.log_text();

  std::vector<Request> batch;
  for (int i = 0; i < 200; ++i) batch.push_back(make_add("key" + std::to_string(i), "value " + std::to_string(i)));
  batch.push_back(make_add("10.0.0.0/8", "ten", 0, KeyType::kAddress));
  batch.push_back(make_add("10.1.0.0/16", "ten-one", 4102444800u, KeyType::kAddress));
  batch.push_back(make_add("2001:db8::/32", "doc", 0, KeyType::kAddress));
  ASSERT_TRUE(send_batch(daemon.socket_path(), batch).ok());

  Reader reader;
  ASSERT_EQ(Reader::open(daemon.data_path(), &reader), ReadStatus::kOk);
  Reader by_config;
  ASSERT_EQ(Reader::open_config(daemon.config_path(), &by_config), ReadStatus::kOk);

  std::string value, key;
  EntryInfo info;
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(reader.get("key" + std::to_string(i), &value), ReadStatus::kOk) << i;
    EXPECT_EQ(value, "value " + std::to_string(i));
  }
  ASSERT_EQ(by_config.get("key7", &value), ReadStatus::kOk);
  EXPECT_EQ(value, "value 7");
  ASSERT_EQ(reader.match("10.1.2.3", &key, &value, &info), ReadStatus::kOk);
  EXPECT_EQ(key, "10.1.0.0/16");
  EXPECT_EQ(value, "ten-one");
  EXPECT_EQ(info.expires, 4102444800u);
  EXPECT_TRUE(info.is_address);
  ASSERT_EQ(reader.match("10.2.0.1", &key, &value), ReadStatus::kOk);
  EXPECT_EQ(key, "10.0.0.0/8");
  ASSERT_EQ(reader.match("2001:db8::1", &key, &value), ReadStatus::kOk);
  EXPECT_EQ(value, "doc");
  EXPECT_EQ(reader.match("11.0.0.1", &key, &value), ReadStatus::kNotFound);
  size_t entries = 0;
  ASSERT_EQ(reader.for_each([&](const EntryView&) { return ++entries, true; }), ReadStatus::kOk);
  EXPECT_EQ(entries, 203u);

  ASSERT_TRUE(send_batch(daemon.socket_path(), {make_set("key1", "changed"), make_del("key2"),
                                                 make_del("10.1.0.0/16", KeyType::kAddress)})
                  .ok());
  ASSERT_EQ(reader.get("key1", &value), ReadStatus::kOk);
  EXPECT_EQ(value, "changed");
  EXPECT_EQ(reader.get("key2", &value), ReadStatus::kNotFound);
  ASSERT_EQ(reader.match("10.1.2.3", &key, &value), ReadStatus::kOk);
  EXPECT_EQ(key, "10.0.0.0/8");

  reader.close();
  by_config.close();
  EXPECT_EQ(daemon.stop(), 0);
  Reader after;
  EXPECT_EQ(Reader::open(daemon.data_path(), &after), ReadStatus::kNoSegment);
}

}  // namespace
}  // namespace quillmap::e2e
