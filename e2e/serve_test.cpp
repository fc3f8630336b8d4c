// Workers of the real daemon stopped with SIGTERM or killed with SIGKILL and replaced, and the store
// carried through the data file across an orderly stop and a new start.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "client/dict_client.h"
#include "e2e/daemon_harness.h"
#include "persist/data_file_writer.h"

namespace quillmap::e2e {
namespace {

constexpr KeyType kAddr = KeyType::kAddress;

// How many of `requests` are answered as affected; retried while a worker is being replaced.
uint64_t affected(const DaemonHarness& daemon, const std::vector<Request>& requests) {
  for (int i = 0; i < 250; ++i) {
    Result<Answer> a = send_batch(daemon.socket_path, requests);
    if (a.ok()) return a.value().affected().value_or(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return 0;
}

// A worker that ends on SIGTERM dumps, and the master replaces it at once with one that serves the
// store its predecessor left instead of loading the data file; a killed worker does not dump, and its
// replacement keeps even an emptied store rather than load the older data file on top of it.
TEST(ServeTest, ReplacedWorkersKeepTheStore) {
  DaemonHarness daemon(serving_options());
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  ASSERT_EQ(affected(daemon, {make_add("a", "1"), make_add("c", "3"), make_add("10.0.0.0/8", "net", 0, kAddr)}), 3u);
  const pid_t worker = daemon.worker_pid();
  ASSERT_EQ(kill(worker, SIGTERM), 0);
  EXPECT_TRUE(daemon.wait_for_log("[WARN]: Worker: got terminating signal. Exiting...\n"));
  EXPECT_TRUE(daemon.wait_for_log("[INFO]: Dumped 3 entries\n"));
  EXPECT_NE(daemon.wait_for_worker(worker), 0);
  EXPECT_TRUE(daemon.wait_for_log("[INFO]: Not loading " + daemon.data_path +
                                  ": the store kept from the previous worker is newer\n"));
  EXPECT_EQ(affected(daemon, {make_get("c"), make_get("10.1.2.3", kAddr)}), 2u);
  ASSERT_TRUE(send_batch(daemon.socket_path, {make_simple(Action::kClear)}).ok());
  const pid_t second = daemon.worker_pid();
  ASSERT_EQ(kill(second, SIGKILL), 0);
  ASSERT_NE(daemon.wait_for_worker(second), 0);
  EXPECT_EQ(affected(daemon, {make_get("c")}), 0u);
  EXPECT_EQ(daemon.stop(), 0);
}

// After an orderly stop (segment removed) and a new start the daemon serves the same dictionary, read
// back from its data file: the same digest, and address matches through rebuilt tries. Here the stop's
// rewrite was cut short: the start completes the data file from the complete copy beside it first.
TEST(ServeTest, AStopAndStartKeepsEveryEntry) {
  const std::vector<Request> batch = {make_add("plain", "v"), make_add("a: b", "'quoted'\t\xc3\xa9\n", 4000000000u),
                                      make_add("10.0.0.0/8", "ten", 0, kAddr),
                                      make_add("10.1.0.0/16", "ten-one", 4000000000u, kAddr),
                                      make_add("2001:db8:7::/48", "six", 0, kAddr)};
  const std::vector<Request> matches = {make_get("10.2.0.1", kAddr), make_get("10.1.2.3", kAddr),
                                        make_get("2001:db8:7:1::1", kAddr)};
  const auto hash = [](const DaemonHarness& daemon) {
    Result<Answer> a = send_batch(daemon.socket_path, {make_simple(Action::kHash)});
    return a.ok() && a.value().hashsum ? *a.value().hashsum : "no hash";
  };
  DaemonHarness daemon(serving_options());
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  ASSERT_EQ(affected(daemon, batch), batch.size());
  const std::string before = hash(daemon);
  ASSERT_EQ(daemon.stop(), 0);
  EXPECT_FALSE(daemon.segment_exists());
  const std::string text = read_file(daemon.data_path);
  std::ofstream(daemon.data_path + ".tmp") << text << dump_trailer(text, static_cast<int64_t>(batch.size()));
  std::ofstream(daemon.data_path) << "the start of the new text";
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text() << daemon.log_text();
  EXPECT_TRUE(daemon.wait_for_log("[WARN]: The last dump of " + daemon.data_path + " was cut short"));
  EXPECT_EQ(hash(daemon), before);
  EXPECT_EQ(affected(daemon, matches), matches.size());
  EXPECT_EQ(daemon.stop(), 0);
}

}  // namespace
}  // namespace quillmap::e2e
