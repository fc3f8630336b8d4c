#include "sync/etcd_kv.h"

#include "sync/base64.h"

namespace quillmap::sync {

using nlohmann::json;

Result<PrefixSnapshot> read_prefix(EtcdGateway& etcd, const std::string& prefix, int64_t revision,
                                   bool* compacted) {
  // etcd 3.4 walks the rest of the range for every page (to count it): few large pages are faster.
  // A busy member may take well over the usual call timeout to answer one: a page is given minutes,
  // or a large prefix could never be read under load.
  constexpr int64_t kPage = 250000;
  constexpr int kPageTimeoutMs = 300000;
  PrefixSnapshot snapshot;
  snapshot.revision = revision;
  const std::string end = prefix_range_end(prefix);
  std::string from = prefix;
  if (compacted) *compacted = false;
  for (;;) {
    json request = {{"key", base64_encode(from)}, {"range_end", base64_encode(end)},
                    {"limit", std::to_string(kPage)}};
    if (snapshot.revision > 0) request["revision"] = std::to_string(snapshot.revision);
    EtcdReply r = etcd.call("/v3/kv/range", request, kPageTimeoutMs);
    if (!r.ok) {
      if (compacted && r.code == kEtcdOutOfRange) *compacted = true;
      return ClientError{"cannot read " + prefix + ": " + r.error};
    }
    if (snapshot.revision == 0) snapshot.revision = json_int(r.body["header"], "revision");
    if (!r.body.contains("kvs")) break;
    for (const json& kv : r.body["kvs"]) {
      std::optional<KeyValue> decoded = decode_kv(kv);
      if (!decoded) return ClientError{"cannot read " + prefix + ": undecodable key in answer"};
      snapshot.kvs.push_back(std::move(*decoded));
    }
    if (!r.body.value("more", false) || snapshot.kvs.empty()) break;
    from = snapshot.kvs.back().key + std::string(1, '\0');
  }
  return snapshot;
}

Result<int64_t> current_revision(EtcdGateway& etcd, const std::string& key) {
  EtcdReply r = etcd.call("/v3/kv/range", {{"key", base64_encode(key)}, {"count_only", true}});
  if (!r.ok) return ClientError{"cannot read the current revision: " + r.error};
  return json_int(r.body["header"], "revision");
}

Result<int64_t> commit(EtcdGateway& etcd, const std::vector<Change>& changes) {
  json success = json::array();
  for (const Change& c : changes) {
    if (c.is_delete) {
      success.push_back({{"request_delete_range", {{"key", base64_encode(c.key)}}}});
    } else {
      json put = {{"key", base64_encode(c.key)}, {"value", base64_encode(c.value)}};
      if (c.lease != 0) put["lease"] = std::to_string(c.lease);
      success.push_back({{"request_put", put}});
    }
  }
  EtcdReply r = etcd.call("/v3/kv/txn", {{"success", success}});
  if (!r.ok) return ClientError{"transaction failed: " + r.error};
  return json_int(r.body["header"], "revision");
}

Result<int64_t> grant_lease(EtcdGateway& etcd, int64_t ttl_seconds) {
  EtcdReply r = etcd.call("/v3/lease/grant", {{"TTL", std::to_string(ttl_seconds)}});
  if (!r.ok) return ClientError{"cannot grant a lease: " + r.error};
  return json_int(r.body, "ID");
}

Status compact(EtcdGateway& etcd, int64_t revision) {
  EtcdReply r = etcd.call("/v3/kv/compaction", {{"revision", std::to_string(revision)}, {"physical", true}});
  if (!r.ok) return ClientError{"compaction failed: " + r.error};
  return ok_status();
}

}  // namespace quillmap::sync
