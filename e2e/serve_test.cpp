// The dictionary the real daemon serves: the reader library reading it straight from the segment, its
// round trip through the data file across a stop and start, and workers stopped with SIGTERM or killed
// with SIGKILL and replaced.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <map>
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

// A worker that ends on SIGTERM dumps, and the master replaces it at once with one that serves the
// store its predecessor left instead of loading the data file.
TEST(ServeTest, TerminatedWorkerDumpsAndItsReplacementKeepsTheStore) {
  DaemonHarness daemon(serving_options());
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  ASSERT_TRUE(send_batch(daemon.socket_path(), {make_add("a", "1"), make_simple(Action::kDump), make_add("c", "3"),
                                                make_add("10.0.0.0/8", "net", 0, kAddr)})
                  .ok());
  const pid_t worker = daemon.worker_pid();
  ASSERT_EQ(kill(worker, SIGTERM), 0);
  EXPECT_TRUE(daemon.wait_for_log("[WARN]: Worker: got terminating signal. Exiting...\n"));
  EXPECT_TRUE(daemon.wait_for_log("[INFO]: Dumped 3 entries\n"));
  EXPECT_NE(daemon.wait_for_worker(worker), 0);
  EXPECT_TRUE(daemon.wait_for_log("[INFO]: Not loading " + daemon.data_path() + ": the store kept from the previous worker is newer\n"));
  EXPECT_TRUE(found(daemon, "c"));
  EXPECT_TRUE(found(daemon, "10.1.2.3", kAddr));
  // A killed worker does not dump; its replacement keeps even an emptied store rather than load the
  // (now older) data file on top of it.
  ASSERT_TRUE(send_batch(daemon.socket_path(), {make_simple(Action::kClear)}).ok());
  const pid_t second = daemon.worker_pid();
  ASSERT_EQ(kill(second, SIGKILL), 0);
  ASSERT_NE(daemon.wait_for_worker(second), 0);
  EXPECT_FALSE(found(daemon, "c"));
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

// The reader finds the daemon's own segment; after an orderly stop (segment removed) and a new start
// the daemon serves exactly the same dictionary, tries included, read back from its data file.
TEST(ServeTest, ReaderSeesTheServedEntriesAndAStopAndStartKeepsThemAll) {
  const uint32_t future = static_cast<uint32_t>(time(nullptr)) + 365 * 86400;
  std::vector<Request> batch;
  std::map<std::string, std::string> model;
  auto add = [&](const std::string& key, KeyType kind, const std::string& value, uint32_t expires) {
    batch.push_back(make_add(key, value, expires, kind));
    model[key] = value + "|" + std::to_string(expires) + (kind == kAddr ? "|address" : "|string");
  };
  add("plain", KeyType::kString, "v", 0);
  add("a: b", KeyType::kString, "'quoted' \"text\"\t\xc3\xa9\n", future);
  add("10.0.0.0/8", kAddr, "ten", 0);
  add("10.1.0.0/16", kAddr, "ten-one", future);
  add("2001:db8:7::/48", kAddr, "six", 0);
  const std::vector<Request> address_gets = {make_get("10.2.0.1", kAddr), make_get("10.1.2.3", kAddr),
                                             make_get("2001:db8:7:1::1", kAddr)};

  DaemonHarness daemon(serving_options());
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  Result<Answer> added = send_batch(daemon.socket_path(), batch);
  ASSERT_TRUE(added.ok()) << added.error();
  ASSERT_EQ(added.value().affected(), batch.size());
  EXPECT_EQ(read_all(daemon.data_path()), model);

  const std::string hash = hash_of(daemon);
  ASSERT_EQ(daemon.stop(), 0);
  Reader reader;
  EXPECT_EQ(Reader::open(daemon.data_path(), &reader), ReadStatus::kNoSegment);
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text() << daemon.log_text();
  EXPECT_EQ(read_all(daemon.data_path()), model);
  EXPECT_EQ(hash_of(daemon), hash);
  Result<Answer> matched = send_batch(daemon.socket_path(), address_gets);  // the tries were rebuilt
  ASSERT_TRUE(matched.ok());
  EXPECT_EQ(matched.value().affected(), address_gets.size());
  EXPECT_EQ(daemon.stop(), 0);
}

}  // namespace
}  // namespace quillmap::e2e
