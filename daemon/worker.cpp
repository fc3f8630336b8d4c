#include "daemon/worker.h"

#include "entry/store_init.h"
#include "persist/data_file.h"
#include "server/connection_loop.h"
#include "util/log.h"
#include "util/signal_flags.h"

namespace quillmap {

int64_t run_workloop(const UserAccount* account, SlabPool* base, int restarted) {
  if (init_memory(base, restarted, settings.data_size) != 0) {
    log_msg(kLogError, "Store could not be prepared; this worker does not serve");
    return kFailed;
  }
  if (signal_flags.got_hup || !settings.no_save_restore) {
    signal_flags.got_hup = 0;
    int64_t loaded = load_data(base, settings.data_path);
    log_msg(kLogInfo, "Loaded %ld entries", static_cast<long>(loaded));
  }
  int64_t result = process_cycle(base, account);
  if (result < 0) log_msg(kLogError, "Worker could not serve the socket %s; it ends", settings.socket_path);
  if (!settings.no_save_restore) {
    int64_t dumped = rbtree_dump(base, settings.data_path);
    if (dumped < 0) {
      log_msg(kLogError, "Could not dump data");
    } else {
      log_msg(kLogInfo, "Dumped %ld entries", static_cast<long>(dumped));
    }
  }
  return result;
}

}  // namespace quillmap
