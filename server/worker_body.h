// The worker's life between its fork and its exit: prepare the store, load the data file, serve until
// a terminating signal, dump the data file.
#pragma once

#include <cstdint>

#include "store/layout.h"
#include "util/settings.h"

namespace quillmap {

// Prepares the store (`restarted` 0: laid out afresh; 1: kept as the previous worker left it), loads
// settings.data_path unless settings.no_save_restore is set (a raised got_hup forces the load and is
// cleared), runs process_cycle with `account` (null: no configured user), then dumps to
// settings.data_path unless no_save_restore is set. Returns process_cycle's result.
// When the store cannot be prepared it is not used: nothing is loaded, served or dumped, and -1 is
// returned so that the worker ends and the master starts a replacement.
int64_t run_worker_body(const UserAccount* account, SlabPool* pool, int restarted);

}  // namespace quillmap
