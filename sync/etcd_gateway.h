// etcd's v3 API through its JSON gateway (HTTP POST of JSON bodies to /v3/...), by libcurl.
//
// Why the gateway and not gRPC: every etcd 3.4 server serves it on its client port, and on this
// platform it needs only libcurl and a JSON library, both packaged; the gRPC route would need the
// etcd protos, a generated gRPC stub and libgrpc++, for the same five calls. The gateway carries keys
// and values as base64 and 64-bit numbers as decimal texts; a watch is one streaming response whose
// body is a sequence of JSON objects, one per line.
//
// Endpoints: calls go to the current endpoint; when it cannot be reached (connection refused, reset,
// timed out) the next one in the list is tried, round robin, so one failed member is skipped
// transparently. An answer from a member (including an etcd error) ends the call.
// Liveness: a member can accept a watch and then stop answering (stopped, or stuck) without closing
// the connection. The watch's request body stays open, and a quiet watch sends a progress request on
// it now and then; the member answers each with an empty response at its current revision. A watch
// that hears nothing for EtcdOptions::watch_silence_ms ends as broken.
// Authentication: with a user name, a token is fetched from /v3/auth/authenticate and sent with
// every call, and fetched again once when a call is refused as unauthenticated; a watch refused as
// unauthenticated (the member restarted, or the token's time ran out) drops the token, so that the
// next watch fetches a new one.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace quillmap::sync {

struct EtcdOptions {
  std::vector<std::string> endpoints;  // "http://127.0.0.1:2379", "https://host:2379"
  std::string ca_file, cert_file, key_file;  // TLS: trust anchors and client certificate
  std::string user, password;
  int timeout_ms = 10000;  // for one unary call (not for a watch)
  // A watch that hears nothing from its member for this long is given up (kBroken) and reopened on the
  // next endpoint; while it is quiet, progress is asked for every third of this time, so that a live
  // member always answers within it.
  int watch_silence_ms = 20000;
};

// etcd's gRPC status codes that callers tell apart.
inline constexpr int kEtcdOutOfRange = 11;       // revision compacted or in the future
inline constexpr int kEtcdUnauthenticated = 16;

// The outcome of one call: a decoded answer, or why not.
struct EtcdReply {
  bool ok = false;
  bool reached = false;  // a member answered (false: no endpoint could be reached)
  int code = 0;          // etcd's error code when a member refused the call
  std::string error;     // readable cause when !ok
  nlohmann::json body;
};

struct KeyValue {
  std::string key, value;
  int64_t mod_revision = 0;
  int64_t lease = 0;
};

struct WatchEvent {
  bool is_delete = false;
  KeyValue kv;  // for a delete: key and mod_revision only
};

enum class WatchEnd {
  kAborted,    // the event sink or the tick asked to stop
  kCompacted,  // the start revision has been compacted away; compact_revision says where to
  kBroken,     // the stream could not be opened or ended (member gone); try again
  kRefused,    // a member refused the watch (error text)
};

struct WatchResult {
  WatchEnd end = WatchEnd::kBroken;
  int64_t compact_revision = 0;
  std::string error;
  int code = 0;  // etcd's error code when a member refused the watch
};

// Receives the events of one or more watch answers, in revision order; false ends the watch.
using EventSink = std::function<bool(std::vector<WatchEvent>& events)>;
// Called about once a second while a watch is open, and between answers; false ends the watch.
using WatchTick = std::function<bool()>;

// The smallest key above every key that starts with `prefix` (etcd's range end for a prefix).
std::string prefix_range_end(const std::string& prefix);

// A 64-bit field of a gateway answer: decimal text or number; 0 when absent.
int64_t json_int(const nlohmann::json& object, const char* name);

// One key-value of a gateway answer (base64 decoded); nothing when its texts do not decode.
std::optional<KeyValue> decode_kv(const nlohmann::json& kv);

class EtcdGateway {
 public:
  explicit EtcdGateway(EtcdOptions options);
  ~EtcdGateway();
  EtcdGateway(const EtcdGateway&) = delete;
  EtcdGateway& operator=(const EtcdGateway&) = delete;

  // POSTs `body` to `path` ("/v3/kv/range"), failing over between endpoints as described above;
  // `timeout_ms` (0: the options' timeout) bounds one attempt.
  EtcdReply call(const std::string& path, const nlohmann::json& body, int timeout_ms = 0);

  // Follows every key under `prefix` from `start_revision` on the current endpoint until the sink or
  // the tick says stop or the stream ends; the caller retries after kBroken (the next attempt uses the
  // next endpoint).
  WatchResult watch(const std::string& prefix, int64_t start_revision, const EventSink& sink,
                    const WatchTick& tick);

  const std::string& endpoint() const { return options_.endpoints[current_]; }

 private:
  void configure(CURL* curl, const std::string& url, curl_slist* headers) const;
  bool authenticate(std::string* error);
  curl_slist* headers() const;

  EtcdOptions options_;
  size_t current_ = 0;
  CURL* unary_ = nullptr;  // kept for connection reuse
  std::string token_;
};

}  // namespace quillmap::sync
