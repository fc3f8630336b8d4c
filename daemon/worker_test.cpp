// The worker body on a store that cannot be prepared: it must never be served; and
// a store left unsaved by a writer killed mid-change is rebuilt before it is saved.
// (Loading, serving, dumping and replacement are exercised through the real daemon in e2e/.)
#include "daemon/worker.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "daemon/leftover_store.h"
#include "entry/key_ops.h"
#include "entry/store_init.h"
#include "entry/testing/entry_store.h"
#include "persist/testing/persist_fixture.h"
#include "store/change_epoch.h"
#include "store/crash_hook.h"
#include "store/testing/log_capture.h"
#include "store/testing/pool_fixture.h"
#include "store/testing/sysv_segment.h"
#include "util/settings.h"

namespace quillmap {
namespace {

using testing::read_file;

TEST(WorkerBody, UnusableStoreIsNeverServed) {
  testing::ScratchDir dir;
  const std::string socket_path = dir.file("sock"), data_path = dir.file("data.yaml");
  const std::string kept = "---\nkept:\n  value: 1\n  expires: 0\n  is_address: false\n...\n";
  testing::write_file(data_path, kept);
  const Settings saved = settings;
  settings.socket_path = const_cast<char*>(socket_path.c_str());
  settings.data_path = const_cast<char*>(data_path.c_str());
  testing::PoolFixture fixture(4 << 20, testing::PoolBacking::kSysv, false);
  settings.data_size = 4096;  // too small to hold the store's first records
  testing::LogCapture log;
  EXPECT_EQ(run_workloop(nullptr, fixture.pool(), nullptr, nullptr, 0), kWorkerUnprepared);
  settings = saved;
  EXPECT_FALSE(std::filesystem::exists(socket_path)) << "no socket was opened";
  EXPECT_TRUE(log.contains("[ERROR]: Store could not be prepared; this worker does not serve\n")) << log.text();
  EXPECT_FALSE(log.contains("Loaded")) << "nothing loaded into an unusable store";
  EXPECT_EQ(read_file(data_path), kept) << "nothing dumped from it";
}

// An insertion with rebalancing is killed at each of its steps, and the run is gone as a killed
// foreground daemon would be; the next start saves the left-behind store. The file must hold every
// entry that was there before, however the tree was left.
TEST(LeftoverStore, HalfChangedStoreIsRebuiltBeforeItIsSaved) {
  testing::ScratchDir dir;
  const std::string data_path = dir.file("data.yaml");
  const Settings saved = settings;
  settings.data_path = const_cast<char*>(data_path.c_str());
  testing::EntryStore store(4 << 20, testing::PoolBacking::kSysv);
  settings.data_size = static_cast<int>(store.size());
  testing::SysvSegment state_segment(sizeof(StateHeader));  // the killed child's changes reach it
  auto* state = static_cast<StateHeader*>(state_segment.base());
  auto prepare = [&] {
    *state = StateHeader{};
    ASSERT_EQ(init_memory(store.pool(), 0, store.size()), kDone);
    publish_changes(&store.pool()->lock, state);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(add_key(store.pool(), ("k" + std::to_string(i)).c_str(), 2 + (i > 9), "v", 1, 0), kDone);
  };
  const std::string key =  // the insertion whose rebalancing takes the most steps
      testing::longest_change("new", 100, prepare, [&](auto& k) { add_key(store.pool(), k.data(), k.size(), "v", 1, 0); });
  int killed = 0;
  for (int64_t n = 1;; ++n) {
    SCOPED_TRACE("killed at step " + std::to_string(n));
    prepare();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      crash_after(n);
      _exit(add_key(store.pool(), key.data(), key.size(), "v", 1, 0) == kDone ? 0 : 1);
    }
    publish_changes(nullptr, nullptr);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 86)) << status;
    const DaemonSegments segment{.base = store.pool(), .state = state, .reused = true, .state_matched = true};
    ASSERT_EQ(save_leftover_store(segment), 0);
    const std::string text = read_file(data_path);
    for (int i = 0; i < 64; ++i) ASSERT_NE(text.find("\nk" + std::to_string(i) + ":\n"), std::string::npos) << i;
    if (WEXITSTATUS(status) == 0) break;
    ++killed;
  }
  EXPECT_GT(killed, 8) << "the insertion did not rebalance";
  settings = saved;
}

}  // namespace
}  // namespace quillmap
