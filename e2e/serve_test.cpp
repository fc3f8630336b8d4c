// The dictionary the real daemon serves: the reader library reading it straight from the segment,
// its round trip through the data file across a stop and start, LOAD and DUMP through the socket, the
// periodic expiry sweep, and workers stopped with SIGTERM or killed with SIGKILL and replaced.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/dict_client.h"
#include "client/reader/quillmap_reader.hpp"
#include "e2e/daemon_harness.h"

namespace quillmap::e2e {
namespace {

constexpr KeyType kAddr = KeyType::kAddress;

// Whether a GET finds `key`; retried while a worker is being replaced and its socket is not there.
bool found(const DaemonHarness& daemon, const std::string& key, KeyType kind = KeyType::kString) {
  for (int i = 0; i < 250; ++i) {
    Result<Answer> a = send_batch(daemon.socket_path(), {make_get(key, kind)});
    if (a.ok()) return a.value().affected() == 1u;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TEST(ServeTest, SweepRemovesExpiredStringAndAddressEntries) {
  DaemonHarness daemon(serving_options({"enable_clean=1", "expired_check_interval=1"}));
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  uint32_t past = static_cast<uint32_t>(time(nullptr) - 60);
  Result<Answer> a =
      send_batch(daemon.socket_path(), {make_add("stale", "v", past), make_add("lasting", "v"),
                                        make_add("10.1.0.0/16", "v", past, kAddr),
                                        make_add("2001:db8::/32", "v", past, kAddr)});
  ASSERT_TRUE(a.ok()) << a.error();
  EXPECT_EQ(a.value().affected(), 4u);
  // One sweep follows every 11 completed waits of at most 100 ms.
  ASSERT_TRUE(daemon.wait_for_log("Purging node 'stale'", 8000));
  EXPECT_TRUE(daemon.wait_for_log("Purging node '10.1.0.0/16'"));
  EXPECT_FALSE(found(daemon, "stale"));
  EXPECT_FALSE(found(daemon, "10.1.2.3", kAddr));
  EXPECT_FALSE(found(daemon, "2001:db8::1", kAddr));
  EXPECT_TRUE(found(daemon, "lasting"));
  EXPECT_EQ(daemon.stop(), 0);
}

// Without save and restore the entries can only come from the segment itself, and the data file is
// neither loaded nor written.
TEST(ServeTest, KilledWorkerIsReplacedAndItsEntriesSurvive) {
  DaemonHarness daemon(serving_options({"no_save_restore=1"}));
  const std::string on_disk = "---\nondisk:\n  value: 1\n  expires: 0\n  is_address: false\n...\n";
  std::ofstream(daemon.data_path()) << on_disk;
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  const std::vector<Request> adds = {make_add("survivor", "v"), make_add("192.168.0.0/16", "v", 0, kAddr)};
  ASSERT_TRUE(send_batch(daemon.socket_path(), adds).ok());
  const pid_t worker = daemon.worker_pid();
  ASSERT_NE(worker, 0);
  ASSERT_EQ(kill(worker, SIGKILL), 0);
  EXPECT_TRUE(daemon.wait_for_log("[WARN]: Worker terminated by signal: Killed\n")) << daemon.log_text();
  EXPECT_NE(daemon.wait_for_worker(worker), 0);
  EXPECT_TRUE(found(daemon, "survivor"));
  EXPECT_TRUE(found(daemon, "192.168.44.1", kAddr));
  EXPECT_FALSE(found(daemon, "ondisk"));
  EXPECT_EQ(daemon.stop(), 0);
  EXPECT_EQ(read_file(daemon.data_path()), on_disk);
  EXPECT_EQ(daemon.log_text().find("Loaded"), std::string::npos);
  EXPECT_EQ(daemon.log_text().find("Dumped"), std::string::npos);
}

std::map<std::string, std::string> read_all(const std::string& data_path);

// DUMP and LOAD with a path and without one (the configured data file). LOAD replaces the whole
// dictionary; a LOAD that fails leaves it untouched. A worker that ends on SIGTERM dumps, and the
// master replaces it at once with one that loads.
TEST(ServeTest, LoadAndDumpThroughTheSocket) {
  DaemonHarness daemon(serving_options());
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  const std::string other = daemon.dir() + "/other.yaml";
  auto affected = [&](const std::vector<Request>& batch) -> int64_t {
    Result<Answer> a = send_batch(daemon.socket_path(), batch);
    return !a.ok() ? -2 : a.value().success ? static_cast<int64_t>(a.value().affected().value_or(0)) : -1;
  };
  auto present = [&](std::vector<Request> gets) {
    return affected(gets) == static_cast<int64_t>(gets.size());
  };
  ASSERT_EQ(affected({make_add("a", "1"), make_add("10.0.0.0/8", "net", 0, kAddr),
                      make_file_request(Action::kDump, other)}),
            3);
  EXPECT_TRUE(daemon.wait_for_log("[INFO]: Dumped 2 entries to " + other + "\n"));
  ASSERT_EQ(affected({make_add("b", "2"), make_simple(Action::kDump)}), 2);
  EXPECT_TRUE(daemon.wait_for_log("[INFO]: Dumped 3 entries to " + daemon.data_path() + "\n"));

  ASSERT_EQ(affected({make_file_request(Action::kLoad, other)}), 1);
  EXPECT_TRUE(daemon.wait_for_log("[INFO]: Loaded 2 entries from " + other + "\n"));
  EXPECT_TRUE(present({make_get("a"), make_get("10.1.2.3", kAddr)}));
  EXPECT_FALSE(found(daemon, "b"));

  EXPECT_EQ(affected({make_file_request(Action::kLoad, daemon.dir() + "/missing.yaml")}), -1);
  EXPECT_TRUE(present({make_get("a"), make_get("10.1.2.3", kAddr)}));

  ASSERT_EQ(affected({make_simple(Action::kClear), make_simple(Action::kLoad)}), 2);
  EXPECT_TRUE(daemon.wait_for_log("[INFO]: Loaded 3 entries from " + daemon.data_path() + "\n"));
  EXPECT_TRUE(present({make_get("a"), make_get("b"), make_get("10.1.2.3", kAddr)}));

  ASSERT_EQ(affected({make_add("c", "3")}), 1);
  const pid_t worker = daemon.worker_pid();
  ASSERT_EQ(kill(worker, SIGTERM), 0);
  EXPECT_TRUE(daemon.wait_for_log("[WARN]: Worker: got terminating signal. Exiting...\n"));
  EXPECT_TRUE(daemon.wait_for_log("[INFO]: Dumped 4 entries\n"));
  EXPECT_NE(daemon.wait_for_worker(worker), 0);
  // The replacement serves the store its predecessor left, which is newer than any file.
  EXPECT_TRUE(daemon.wait_for_log("[INFO]: Not loading " + daemon.data_path() + ": the store kept from the previous worker is newer\n"));
  EXPECT_TRUE(found(daemon, "c"));
  EXPECT_EQ(daemon.stop(), 0);
}

// Writes answered after the last dump survive a killed worker: the replacement does not load the
// older data file on top of the store.
TEST(ServeTest, KilledWorkerDoesNotUndoAnsweredWrites) {
  DaemonHarness daemon(serving_options());
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  ASSERT_TRUE(send_batch(daemon.socket_path(), {make_set("k", "old"), make_add("gone", "x"), make_simple(Action::kDump),
                                                make_del("gone"), make_set("k", "new"), make_add("after", "y")})
                  .ok());
  const pid_t worker = daemon.worker_pid();
  ASSERT_EQ(kill(worker, SIGKILL), 0);
  ASSERT_NE(daemon.wait_for_worker(worker), 0);
  EXPECT_FALSE(found(daemon, "gone"));
  EXPECT_TRUE(found(daemon, "after"));
  EXPECT_EQ(read_all(daemon.data_path()).at("k"), "new|0|string");
  ASSERT_TRUE(send_batch(daemon.socket_path(), {make_simple(Action::kClear)}).ok());
  ASSERT_EQ(kill(daemon.worker_pid(), SIGKILL), 0);
  EXPECT_TRUE(daemon.wait_for_log("Not loading"));
  EXPECT_FALSE(found(daemon, "k"));
  EXPECT_EQ(daemon.stop(), 0);
}

// Every entry as the reader sees it: key -> "value|expires|kind".
std::map<std::string, std::string> read_all(const std::string& data_path) {
  std::map<std::string, std::string> entries;
  Reader reader;
  EXPECT_EQ(Reader::open(data_path, &reader), ReadStatus::kOk);
  EXPECT_EQ(reader.for_each([&](const EntryView& e) {
    entries[std::string(e.key)] = std::string(e.value) + "|" + std::to_string(e.expires) +
                                  (e.is_address ? "|address" : "|string");
    return true;
  }),
            ReadStatus::kOk);
  return entries;
}

std::string hash_of(const DaemonHarness& daemon) {
  Result<Answer> a = send_batch(daemon.socket_path(), {make_simple(Action::kHash)});
  return a.ok() && a.value().hashsum ? *a.value().hashsum : "no hash";
}

// Seeded random keys and values full of characters the data file must quote or escape, string and
// address entries, with and without expiry. The reader sees them as they are served; after an
// orderly stop (segment removed) and a new start the daemon serves exactly the same dictionary, read
// back from its data file.
TEST(ServeTest, ReaderSeesEveryEntryAndAStopAndStartKeepsThemAll) {
  const unsigned seed = 20240611;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const std::string kChars = "abcXYZ019 :#'\"-?[]{},&*!|>%@`\\\t\n~=/.";
  auto text = [&](size_t max_len) {  // printable ASCII, controls that need escapes, and a 2-byte letter
    std::string s;
    for (size_t n = rng() % (max_len + 1); s.size() < n;) {
      size_t pick = rng() % (kChars.size() + 1);
      s += pick < kChars.size() ? std::string(1, kChars[pick]) : "\xc3\xa9";
    }
    return s;
  };
  std::vector<Request> batch, address_gets;
  std::map<std::string, std::string> model;
  auto add = [&](const std::string& key, KeyType kind, std::string value, uint32_t expires) {
    batch.push_back(make_add(key, value, expires, kind));
    model[key] = value + "|" + std::to_string(expires) + (kind == kAddr ? "|address" : "|string");
  };
  const uint32_t future = static_cast<uint32_t>(time(nullptr)) + 365 * 86400;
  auto expiry = [&] { return rng() % 3 == 0 ? future + rng() % 1000 : 0; };
  for (int i = 0; i < 400; ++i) add("k" + std::to_string(i) + text(12), KeyType::kString, text(40), expiry());
  for (const char* key : {"true", "null", "~", "- x", "#c", " lead", "trail ", "a: b"}) {
    add(key, KeyType::kString, text(40), expiry());
  }
  for (int i = 0; i < 100; ++i) {
    add("100.64." + std::to_string(i) + ".0/24", kAddr, text(40), expiry());
    address_gets.push_back(make_get("100.64." + std::to_string(i) + ".7", kAddr));
    add("2001:db8:" + std::to_string(i + 1) + "::/48", kAddr, text(40), expiry());
    address_gets.push_back(make_get("2001:db8:" + std::to_string(i + 1) + "::9", kAddr));
  }
  add("10.0.0.0/8", kAddr, "ten", 0);
  add("10.1.0.0/16", kAddr, "ten-one", 4102444800u);

  DaemonHarness daemon(serving_options());
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  Result<Answer> added = send_batch(daemon.socket_path(), batch);
  ASSERT_TRUE(added.ok()) << added.error();
  ASSERT_EQ(added.value().affected(), batch.size());
  EXPECT_EQ(read_all(daemon.data_path()), model);

  Reader reader, by_config;
  ASSERT_EQ(Reader::open(daemon.data_path(), &reader), ReadStatus::kOk);
  ASSERT_EQ(Reader::open_config(daemon.config_path(), &by_config), ReadStatus::kOk);
  std::string key, value;
  EntryInfo info;
  for (const auto& [k, v] : model) {  // exact look-ups, through either way of finding the segment
    if (!v.ends_with("|string")) continue;
    ASSERT_EQ((k.size() % 2 ? reader : by_config).get(k, &value, &info), ReadStatus::kOk) << k;
    EXPECT_EQ(value + "|" + std::to_string(info.expires) + "|string", v);
  }
  ASSERT_EQ(reader.match("10.1.2.3", &key, &value, &info), ReadStatus::kOk);
  EXPECT_EQ(key + " " + value + " " + std::to_string(info.expires), "10.1.0.0/16 ten-one 4102444800");
  EXPECT_TRUE(info.is_address);
  ASSERT_EQ(reader.match("10.2.0.1", &key, &value), ReadStatus::kOk);
  EXPECT_EQ(key, "10.0.0.0/8");
  ASSERT_EQ(reader.match("2001:db8:7:1::1", &key, &value), ReadStatus::kOk);
  EXPECT_EQ(key, "2001:db8:7::/48");
  EXPECT_EQ(reader.match("11.0.0.1", &key, &value), ReadStatus::kNotFound);

  reader.close();
  by_config.close();

  const std::string hash = hash_of(daemon);
  ASSERT_EQ(daemon.stop(), 0);
  EXPECT_EQ(Reader::open(daemon.data_path(), &reader), ReadStatus::kNoSegment);
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text() << daemon.log_text();
  EXPECT_EQ(read_all(daemon.data_path()), model);
  EXPECT_EQ(hash_of(daemon), hash);
  Result<Answer> matched = send_batch(daemon.socket_path(), address_gets);  // the tries were rebuilt
  ASSERT_TRUE(matched.ok());
  EXPECT_EQ(matched.value().affected(), address_gets.size());
  EXPECT_EQ(daemon.stop(), 0);
}

// A reader opened once, as a long-running server does, keeps up with restarts: it never answers
// from the removed segment, finds the new one, and reports kNoSegment while no daemon runs.
TEST(ServeTest, ReaderOpenedOnceFollowsTheDaemonAcrossARestart) {
  DaemonHarness daemon(serving_options({"no_save_restore=1"}));  // the new dictionary starts empty
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  ASSERT_TRUE(send_batch(daemon.socket_path(), {make_add("first", "1")}).ok());
  Reader reader, eager;
  ASSERT_EQ(Reader::open(daemon.data_path(), &reader), ReadStatus::kOk);
  ASSERT_EQ(Reader::open(daemon.data_path(), &eager, {.check_interval_ms = 0}), ReadStatus::kOk);
  std::string value;
  ASSERT_EQ(reader.get("first", &value), ReadStatus::kOk);
  ASSERT_EQ(daemon.stop(), 0);  // the readers still hold the removed segment
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text() << daemon.log_text();
  ASSERT_TRUE(send_batch(daemon.socket_path(), {make_add("second", "2")}).ok());
  EXPECT_EQ(reader.refresh(), ReadStatus::kOk);
  ASSERT_EQ(reader.get("second", &value), ReadStatus::kOk);
  EXPECT_EQ(value, "2");
  EXPECT_EQ(reader.get("first", &value), ReadStatus::kNotFound);
  EXPECT_EQ(eager.get("first", &value), ReadStatus::kNotFound);
  ASSERT_EQ(daemon.stop(), 0);
  EXPECT_EQ(reader.refresh(), ReadStatus::kNoSegment);
  EXPECT_EQ(eager.get("second", &value), ReadStatus::kNoSegment);
}

}  // namespace
}  // namespace quillmap::e2e
