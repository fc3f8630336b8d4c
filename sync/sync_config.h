// The agent's configuration file: the daemon's key=value line rules (util/config_lines.h); the last
// occurrence of a key counts, unknown keys are ignored.
//
//   etcd_endpoints   comma-separated URLs of etcd members (default http://127.0.0.1:2379)
//   etcd_prefix      the key prefix followed (default /quillmap/)
//   etcd_ca_file, etcd_cert_file, etcd_key_file   TLS trust anchors and client certificate
//   etcd_user, etcd_password                      etcd credentials
//   etcd_watch_silence   seconds a watch may hear nothing from its member before it is reopened on
//                    the next endpoint (default 20)
//   daemon_config    the local daemon's configuration file: socket_path and data_path come from it
//   socket_path, data_path                        or given directly (they win over daemon_config)
//   state_path       the state file (default /var/lib/quillmap-sync/state); the agent also writes
//                    STATE.keys (the keys it holds in the dictionary) and STATE.status
//   log_path         (default /var/log/quillmap/quillmap-sync.log), log_level (default INFO)
#pragma once

#include <string>

#include "client/client_result.h"
#include "sync/etcd_gateway.h"

namespace quillmap::sync {

struct SyncConfig {
  EtcdOptions etcd;
  std::string prefix = "/quillmap/";
  std::string socket_path;
  std::string data_path;
  std::string state_path = "/var/lib/quillmap-sync/state";
  std::string log_path = "/var/log/quillmap/quillmap-sync.log";
  std::string log_level = "INFO";

  std::string keys_path() const { return state_path + ".keys"; }
  std::string status_path() const { return state_path + ".status"; }
};

// Reads the file; errors name the file and the missing piece (no data_path, unreadable file).
Result<SyncConfig> read_sync_config(const std::string& path);

}  // namespace quillmap::sync
