// The convergence check: the etcd prefix at one revision against the local dictionary.
//
// The revision is the one the agent's state file names (the dictionary is read between two reads of
// that file that agree, so it holds exactly that revision's changes), or the current one without a
// state file. Every key the agents accept must be in the dictionary with the same kind and value and
// no expiry; every key of the agent's own (STATE.keys) that etcd does not hold must be absent. Then
// the daemon's HASH must equal the digest of the expected key set (etcd's accepted keys and the
// entries others added), computed the way the daemon computes it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sync/etcd_gateway.h"
#include "sync/sync_config.h"

namespace quillmap::sync {

struct VerifyReport {
  bool ok = false;
  int64_t revision = 0;
  size_t keys = 0;           // accepted etcd keys compared
  size_t refused = 0;        // etcd keys the agents do not hold
  size_t foreign = 0;        // dictionary entries others added
  std::vector<std::string> differences;  // "missing KEY", "value of KEY differs", ...
  std::string hash;          // the daemon's
  std::string error;         // the check could not be made
};

// Compares; retried a few times while the agent is applying changes.
VerifyReport verify_local(EtcdGateway& etcd, const SyncConfig& config);

}  // namespace quillmap::sync
