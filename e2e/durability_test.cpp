// What the daemon confirmed is never lost when saving goes wrong: a stop on a full file system keeps
// the store for the next start, a kill in the middle of a dump leaves the old file or the new one
// whole, and a data file that does not load whole is kept aside before anything overwrites it.
#include <signal.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "store/segment_identity.h"
#include "client/dict_client.h"
#include "client/reader/quillmap_reader.hpp"
#include "e2e/daemon_harness.h"
#include "util/testing/seed.h"

namespace quillmap::e2e {
namespace {

namespace fs = std::filesystem;

// A small tmpfs of its own, mounted for the test's life.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(const char* size) {
    char tmpl[] = "/tmp/quillmap-small-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    path_ = tmpl;
    mounted_ = mount("tmpfs", path_.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
    rmdir(path_.c_str());
  }
  bool mounted() const { return mounted_; }
  bool resize(const char* size) {
    return mount("tmpfs", path_.c_str(), "tmpfs", MS_REMOUNT, (std::string("size=") + size).c_str()) == 0;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

std::vector<Request> adds(int n, const std::string& value, Action action = Action::kAdd) {
  std::vector<Request> batch;
  for (int i = 0; i < n; ++i) {
    std::string key = "key" + std::to_string(i);
    batch.push_back(action == Action::kAdd ? make_add(key, value) : make_set(key, value));
  }
  return batch;
}

// Sends `requests` in batches of 1000; the number of requests answered as affected.
uint64_t send_all(const DaemonHarness& daemon, const std::vector<Request>& requests) {
  uint64_t affected = 0;
  for (size_t at = 0; at < requests.size(); at += 1000) {
    std::vector<Request> part(requests.begin() + static_cast<long>(at),
                              requests.begin() + static_cast<long>(std::min(requests.size(), at + 1000)));
    Result<Answer> a = send_batch(daemon.socket_path(), part);
    if (a.ok()) affected += a.value().affected().value_or(0);
  }
  return affected;
}

TEST(Durability, StopOnAFullFileSystemKeepsTheStoreForTheNextStart) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  SmallFileSystem small("64k");
  if (!small.mounted()) GTEST_SKIP() << "tmpfs cannot be mounted here";
  DaemonOptions options = serving_options({}, "INFO");
  options.data_dir = small.path();
  DaemonHarness daemon(options);
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  const int n = 400;
  ASSERT_EQ(send_all(daemon, adds(n, std::string(300, 'v'))), static_cast<uint64_t>(n));  // ~150 KB of text
  EXPECT_EQ(daemon.stop(), 1) << daemon.log_text();
  EXPECT_NE(daemon.log_text().find("[CRIT]: The store could not be saved to " + daemon.data_path()), std::string::npos)
      << daemon.log_text();
  EXPECT_TRUE(daemon.segment_exists()) << "the store was thrown away";
  EXPECT_FALSE(fs::exists(daemon.data_path() + ".tmp"));

  ASSERT_TRUE(small.resize("8m"));
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  EXPECT_TRUE(daemon.wait_for_log("[WARN]: Saved 400 entries that the previous run left unsaved in shared memory to " +
                                  daemon.data_path()));
  EXPECT_EQ(send_all(daemon, adds(n, "again")), 0u) << "not every key was kept";
  EXPECT_EQ(daemon.stop(), 0);
}

// Removes the daemon's segments, as a reboot would.
void remove_segments(const std::string& data_path) {
  for (int project : {kDictProjectId, kStateProjectId, kIndexProjectId}) {
    int id = find_segment(data_path.c_str(), project);
    if (id >= 0) shmctl(id, IPC_RMID, nullptr);
  }
}

// value -> how many entries hold it, read straight from the segment.
std::map<std::string, int> values_of(const std::string& data_path) {
  std::map<std::string, int> count;
  Reader reader;
  EXPECT_EQ(Reader::open(data_path, &reader), ReadStatus::kOk);
  EXPECT_EQ(reader.for_each([&](const EntryView& e) {
    ++count[std::string(e.value)];
    return true;
  }),
            ReadStatus::kOk);
  return count;
}

// SIGKILL of the worker and the master at a random moment of a dump of 100k entries, then a start
// after the segments are gone, as after a power cut: the store holds the whole old content or the
// whole new one.
TEST(Durability, KillDuringADumpLeavesTheOldOrTheNewFileWhole) {
  const uint32_t seed = testing::test_seed(7);
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937 rng(seed);
  DaemonHarness daemon(serving_options({"data_size=67108864"}, "WARN"));
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  const int n = 100000;
  ASSERT_EQ(send_all(daemon, adds(n, "old")), static_cast<uint64_t>(n));
  ASSERT_TRUE(send_batch(daemon.socket_path(), {make_simple(Action::kDump)}).ok());
  std::string saved = "old";
  int completed = 0, interrupted = 0, finished_at_start = 0;
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string next = "new" + std::to_string(round);
    ASSERT_EQ(send_all(daemon, adds(n, next, Action::kSet)), static_cast<uint64_t>(n));
    const pid_t worker = daemon.worker_pid(), master = daemon.master_pid();
    std::thread dump([&] { send_batch(daemon.socket_path(), {make_simple(Action::kDump)}, ClientOptions{5000}); });
    std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 700));
    kill(master, SIGKILL);
    kill(worker, SIGKILL);
    dump.join();
    daemon.wait_gone(worker, 5000);
    daemon.wait_gone(master, 5000);
    remove_segments(daemon.data_path());
    const size_t log_before = daemon.log_text().size();
    ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
    finished_at_start += daemon.log_text().find("was cut short", log_before) != std::string::npos;
    std::map<std::string, int> values = values_of(daemon.data_path());
    ASSERT_EQ(values.size(), 1u) << "a mix of old and new entries";
    ASSERT_EQ(values.begin()->second, n);
    ASSERT_TRUE(values.begin()->first == saved || values.begin()->first == next) << values.begin()->first;
    (values.begin()->first == next ? completed : interrupted)++;
    saved = values.begin()->first;
  }
  RecordProperty("completed_interrupted_finished_at_start", std::to_string(completed) + " " +
                  std::to_string(interrupted) + " " + std::to_string(finished_at_start));
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
  for (const auto& entry : fs::directory_iterator(daemon.dir())) {
    if (entry.path().filename().string().starts_with("data.yaml.unloadable-")) {
      ++copies;
      EXPECT_EQ(read_file(entry.path().string()), text);
      EXPECT_EQ(fs::status(entry.path()).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    }
  }
  return copies;
}

