#include "server/worker_body.h"

#include "entry/store_init.h"
#include "persist/data_file.h"
#include "server/connection_loop.h"
#include "util/log.h"
#include "util/signal_flags.h"

namespace quillmap {

int64_t run_worker_body(const UserAccount* account, SlabPool* pool, int restarted) {
  if (init_memory(pool, restarted, settings.data_size) != 0) {
    log_msg(kLogError, "Store could not be prepared; this worker does not serve");
    return kFailed;
  }
  if (signal_flags.got_hup || !settings.no_save_restore) {
    signal_flags.got_hup = 0;
    int64_t loaded = load_data(pool, settings.data_path);
    log_msg(kLogInfo, "Loaded %ld entries", static_cast<long>(loaded));
  }
  int64_t result = process_cycle(pool, account);
  if (!settings.no_save_restore) {
    int64_t dumped = rbtree_dump(pool, settings.data_path);
    if (dumped < 0) {
      log_msg(kLogError, "Could not dump data");
    } else {
      log_msg(kLogInfo, "Dumped %ld entries", static_cast<long>(dumped));
    }
  }
  return result;
}

}  // namespace quillmap
