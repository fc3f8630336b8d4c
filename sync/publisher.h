// The operators' side: writing keys under the prefix as etcd transactions, in exactly the form the
// agents accept (address keys in canonical text, values the daemon can hold), so that a change is
// refused here rather than by every host.
#pragma once

#include <cstdint>
#include <string>

#include "client/client_result.h"
#include "sync/etcd_gateway.h"

namespace quillmap::sync {

// Puts KEY=VALUE (an address key when `address`; its text is made canonical), under a lease when
// `lease` is not 0. The committed revision.
Result<int64_t> publish_put(EtcdGateway& etcd, const std::string& prefix, bool address, const std::string& key,
                            const std::string& value, int64_t lease = 0);
Result<int64_t> publish_delete(EtcdGateway& etcd, const std::string& prefix, bool address,
                               const std::string& key);

// Imports a data file (FILE ending in .yaml or .yml, entries as the daemon dumps them; expiry times
// are not carried over) or a text file of "KEY VALUE" lines (the value is the rest of the line after
// the blanks that follow the key; all keys are address keys when `address`). Transactions of at most
// 128 puts. The number of keys written; the error names the first entry that cannot be written.
Result<int64_t> publish_import(EtcdGateway& etcd, const std::string& prefix, bool address, const std::string& path);

}  // namespace quillmap::sync
