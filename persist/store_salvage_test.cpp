// Crash safety of every write path: the writer is ended at each crash-hook step of one operation in
// turn, the next worker's repair runs, and then the store is consistent, every other entry is as it
// was, and the operation's own entry whole or absent (an in-place write undone whole, or done in place).
#include "persist/store_salvage.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>

#include "entry/intent.h"
#include "entry/ipaddr_ops.h"
#include "entry/key_ops.h"
#include "entry/testing/entry_store.h"
#include "persist/testing/persist_fixture.h"
#include "store/change_epoch.h"
#include "store/crash_hook.h"
#include "store/testing/log_capture.h"
#include "store/testing/sysv_segment.h"

namespace quillmap {
namespace {

struct Op {
  const char* name;
  std::function<int64_t(SlabPool*)> run;
  std::string key;                  // the entry the operation adds, replaces or removes
  testing::EntryImage value_after;  // the entry when the operation completed; empty: removed
  int min_kills = 3;                // an in-place write can be ended at every byte of the copy
};

bool is_address(const std::string& k) { return k.find('/') != std::string::npos; }

// ADD (expiry 11) or SET (expiry 22) of `k`, by its kind.
int64_t add(SlabPool* p, const std::string& k, const std::string& v) {
  return (is_address(k) ? add_ipaddr : add_key)(p, k.data(), k.size(), v.data(), v.size(), 11);
}
int64_t set(SlabPool* p, const std::string& k, const std::string& v) {
  return (is_address(k) ? set_ipaddr : set_key)(p, k.data(), k.size(), v.data(), v.size(), 22);
}

class Salvage : public ::testing::Test {
 protected:
  void TearDown() override { publish_changes(nullptr, nullptr); }

  // The store before the operation: 60 string keys (a tree deep enough to rotate) and 40 prefixes.
  testing::DictImage prepare() {
    publish_changes(nullptr, nullptr);
    *state_ = StateHeader{};
    EXPECT_EQ(init_memory(store_.pool(), 0, store_.size()), 0);
    publish_changes(&store_.pool()->lock, state_);
    std::map<std::string, std::string> model;
    for (int i = 0; i < 60; ++i) model["k" + std::to_string(i * 7 % 60)] = "v" + std::to_string(i);
    for (int i = 0; i < 40; ++i) model["10." + std::to_string(i) + ".0.0/16"] = "net" + std::to_string(i);
    for (const auto& [k, v] : model) EXPECT_EQ(add(store_.pool(), k, v), kDone) << k;
    return store_.image();
  }

  // What the next worker does before it serves.
  void restart() {
    store_.pool()->lock = 0;
    const bool interrupted = write_was_interrupted(state_);
    undo_interrupted_change(store_.pool(), state_);
    ASSERT_EQ(init_memory(store_.pool(), 1, store_.size()), 0);
    SalvageReport report;
    if (interrupted) {
      ASSERT_EQ(state_->change_epoch % 2, 1u) << "readers would trust the store before it is rebuilt";
      ASSERT_EQ(salvage_store(store_.pool(), store_.size(), &report), kDone);
    }
    settle_change_epoch();
    EXPECT_EQ(state_->intent.op, kIntentNone);
    EXPECT_EQ(state_->change_epoch % 2, 0u);
  }

  testing::EntryStore store_{8 << 20, testing::PoolBacking::kSysv};
  testing::SysvSegment state_segment_{sizeof(StateHeader)};  // the killed child's changes reach it
  StateHeader* state_ = static_cast<StateHeader*>(state_segment_.base());
  testing::LogCapture log_;
};

TEST_F(Salvage, KilledAtEveryStepOfEveryWritePath) {
  const std::string big(600, 'B'), fits = "a new value that fits";
  // The insertion and the deletion (of a node with two children) whose rebalancing takes the most steps.
  const auto fresh = [&] { prepare(); };
  SlabPool* const p = store_.pool();
  const std::string inserted = testing::longest_change("new-key-", 200, fresh, [&](auto& k) { add(p, k, "fresh"); });
  const std::string deleted = testing::longest_change("k", 60, fresh, [&](auto& k) { delete_key(p, k.data(), k.size()); });
  const Op ops[] = {
      {"insert with rebalancing", [&](SlabPool* p) { return add(p, inserted, "fresh"); }, inserted, {"fresh", 11}},
      {"delete with rebalancing", [&](SlabPool* p) { return delete_key(p, deleted.data(), deleted.size()); }, deleted, {}},
      {"replacement by a larger value", [&](SlabPool* p) { return set(p, "k5", big); }, "k5", {big, 22}},
      {"in-place value write", [](SlabPool* p) { return set(p, "k6", "tiny!"); }, "k6", {"tiny!", 22}, 10},
      {"prefix insert with a trie resize", [](SlabPool* p) { return add(p, "10.99.0.0/16", "n"); }, "10.99.0.0/16", {"n", 11, true}},
      {"prefix delete", [](SlabPool* p) { return delete_ipaddr(p, "10.7.0.0/16", 11); }, "10.7.0.0/16", {}},
      {"address replacement", [&](SlabPool* p) { return set(p, "10.3.0.0/16", big); }, "10.3.0.0/16", {big, 22, true}},
      {"address in-place write", [&](SlabPool* p) { return set(p, "10.4.0.0/16", fits); }, "10.4.0.0/16", {fits, 22, true}, 42},
  };
  for (const Op& op : ops) {
    int kills = 0;
    for (int64_t n = 1;; ++n) {
      SCOPED_TRACE(std::string(op.name) + ", killed at step " + std::to_string(n));
      const testing::DictImage before = prepare();
      const RbtreeNode* entry_before = store_.entry(op.key);
      const pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        crash_after(n);
        op.run(store_.pool());
        _exit(0);
      }
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 86)) << status;
      const bool finished = WEXITSTATUS(status) == 0;
      restart();
      ASSERT_EQ(testing::entry_store_check(store_.pool()), "");
      testing::DictImage after = store_.image(), others = before;
      const testing::EntryImage now = after[op.key], old_value = others[op.key];  // empty when absent
      after.erase(op.key);
      others.erase(op.key);
      ASSERT_EQ(after, others);
      const bool in_place = op.min_kills > 3;
      if (finished) {
        ASSERT_EQ(now, op.value_after);
        ASSERT_TRUE(!in_place || store_.entry(op.key) == entry_before) << "an in-place write moved its entry";
        break;
      }
      ++kills;
      ASSERT_TRUE(now == old_value || (now == op.value_after && !in_place))
          << "a half-done write: '" << now.value.substr(0, 20) << "'";
      ASSERT_TRUE(!is_address(op.key) || now.value.empty() || get_ipaddr(store_.pool(), op.key.data(), op.key.size()) == kDone)
          << "the prefix answers for its entry again";
    }
    EXPECT_GT(kills, op.min_kills) << op.name << ": the hook did not fire at every step of the operation";
  }
}

}  // namespace
}  // namespace quillmap
