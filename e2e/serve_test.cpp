// The request service of the real daemon: long mixed batches, the periodic expiry sweep, a worker
// stopped by SIGTERM while idle, and a worker killed with SIGKILL whose entries the next worker
// still finds in the segment.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/dict_client.h"
#include "e2e/daemon_harness.h"

namespace quillmap::e2e {
namespace {

std::string read_text(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

bool eventually(const std::function<bool()>& done, int timeout_ms = 5000) {
  for (int waited = 0; waited < timeout_ms; waited += 20) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

// The batch's answer, retried while a worker is being replaced and its socket is not yet there.
Result<Answer> send_retrying(const DaemonHarness& daemon, const std::vector<Request>& batch) {
  Result<Answer> a = send_batch(daemon.socket_path(), batch);
  for (int i = 0; i < 250 && !a.ok(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    a = send_batch(daemon.socket_path(), batch);
  }
  return a;
}

bool found(const DaemonHarness& daemon, const std::string& key, KeyType kind = KeyType::kString) {
  Result<Answer> a = send_retrying(daemon, {make_get(key, kind)});
  return a.ok() && a.value().affected() == 1u;
}

DaemonOptions serving_options(std::vector<std::string> config_lines = {}) {
  DaemonOptions options;
  options.foreground = false;
  options.ready = ReadyWhen::kSocket;
  options.log_level = "INFO";
  options.config_lines = std::move(config_lines);
  return options;
}

TEST(ServeTest, ThousandsOfMixedRequestsInOneBatch) {
  DaemonHarness daemon(serving_options());
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  std::vector<Request> batch;
  for (int i = 0; i < 1000; ++i) batch.push_back(make_add("key" + std::to_string(i), "value" + std::to_string(i)));
  for (int i = 0; i < 250; ++i) {
    batch.push_back(make_add("10." + std::to_string(i) + ".0.0/16", "net", 0, KeyType::kAddress));
  }
  for (int i = 0; i < 1000; ++i) batch.push_back(make_get("key" + std::to_string(i)));
  for (int i = 0; i < 500; ++i) batch.push_back(make_del("key" + std::to_string(i)));
  for (int i = 0; i < 250; ++i) batch.push_back(make_get("10." + std::to_string(i) + ".7.7", KeyType::kAddress));
  batch.push_back(make_add("key999", "again"));  // exists: unaffected
  batch.push_back(make_simple(Action::kHash));
  batch.push_back(make_simple(Action::kInfo));
  Result<Answer> a = send_batch(daemon.socket_path(), batch);
  ASSERT_TRUE(a.ok()) << a.error();
  EXPECT_TRUE(a.value().success);
  EXPECT_EQ(a.value().affected(), 1000u + 250u + 1000u + 500u + 250u);
  ASSERT_TRUE(a.value().hashsum.has_value());
  EXPECT_EQ(a.value().hashsum->size(), 40u);
  ASSERT_TRUE(a.value().info.has_value());
  EXPECT_GT(a.value().info->bytes_used, 0);

  EXPECT_FALSE(found(daemon, "key0"));
  EXPECT_TRUE(found(daemon, "key500"));
  EXPECT_TRUE(found(daemon, "10.249.1.2", KeyType::kAddress));
  EXPECT_FALSE(found(daemon, "10.250.1.2", KeyType::kAddress));
  EXPECT_EQ(daemon.stop(), 0);
}

TEST(ServeTest, SweepRemovesExpiredStringAndAddressEntries) {
  DaemonHarness daemon(serving_options({"enable_clean=1", "expired_check_interval=1"}));
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  uint32_t past = static_cast<uint32_t>(time(nullptr) - 60);
  Result<Answer> a = send_batch(daemon.socket_path(),
                                {make_add("stale", "v", past), make_add("10.1.0.0/16", "v", past, KeyType::kAddress),
                                 make_add("2001:db8::/32", "v", past, KeyType::kAddress), make_add("lasting", "v", 0)});
  ASSERT_TRUE(a.ok()) << a.error();
  EXPECT_EQ(a.value().affected(), 4u);
  // One sweep follows every 11 completed waits of at most 100 ms.
  EXPECT_TRUE(eventually([&] { return !found(daemon, "stale"); }, 8000));
  EXPECT_FALSE(found(daemon, "10.1.2.3", KeyType::kAddress));
  EXPECT_FALSE(found(daemon, "2001:db8::1", KeyType::kAddress));
  EXPECT_TRUE(found(daemon, "lasting"));
  EXPECT_TRUE(daemon.wait_for_log("Purging node 'stale'"));
  EXPECT_TRUE(daemon.wait_for_log("Purging node '10.1.0.0/16'"));
  EXPECT_EQ(daemon.stop(), 0);
}

TEST(ServeTest, SigtermToTheIdleWorkerDumpsAndTheNextWorkerLoads) {
  DaemonHarness daemon(serving_options());
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  ASSERT_TRUE(send_batch(daemon.socket_path(), {make_add("saved", "v")}).ok());
  pid_t worker = daemon.worker_pid();
  ASSERT_NE(worker, 0);
  ASSERT_EQ(kill(worker, SIGTERM), 0);
  EXPECT_TRUE(daemon.wait_for_log("[WARN]: Worker: got terminating signal. Exiting..."));
  EXPECT_TRUE(daemon.wait_for_log("[INFO]: Dumped 1 entries"));
  EXPECT_NE(read_text(daemon.data_path()).find("saved:"), std::string::npos);
  EXPECT_NE(daemon.wait_for_worker(worker), 0);  // the master replaces a worker that ended on its own
  EXPECT_TRUE(found(daemon, "saved"));
  EXPECT_EQ(daemon.stop(), 0);
}

TEST(ServeTest, KilledWorkerLeavesItsEntriesToTheNextWorker) {
  // Without save and restore the entries can only come from the segment itself.
  DaemonHarness daemon(serving_options({"no_save_restore=1"}));
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  ASSERT_TRUE(send_batch(daemon.socket_path(),
                         {make_add("survivor", "v"), make_add("192.168.0.0/16", "v", 0, KeyType::kAddress)})
                  .ok());
  pid_t worker = daemon.worker_pid();
  ASSERT_NE(worker, 0);
  ASSERT_EQ(kill(worker, SIGKILL), 0);
  pid_t next = daemon.wait_for_worker(worker);
  ASSERT_NE(next, 0);
  EXPECT_TRUE(found(daemon, "survivor"));
  EXPECT_TRUE(found(daemon, "192.168.44.1", KeyType::kAddress));
  EXPECT_EQ(read_text(daemon.log_path()).find("Dumped"), std::string::npos);
  EXPECT_EQ(daemon.stop(), 0);
}

}  // namespace
}  // namespace quillmap::e2e