// A data file that does not load whole is kept aside before the stop's dump rewrites it with the 10
// entries that loaded.
TEST(Durability, UnloadableDataFileIsKeptAside) {
  DaemonHarness daemon(serving_options({}, "WARN"));
  const std::string text = unloadable_text("v");
  std::ofstream(daemon.data_path()) << text;
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  ASSERT_TRUE(daemon.wait_for_log("[CRIT]: The data file " + daemon.data_path() +
                                  " could not be loaded whole; a copy is kept as "));
  EXPECT_EQ(daemon.stop(), 0);
  EXPECT_EQ(copies_holding(daemon, text), 1);
  EXPECT_NE(read_file(daemon.data_path()), text);  // rewritten by the stop, with what had loaded
}

// When not even the copy can be made (a file size limit that the copy would pass and the dump of
// what loaded stays within), nothing overwrites the data file: a DUMP to it fails, one to another
// file works, and so does the stop's dump, which keeps the store in shared memory. The next start,
// without the limit, keeps the copy first and then saves the store.
TEST(Durability, UnloadableDataFileIsNotOverwrittenWhileNoCopyIsKept) {
  DaemonHarness daemon(serving_options({}, "WARN"));
  const std::string text = unloadable_text(std::string(2000, 'v'));  // about 200 KB; a few entries load
  std::ofstream(daemon.data_path()) << text;
  struct rlimit saved, limit;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  limit = saved;
  limit.rlim_cur = 65536;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);  // inherited by the daemon started now
  const bool started = daemon.start();
  setrlimit(RLIMIT_FSIZE, &saved);
  ASSERT_TRUE(started) << daemon.stderr_text();
  const std::string held = "[CRIT]: The data file " + daemon.data_path() + " could not be loaded whole and no copy";
  ASSERT_TRUE(daemon.wait_for_log(held)) << daemon.log_text();
  Result<Answer> to_data = send_batch(daemon.socket_path(), {make_simple(Action::kDump)});
  EXPECT_TRUE(to_data.ok() && !to_data.value().success);
  Result<Answer> to_other =
      send_batch(daemon.socket_path(), {make_file_request(Action::kDump, daemon.dir() + "/other.yaml")});
  EXPECT_TRUE(to_other.ok() && to_other.value().success) << daemon.log_text();
  EXPECT_EQ(daemon.stop(), 1);
  EXPECT_EQ(count_of(daemon.log_text(), held), 1u) << daemon.log_text();
  EXPECT_EQ(read_file(daemon.data_path()), text);
  EXPECT_TRUE(daemon.segment_exists()) << "the store was thrown away";
  EXPECT_EQ(copies_holding(daemon, text), 0);  // no partial copy is left

  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  EXPECT_TRUE(
      daemon.wait_for_log(" entries that the previous run left unsaved in shared memory to " + daemon.data_path()))
      << daemon.log_text();
  EXPECT_EQ(copies_holding(daemon, text), 1);
  EXPECT_EQ(daemon.stop(), 0);
}

