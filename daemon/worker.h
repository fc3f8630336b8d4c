// The worker body: what the worker process (or, in the foreground, the daemon itself) runs between
// its fork and its exit.
#pragma once

#include <cstdint>

#include "index/index_layout.h"
#include "store/layout.h"
#include "store/state_layout.h"
#include "util/settings.h"

namespace quillmap {

// The worker's exit status tells the master whether the store is safe on disk.
inline constexpr int kWorkerSaved = 0;        // the stop dump succeeded (or there was none to make)
inline constexpr int kWorkerUnprepared = 1;   // the store could not be prepared; nothing was served
inline constexpr int kWorkerSaveFailed = 3;   // the stop dump failed: the store lives only in the segment

// The worker body, in order:
//   1. publishes its changes to `state` and prepares the store (`restarted` 0: laid out afresh; 1:
//      kept as the previous worker left it, after undoing the one change a killed predecessor may have
//      left half done);
//      Then rebuilds `index` (null: none) from the store and keeps it from then on;
//   2. finishes a dump of the data file that a killed worker cut short;
//   3. unless settings.no_save_restore is set (a raised got_hup forces the load and is cleared), loads
//      settings.data_path, but only when no worker of this master finished its start-up load: after
//      that, the surviving store is newer than the file. A file that fails to load is copied aside
//      first (keep_unloadable_copy), so that no later dump can overwrite what did not load; when no
//      copy can be made, the file is held: every dump to it fails (the stop dump too, so the master
//      keeps the store) until a later dump manages the copy;
//   4. serves the socket until a terminating signal (process_cycle with `account`, null when no user
//      is configured);
//   5. dumps to settings.data_path unless no_save_restore is set.
// Returns the exit status above.
int run_workloop(const UserAccount* account, SlabPool* base, StateHeader* state, IndexHeader* index, int restarted);

}  // namespace quillmap
