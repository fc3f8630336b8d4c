// Test support for the data file: a store filled the way the loader fills it (scratch directories and
// whole-file reads and writes come with it), and the change of a store that takes the most crash-hook steps.
#pragma once

#include <functional>
#include <string>

#include "entry/testing/entry_store.h"
#include "persist/data_file.h"
#include "store/crash_hook.h"
#include "store/rwlock.h"
#include "store/testing/log_capture.h"
#include "util/testing/files.h"

namespace quillmap::testing {

// A store laid out afresh, as the daemon's first worker leaves it.
class PersistStore : public EntryStore {
 public:
  explicit PersistStore(int64_t data_size = 64 << 20) : EntryStore(data_size) {}
  // Stores one entry the way the loader does (write lock taken here).
  int64_t put(const std::string& key, const std::string& value, uint64_t expires, bool is_address) {
    if (rwlock_wlock(&pool()->lock) != 0) return -3;
    int64_t r = load_key_locked(pool(), key.data(), key.size(), value.data(), value.size(), expires, is_address);
    rwlock_unlock(&pool()->lock);
    return r;
  }
};

// Of the keys `prefix` 0 to count - 1, the one whose change by `run`, each after `prepare`, takes the most
// crash-hook steps (the one whose rebalancing goes furthest).
inline std::string longest_change(const std::string& prefix, int count, const std::function<void()>& prepare,
                                  const std::function<void(const std::string&)>& run) {
  std::string longest;
  for (int64_t i = 0, most = -1; i < count; ++i) {
    prepare();
    crash_after(int64_t{1} << 60);  // counts only
    run(prefix + std::to_string(i));
    if (crash_steps_taken() > most) most = crash_steps_taken(), longest = prefix + std::to_string(i);
    crash_after(0);
  }
  return longest;
}

}  // namespace quillmap::testing
