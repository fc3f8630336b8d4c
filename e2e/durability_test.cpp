// What the daemon confirmed is never lost, whatever happens to its workers, its stops and its data file.
#include <signal.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "client/dict_client.h"
#include "client/reader/quillmap_reader.hpp"
#include "e2e/daemon_harness.h"
#include "persist/data_file_writer.h"

namespace quillmap::e2e {
namespace {

namespace fs = std::filesystem;

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
// replacement keeps even an emptied store rather than load the older data file on top of it. After an
// orderly stop (segment removed) and a new start the daemon serves the same dictionary, read back from
// its data file: the same digest, and address matches through rebuilt tries. Here the stop's rewrite
// was cut short: the start completes the data file from the complete copy beside it first.
TEST(Durability, ReplacedWorkersAndRestartsKeepTheStore) {
  DaemonHarness daemon;
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  ASSERT_EQ(affected(daemon, {make_add("a", "1"), make_add("c", "3"), make_add("10.0.0.0/8", "net", 0, kAddr)}), 3u);
  const pid_t worker = daemon.worker_pid();
  ASSERT_EQ(kill(worker, SIGTERM), 0);
  EXPECT_TRUE(daemon.wait_for_log("[INFO]: Dumped 3 entries\n"));
  EXPECT_TRUE(daemon.wait_for_log("[INFO]: Not loading " + daemon.data_path +
                                  ": the store kept from the previous worker is newer\n"));
  EXPECT_EQ(affected(daemon, {make_get("c"), make_get("10.1.2.3", kAddr)}), 2u);
  ASSERT_TRUE(send_batch(daemon.socket_path, {make_simple(Action::kClear)}).ok());
  const pid_t second = daemon.worker_pid();
  ASSERT_EQ(kill(second, SIGKILL), 0);
  ASSERT_TRUE(daemon.wait_gone(second, 5000));
  EXPECT_EQ(affected(daemon, {make_get("c")}), 0u);

  const std::vector<Request> batch = {make_add("plain", "v"), make_add("a: b", "'quoted'\t\xc3\xa9\n", 4000000000u),
                                      make_add("10.0.0.0/8", "ten", 0, kAddr),
                                      make_add("10.1.0.0/16", "ten-one", 4000000000u, kAddr),
                                      make_add("2001:db8:7::/48", "six", 0, kAddr)};
  ASSERT_EQ(affected(daemon, batch), batch.size());
  const auto before = send_batch(daemon.socket_path, {make_simple(Action::kHash)}).value().hashsum;
  ASSERT_TRUE(before);
  ASSERT_EQ(daemon.stop(), 0);
  const std::string text = read_file(daemon.data_path);
  std::ofstream(daemon.data_path + ".tmp") << text << dump_trailer(text, static_cast<int64_t>(batch.size()));
  std::ofstream(daemon.data_path) << "the start of the new text";
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text() << daemon.log_text();
  EXPECT_EQ(send_batch(daemon.socket_path, {make_simple(Action::kHash)}).value().hashsum, before);
  EXPECT_EQ(affected(daemon, {make_get("10.2.0.1", kAddr), make_get("10.1.2.3", kAddr), make_get("2001:db8:7:1::1", kAddr)}),
            3u);
  EXPECT_EQ(daemon.stop(), 0);
}

// A data file of 100 entries that does not load whole: a syntax error in its 11th entry.
std::string unloadable_text(const std::string& value) {
  std::string text = "---\n";
  for (int i = 0; i < 100; ++i) {
    text += (i == 10 ? "\"broken: [\n" : "e" + std::to_string(i) + ":\n") + "  value: " + value +
            "\n  expires: 0\n  is_address: false\n";
  }
  return text;
}

// The copies of the data file kept aside; each must hold `text`, with mode 0600.
int copies_holding(const DaemonHarness& daemon, const std::string& text) {
  int copies = 0;
  for (const auto& entry : fs::directory_iterator(daemon.dir)) {
    if (!entry.path().filename().string().starts_with("data.yaml.unloadable-")) continue;
    ++copies;
    EXPECT_EQ(read_file(entry.path().string()), text);
    EXPECT_EQ(fs::status(entry.path()).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  }
  return copies;
}

// When not even a copy of a data file that does not load whole can be made (a file size limit that the
// copy would pass and the dump of what loaded stays within), nothing overwrites it: a DUMP to it fails,
// one to another file works, and so does the stop's dump, which keeps the store in shared memory. The
// next start, without the limit, keeps the copy first and then saves the store.
TEST(Durability, UnloadableDataFileIsNeverOverwrittenWithoutACopy) {
  DaemonHarness daemon({}, "WARN");
  const std::string text = unloadable_text(std::string(2000, 'v'));  // about 200 KB; a few entries load
  std::ofstream(daemon.data_path) << text;
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const struct rlimit limit = {65536, saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);  // inherited by the daemon started now
  const bool started = daemon.start();
  setrlimit(RLIMIT_FSIZE, &saved);
  ASSERT_TRUE(started) << daemon.stderr_text();
  const std::string held = "[CRIT]: The data file " + daemon.data_path + " could not be loaded whole and no copy";
  ASSERT_TRUE(daemon.wait_for_log(held)) << daemon.log_text();
  Result<Answer> to_data = send_batch(daemon.socket_path, {make_simple(Action::kDump)});
  EXPECT_TRUE(to_data.ok() && !to_data.value().success);
  Result<Answer> to_other = send_batch(daemon.socket_path, {make_file_request(Action::kDump, daemon.dir + "/o.yaml")});
  EXPECT_TRUE(to_other.ok() && to_other.value().success) << daemon.log_text();
  EXPECT_EQ(daemon.stop(), 1);
  EXPECT_EQ(count_of(daemon.log_text(), held), 1u) << daemon.log_text();
  EXPECT_EQ(count_of(daemon.log_text(), "[CRIT]: The store could not be saved to " + daemon.data_path + " at stop"), 1u);
  EXPECT_EQ(read_file(daemon.data_path), text);
  EXPECT_TRUE(daemon.segment_exists()) << "the store was thrown away";
  EXPECT_EQ(copies_holding(daemon, text), 0);  // no partial copy is left

  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  EXPECT_TRUE(daemon.wait_for_log(" entries that the previous run left unsaved in shared memory to " + daemon.data_path))
      << daemon.log_text();
  EXPECT_EQ(copies_holding(daemon, text), 1);
  EXPECT_EQ(daemon.stop(), 0);
}

// Three writers while the worker is killed every 100 ms: every key whose batch was answered is there
// afterwards, in a store that reads whole and an index the last worker rebuilt. Without save and restore
// the entries can only come from the segment itself: the data file is neither loaded nor written.
TEST(Durability, AnsweredWritesSurviveRepeatedWorkerKills) {
  DaemonHarness daemon({"no_save_restore=1", "data_size=67108864"}, "WARN");
  const std::string on_disk = "---\nondisk:\n  value: 1\n  expires: 0\n  is_address: false\n...\n";
  std::ofstream(daemon.data_path) << on_disk;
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  std::atomic<bool> stop{false};
  std::vector<std::vector<std::string>> answered(3);
  std::vector<std::thread> writers;
  for (int w = 0; w < 3; ++w) {
    writers.emplace_back([&, w] {
      for (int b = 0; !stop; ++b) {
        std::vector<Request> batch;
        std::vector<std::string> keys;
        for (int i = 0; i < 20; ++i) {
          char key[64];  // every fourth an address; hexadecimal groups: every batch number gives a valid one
          snprintf(key, sizeof key, i % 4 == 3 ? "2001:db8:%x:%x:%x::%x/128" : "w%x-%x-%x-%x", w, b >> 16, b & 0xffff, i);
          keys.push_back(key);
          batch.push_back(make_add(key, "v", 0, i % 4 == 3 ? kAddr : KeyType::kString));
        }
        // Answered with every request counted: all are stored (a batch cut short by the kill gets no answer).
        Result<Answer> a = send_batch(daemon.socket_path, batch, ClientOptions{2000});
        if (a.ok() && a.value().affected() == 20u) answered[w].insert(answered[w].end(), keys.begin(), keys.end());
      }
    });
  }
  for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(6); std::chrono::steady_clock::now() < until;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (pid_t worker = daemon.worker_pid(); worker != 0) kill(worker, SIGKILL);
  }
  stop = true;
  for (std::thread& t : writers) t.join();
  affected(daemon, {});  // the last replacement may still be repairing the store before it serves
  std::vector<std::string_view> keys = {"ondisk"};
  for (const auto& written : answered) keys.insert(keys.end(), written.begin(), written.end());
  Reader reader;
  ASSERT_EQ(Reader::open(daemon.data_path, &reader), ReadStatus::kOk);
  EXPECT_EQ(reader.for_each([](const EntryView&) { return true; }), ReadStatus::kOk);
  IndexFigures index;
  ASSERT_EQ(reader.index_figures(&index), ReadStatus::kOk);
  EXPECT_TRUE(index.present && index.hash_valid && index.ipv4_valid && index.ipv6_valid);
  std::vector<ReadStatus> statuses(keys.size());
  ASSERT_EQ(reader.get_many(keys.data(), keys.size(), nullptr, statuses.data()), ReadStatus::kOk);
  EXPECT_EQ(statuses[0], ReadStatus::kNotFound);
  EXPECT_EQ(static_cast<size_t>(std::count(statuses.begin(), statuses.end(), ReadStatus::kOk)), keys.size() - 1)
      << "answered writes were lost";
  EXPECT_EQ(daemon.stop(), 0);
  EXPECT_NE(daemon.log_text().find("[WARN]: Worker terminated by signal: Killed\n"), std::string::npos);
  EXPECT_EQ(read_file(daemon.data_path), on_disk);
}

// A data file that does not load whole is kept aside as the load finds it, before anything rewrites
// it. With save_interval the changed store then reaches the data file while the daemon runs, and an
// unchanged one is not written again.
TEST(Durability, UnloadableDataFileIsKeptAsideAndPeriodicSavesWriteOnlyAChangedStore) {
  DaemonHarness daemon({"save_interval=1"});
  const std::string text = unloadable_text("v");
  std::ofstream(daemon.data_path) << text;
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  ASSERT_TRUE(daemon.wait_for_log("[CRIT]: The data file " + daemon.data_path + " could not be loaded whole; a copy is kept as "));
  ASSERT_TRUE(send_batch(daemon.socket_path, {make_add("periodic", "v")}).ok());
  ASSERT_TRUE(daemon.wait_for_log(" entries to " + daemon.data_path, 4000)) << daemon.log_text();
  EXPECT_NE(read_file(daemon.data_path).find("periodic:"), std::string::npos);
  const size_t saves = count_of(daemon.log_text(), "[INFO]: Saved ");
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  EXPECT_EQ(count_of(daemon.log_text(), "[INFO]: Saved "), saves) << daemon.log_text();
  EXPECT_EQ(daemon.stop(), 0);
  EXPECT_EQ(copies_holding(daemon, text), 1);
}

}  // namespace
}  // namespace quillmap::e2e
