// The key-value calls of the gateway that the agent and the publisher use.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/client_result.h"
#include "sync/etcd_gateway.h"

namespace quillmap::sync {

struct PrefixSnapshot {
  int64_t revision = 0;  // every key of the prefix as of this revision
  std::vector<KeyValue> kvs;
};

// Reads every key under `prefix` at one revision (`revision`, or the current one when 0), in pages.
// `compacted` is set when the revision has been compacted away.
Result<PrefixSnapshot> read_prefix(EtcdGateway& etcd, const std::string& prefix, int64_t revision = 0,
                                   bool* compacted = nullptr);

// The cluster's current revision, from the header of a count of the one key `key` (a user that may
// read only the agent's prefix may read its first key).
Result<int64_t> current_revision(EtcdGateway& etcd, const std::string& key = std::string(1, '\0'));

// One change of a transaction: a put (with an optional lease) or the delete of one key.
struct Change {
  std::string key;
  bool is_delete = false;
  std::string value;
  int64_t lease = 0;
};

// Applies the changes as one transaction (etcd refuses more than its max-txn-ops, 128 by default);
// the revision it committed at.
Result<int64_t> commit(EtcdGateway& etcd, const std::vector<Change>& changes);

// A lease of `ttl_seconds`; its id.
Result<int64_t> grant_lease(EtcdGateway& etcd, int64_t ttl_seconds);

// Compacts the key history up to `revision`.
Status compact(EtcdGateway& etcd, int64_t revision);

}  // namespace quillmap::sync
