#include "daemon/worker.h"

#include "entry/intent.h"
#include "entry/store_init.h"
#include "index/index_upkeep.h"
#include "persist/data_file.h"
#include "persist/data_file_writer.h"
#include "persist/store_salvage.h"
#include "server/connection_loop.h"
#include "store/change_epoch.h"
#include "store/rbtree.h"
#include "store/tree_neighbours.h"
#include "util/log.h"
#include "util/signal_flags.h"

namespace quillmap {
namespace {

void startup_load(SlabPool* base) {
  if (startup_load_done()) {
    log_msg(kLogInfo, "Not loading %s: the store kept from the previous worker is newer", settings.data_path);
    return;
  }
  int64_t loaded = load_data(base, settings.data_path);
  log_msg(kLogInfo, "Loaded %ld entries", static_cast<long>(loaded));
  // Whatever did not load is still only in the file: it is copied aside, or else held, before any
  // dump could write over it.
  if (loaded < 0) keep_unloadable_copy(settings.data_path);
}

}  // namespace

int run_workloop(const UserAccount* account, SlabPool* base, StateHeader* state, IndexHeader* index, int restarted) {
  publish_changes(&base->lock, state);
  // The index agreed with the store as the predecessor left it, not as the repairs below leave it.
  suspend_index(index);
  // A predecessor killed inside a write hold may have left any structure half changed.
  const bool interrupted = restarted != 0 && write_was_interrupted(state);
  if (restarted != 0) undo_interrupted_change(base, state);
  if (init_memory(base, restarted, settings.data_size) != 0) {
    log_msg(kLogError, "Store could not be prepared; this worker does not serve");
    return kWorkerUnprepared;
  }
  SalvageReport salvaged;
  if (interrupted && salvage_store(base, settings.data_size, &salvaged) != kDone) {
    log_msg(kLogError, "Store could not be prepared; this worker does not serve");
    return kWorkerUnprepared;
  }
  if (restarted == 0) clear_intent(state);
  settle_change_epoch();
  // The index is derived from the store as it now stands; loads and requests keep it from here on.
  start_index(base, index);
  prepare_neighbours(base, key_tree_of(base));
  finish_interrupted_dump(settings.data_path);
  if (signal_flags.got_hup || !settings.no_save_restore) {
    signal_flags.got_hup = 0;
    startup_load(base);
  }
  note_startup_load_done();
  int64_t result = process_cycle(base, account);
  if (result < 0) log_msg(kLogError, "Worker could not serve the socket %s; it ends", settings.socket_path);
  if (settings.no_save_restore) return kWorkerSaved;
  int64_t dumped = rbtree_dump(base, settings.data_path);
  if (dumped < 0) {
    log_msg(kLogError, "Could not dump data");
    return kWorkerSaveFailed;
  }
  note_store_saved();
  log_msg(kLogInfo, "Dumped %ld entries", static_cast<long>(dumped));
  return kWorkerSaved;
}

}  // namespace quillmap
