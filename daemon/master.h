// The master's supervision of its one worker: fork it, forward SIGUSR1 and (once) SIGTERM to it,
// replace it at once whenever it ends on its own, and stop when it has ended after a forwarded SIGTERM.
#pragma once

#include "daemon/segment.h"
#include "util/settings.h"

namespace quillmap {

enum class MasterOutcome {
  kShutdown,         // in the master: the worker is gone (or could not be signalled or waited for)
  kShutdownUnsaved,  // in the master: the worker's stop dump failed or it was killed during it
  kForkFailed,       // in the master: no worker could be started; segment and pid file stay
  kWorkerDone,       // in a worker process: its body has returned (*worker_status: its exit status)
};

// The 100 ms supervision loop. The master's log is reopened after every fork so that it writes
// through its own open of the file while the worker keeps the inherited one.
MasterOutcome run_master_loop(const UserAccount* account, const DaemonSegments& segment, int* worker_status);

}  // namespace quillmap
