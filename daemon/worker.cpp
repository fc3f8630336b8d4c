#include "daemon/worker.h"

#include <ctime>

#include "util/log.h"
#include "util/signal_flags.h"

namespace quillmap {

// Stand-in until the store and the request service are joined in: waits in 100 ms steps for a
// terminating signal and reopens the log on SIGUSR1.
int run_workloop(const UserAccount* /*account*/, SlabPool* /*base*/, int /*restarted*/) {
  while (!signal_flags.got_term && !signal_flags.got_int && !signal_flags.got_quit) {
    if (signal_flags.got_usr1) {
      signal_flags.got_usr1 = 0;
      log_close();
      log_open(settings.log_path);
    }
    struct timespec step = {0, 100 * 1000 * 1000};
    nanosleep(&step, nullptr);
  }
  return 0;
}

}  // namespace quillmap
