// Crash safety of the journalled in-place value replacement: the writer is ended at every single
// step of a SET in turn (the crash hook), and the next worker's undo must leave the old value and
// expiry whole, or, once the write had finished, the new ones; the store stays consistent throughout.
#include "entry/intent.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "entry/key_ops.h"
#include "entry/testing/entry_store.h"
#include "store/change_epoch.h"
#include "store/crash_hook.h"
#include "store/testing/log_capture.h"

namespace quillmap {
namespace {

std::string value_of(const RbtreeNode* node) {
  return std::string(reinterpret_cast<const char*>(node_value(node)), node->value_len);
}

TEST(Intent, InPlaceSetKilledAtEveryStepIsUndoneWhole) {
  testing::EntryStore store(4 << 20, testing::PoolBacking::kSysv);
  void* shared = mmap(nullptr, sizeof(StateHeader), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  auto* state = static_cast<StateHeader*>(shared);
  publish_changes(&store.pool()->lock, state);
  const std::string old_value(40, 'o'), new_value = "a new value that fits";
  for (const std::string key : {"k", "10.0.0.0/8"}) {
    const bool address = key != "k";
    ASSERT_EQ(address ? set_ipaddr(store.pool(), key.data(), key.size(), old_value.data(), old_value.size(), 11)
                      : set_key(store.pool(), key.data(), key.size(), old_value.data(), old_value.size(), 11),
              kNothingToDo);
    RbtreeNode* node = store.entry(key);
    ASSERT_NE(node, nullptr);
    int killed = 0;
    for (int64_t n = 1;; ++n) {
      SCOPED_TRACE(key + " killed at step " + std::to_string(n));
      pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        crash_after(n);
        int64_t rc = address ? set_ipaddr(store.pool(), key.data(), key.size(), new_value.data(), new_value.size(), 22)
                             : set_key(store.pool(), key.data(), key.size(), new_value.data(), new_value.size(), 22);
        _exit(rc == kDone ? 0 : 1);
      }
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFEXITED(status));
      const bool finished = WEXITSTATUS(status) == 0;
      ASSERT_TRUE(finished || WEXITSTATUS(status) == 86) << WEXITSTATUS(status);
      // The next worker: the lock a dead writer held is cleared, then the record is undone.
      store.pool()->lock = 0;
      testing::LogCapture log;
      const bool recorded = state->intent.op != kIntentNone;
      undo_interrupted_change(store.pool(), state);
      EXPECT_EQ(store.entry(key), node) << "replaced in place, never moved";
      EXPECT_EQ(state->intent.op, kIntentNone);
      // Undone from the record, the change is over; killed before the record, the store is rebuilt
      // first, and until then readers must not trust it.
      EXPECT_EQ(state->change_epoch % 2, finished || recorded ? 0u : 1u);
      settle_change_epoch();
      EXPECT_EQ(testing::entry_store_check(store.pool()), "");
      if (finished) {
        EXPECT_EQ(value_of(node), new_value);
        EXPECT_EQ(node->expires, 22u);
        break;
      }
      ++killed;
      EXPECT_EQ(value_of(node), old_value);
      EXPECT_EQ(node->expires, 11u);
    }
    EXPECT_GT(killed, static_cast<int>(2 * new_value.size())) << "every byte of the copy was a kill point";
    // Back to the old value for the next key's round.
  }
  publish_changes(nullptr, nullptr);
  munmap(shared, sizeof(StateHeader));
}

// Every write hold brackets the change epoch and clears the saved flag.
TEST(Intent, WriteHoldsPublishTheChangeEpoch) {
  testing::EntryStore store(4 << 20);
  StateHeader state{};
  state.flags = kStateSaved;
  publish_changes(&store.pool()->lock, &state);
  ASSERT_EQ(add_key(store.pool(), "a", 1, "v", 1, 0), kDone);
  EXPECT_EQ(state.change_epoch, 2u);
  EXPECT_FALSE(store_saved());
  ASSERT_EQ(get_key(store.pool(), "a", 1), kDone);  // a read changes nothing
  EXPECT_EQ(state.change_epoch, 2u);
  note_store_saved();
  ASSERT_EQ(delete_key(store.pool(), "a", 1), kDone);
  EXPECT_EQ(state.change_epoch, 4u);
  EXPECT_FALSE(store_saved());
  publish_changes(nullptr, nullptr);
}

}  // namespace
}  // namespace quillmap
