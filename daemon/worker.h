// The worker body: what the worker process (or, in the foreground, the daemon itself) runs between
// its fork and its exit.
#pragma once

#include <cstdint>

#include "store/layout.h"
#include "util/settings.h"

namespace quillmap {

// Prepares the store (`restarted` 0: laid out afresh; 1: kept as the previous worker left it), loads
// settings.data_path unless settings.no_save_restore is set (a raised got_hup forces the load and is
// cleared), serves the socket until a terminating signal (process_cycle with `account`, null when no
// user is configured), then dumps to settings.data_path unless no_save_restore is set. Returns the
// serving loop's result, which the caller ignores.
// A store that cannot be prepared is not used: nothing is loaded, served or dumped, and -1 is returned
// so that the worker ends and the master starts a replacement.
int64_t run_workloop(const UserAccount* account, SlabPool* base, int restarted);

}  // namespace quillmap
