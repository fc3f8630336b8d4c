#include "sync/verify.h"

#include <unistd.h>

#include <set>

#include "sync/agent_files.h"
#include "sync/daemon_feeder.h"
#include "sync/etcd_kv.h"
#include "sync/key_mapping.h"
#include "sync/local_store.h"

namespace quillmap::sync {
namespace {

VerifyReport compare_once(EtcdGateway& etcd, const SyncConfig& config) {
  VerifyReport report;
  LocalEntries local;
  int64_t revision = 0;
  for (int attempt = 0;; ++attempt) {
    std::optional<AgentState> before = load_state(config.state_path);
    if (!read_local_entries(config.data_path, &local, &report.error)) return report;
    std::optional<AgentState> after = load_state(config.state_path);
    if (!before || !after) break;
    if (before->revision == after->revision) {
      revision = after->revision;
      break;
    }
    if (attempt == 50) {
      report.error = "the agent applies changes without pause";
      return report;
    }
    usleep(100000);
  }
  Result<PrefixSnapshot> snap = read_prefix(etcd, config.prefix, revision);
  if (!snap.ok()) {
    report.error = snap.error();
    return report;
  }
  report.revision = snap.value().revision;
  std::set<LocalKey> own;
  {
    KeyJournal journal;
    std::string ignored;
    if (journal.open(config.keys_path(), &ignored)) own = journal.keys();
  }
  std::set<std::string> expected;
  for (const KeyValue& kv : snap.value().kvs) {
    std::string why;
    std::optional<LocalKey> key = map_etcd_key(std::string_view(kv.key).substr(config.prefix.size()), &why);
    if (key && !entry_refusal(*key, kv.value).empty()) key.reset();
    if (!key) {
      ++report.refused;
      continue;
    }
    ++report.keys;
    expected.insert(key->text);
    auto it = local.find(key->text);
    if (it == local.end()) {
      report.differences.push_back("missing " + kv.key);
    } else if (it->second.is_address != key->is_address) {
      report.differences.push_back("kind of " + kv.key + " differs");
    } else if (it->second.value != kv.value) {
      report.differences.push_back("value of " + kv.key + " differs");
    } else if (it->second.expires != 0) {
      report.differences.push_back("expiry of " + kv.key + " is " + std::to_string(it->second.expires));
    }
  }
  for (const auto& [text, entry] : local) {
    if (expected.contains(text)) continue;
    if (own.contains(LocalKey{text, entry.is_address})) {
      report.differences.push_back("extra " + config.prefix + etcd_key_of(LocalKey{text, entry.is_address}));
    } else {
      ++report.foreign;
      expected.insert(text);
    }
  }
  DaemonFeeder feeder(config.socket_path);
  std::optional<std::string> hash = feeder.hash(&report.error);
  if (!hash) return report;
  report.hash = *hash;
  const std::string digest = key_set_digest(std::vector<std::string>(expected.begin(), expected.end()));
  if (digest != *hash) report.differences.push_back("HASH " + *hash + " differs from the key set's " + digest);
  report.ok = report.differences.empty();
  return report;
}

}  // namespace

VerifyReport verify_local(EtcdGateway& etcd, const SyncConfig& config) {
  VerifyReport report;
  for (int attempt = 0; attempt < 5; ++attempt) {
    report = compare_once(etcd, config);
    if (report.ok || !report.error.empty()) return report;
    usleep(300000);
  }
  return report;
}

}  // namespace quillmap::sync
