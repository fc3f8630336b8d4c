// The worker body: what the worker process (or, in the foreground, the daemon itself) runs.
#pragma once

#include "store/layout.h"
#include "util/settings.h"

namespace quillmap {

// Runs the worker until a terminating signal (SIGTERM, SIGINT or SIGQUIT) is raised. `account` is the
// configured account (null when none), `base` the attached segment, `restarted` 0 for a master's first
// worker and 1 for its successors. Returns the serving loop's result, which the caller ignores.
int run_workloop(const UserAccount* account, SlabPool* base, int restarted);

}  // namespace quillmap