// Three writers while the worker is killed every 100 ms: every key whose batch was answered is there
// afterwards, and the store reads whole. Without save and restore the entries can only come from the
// segment itself: the data file is neither loaded nor written.
TEST(Durability, AnsweredWritesSurviveRepeatedWorkerKills) {
  DaemonHarness daemon(serving_options({"no_save_restore=1", "data_size=67108864"}, "WARN"));
  const std::string on_disk = "---\nondisk:\n  value: 1\n  expires: 0\n  is_address: false\n...\n";
  std::ofstream(daemon.data_path()) << on_disk;
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
          char address[64];  // hexadecimal groups: every batch number gives a valid address
          snprintf(address, sizeof address, "2001:db8:%x:%x:%x::%x/128", w, b >> 16, b & 0xffff, i);
          keys.push_back(i % 4 == 3 ? address : "w" + std::to_string(w) + "-" + std::to_string(b) + "-" + std::to_string(i));
          batch.push_back(i % 4 == 3 ? make_add(keys.back(), "a", 0, KeyType::kAddress) : make_add(keys.back(), "v"));
        }
        Result<Answer> a = send_batch(daemon.socket_path(), batch, ClientOptions{2000});
        // Answered with every request counted: all of them are stored (a batch cut short by the kill
        // gets no answer).
        if (a.ok() && a.value().affected() == 20u) answered[w].insert(answered[w].end(), keys.begin(), keys.end());
      }
    });
  }
  int kills = 0;
  for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(6); std::chrono::steady_clock::now() < until;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (pid_t worker = daemon.worker_pid(); worker != 0 && kill(worker, SIGKILL) == 0) ++kills;
  }
  stop = true;
  for (std::thread& t : writers) t.join();
  ASSERT_NE(daemon.wait_for_worker(0), 0);
  // The last replacement may still be repairing the store before it serves.
  for (int i = 0; i < 500 && !send_batch(daemon.socket_path(), {}).ok(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::vector<Request> gets;
  size_t total = 0;
  for (const auto& keys : answered) {
    for (const std::string& k : keys) gets.push_back(make_get(k));
    total += keys.size();
  }
  EXPECT_EQ(send_all(daemon, gets), total) << "answered writes were lost";
  Reader reader;
  ASSERT_EQ(Reader::open(daemon.data_path(), &reader), ReadStatus::kOk);
  size_t entries = 0;
  ReadStatus walked = ReadStatus::kChanged;
  for (int attempt = 0; attempt < 5 && walked != ReadStatus::kOk; ++attempt) {
    entries = 0;
    walked = reader.for_each([&](const EntryView&) { return ++entries, true; });
    if (walked != ReadStatus::kOk) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(walked, ReadStatus::kOk);
  EXPECT_GE(entries, total);
  // The last worker rebuilt the index from the store it inherited: it answers every answered key.
  IndexFigures index;
  ASSERT_EQ(reader.index_figures(&index), ReadStatus::kOk);
  EXPECT_TRUE(index.present && index.hash_valid && index.ipv4_valid && index.ipv6_valid);
  std::vector<std::string_view> keys;
  for (const auto& written : answered) keys.insert(keys.end(), written.begin(), written.end());
  std::vector<ReadStatus> statuses(keys.size());
  ASSERT_EQ(reader.get_many(keys.data(), keys.size(), nullptr, statuses.data()), ReadStatus::kOk);
  EXPECT_EQ(static_cast<size_t>(std::count(statuses.begin(), statuses.end(), ReadStatus::kOk)), keys.size());
  std::string value;
  EXPECT_EQ(reader.get("ondisk", &value), ReadStatus::kNotFound);
  RecordProperty("kills", kills);
  RecordProperty("answered_keys", static_cast<int>(total));
  EXPECT_EQ(daemon.stop(), 0);
  EXPECT_NE(daemon.log_text().find("[WARN]: Worker terminated by signal: Killed\n"), std::string::npos);
  EXPECT_EQ(read_file(daemon.data_path()), on_disk);
}

// A foreground daemon leaves its segments behind; started again with index=0 over them, it must not
// leave readers an index that no worker keeps (it would answer a key deleted since).
TEST(Durability, AStartWithoutTheIndexLeavesReadersNoStaleIndex) {
  DaemonHarness daemon;
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  ASSERT_EQ(send_all(daemon, adds(50, "v")), 50u);
  EXPECT_EQ(daemon.stop(), 0);
  ASSERT_TRUE(daemon.segment_exists());
  std::ofstream(daemon.config_path(), std::ios::app) << "index=0\n";
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  ASSERT_EQ(send_all(daemon, {make_del("key7")}), 1u);
  Reader reader;
  ASSERT_EQ(Reader::open(daemon.data_path(), &reader), ReadStatus::kOk);
  IndexFigures index;
  ASSERT_EQ(reader.index_figures(&index), ReadStatus::kOk);
  EXPECT_FALSE(index.present);
  std::string value;
  EXPECT_EQ(reader.get("key7", &value), ReadStatus::kNotFound);
  EXPECT_EQ(reader.get("key8", &value), ReadStatus::kOk);
  EXPECT_EQ(daemon.stop(), 0);
}

// With save_interval a changed store reaches the data file while the daemon runs, and an unchanged
// one is not written again.
TEST(Durability, PeriodicSavesWriteOnlyAChangedStore) {
  DaemonHarness daemon(serving_options({"save_interval=1"}, "INFO"));
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  ASSERT_TRUE(send_batch(daemon.socket_path(), {make_add("periodic", "v")}).ok());
  ASSERT_TRUE(daemon.wait_for_log("[INFO]: Saved 1 entries to " + daemon.data_path(), 4000));
  EXPECT_NE(read_file(daemon.data_path()).find("periodic:"), std::string::npos);
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  EXPECT_EQ(count_of(daemon.log_text(), "[INFO]: Saved "), 1u) << daemon.log_text();
  EXPECT_EQ(daemon.stop(), 0);
}

}  // namespace
}  // namespace quillmap::e2e
