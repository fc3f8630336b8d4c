#include "sync/etcd_gateway.h"

#include <time.h>

#include <algorithm>
#include <mutex>

#include "sync/base64.h"

namespace quillmap::sync {
namespace {

using nlohmann::json;

struct SlistOwner {
  curl_slist* list;
  ~SlistOwner() { curl_slist_free_all(list); }
};

size_t append_body(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// A curl failure that says the endpoint itself is unusable, so that another one should be tried.
bool is_unreachable(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PARTIAL_FILE:
      return true;
    default:
      return false;
  }
}

int64_t monotonic_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// State of one streaming watch, shared with libcurl's callbacks.
struct WatchStream {
  const EventSink* sink = nullptr;
  const WatchTick* tick = nullptr;
  CURL* curl = nullptr;
  int silence_ms = 0;
  std::string pending;  // bytes of an answer not yet ended by a newline
  std::string outgoing;  // requests not yet sent on the open request body
  int64_t heard_ms = 0, asked_ms = 0;  // when the member last sent anything; when progress was last asked for
  WatchResult result;
  bool stop = false;
  bool created = false;
};

// Hands every complete answer line to the sink; false to end the transfer.
bool take_lines(WatchStream& w) {
  std::vector<WatchEvent> events;
  size_t start = 0;
  for (size_t nl; (nl = w.pending.find('\n', start)) != std::string::npos; start = nl + 1) {
    json answer = json::parse(w.pending.begin() + static_cast<std::ptrdiff_t>(start),
                              w.pending.begin() + static_cast<std::ptrdiff_t>(nl), nullptr, false);
    if (answer.is_discarded()) continue;
    if (answer.contains("error")) {
      const json& e = answer["error"];
      w.result = {WatchEnd::kRefused, 0, e.is_object() ? e.value("message", e.dump()) : e.dump(),
                  e.is_object() ? static_cast<int>(json_int(e, "grpc_code")) : 0};
      return false;
    }
    const json& r = answer.contains("result") ? answer["result"] : answer;
    if (r.value("created", false)) w.created = true;
    if (json_int(r, "compact_revision") > 0) {
      w.result = {WatchEnd::kCompacted, json_int(r, "compact_revision"), "compacted"};
      return false;
    }
    if (r.value("canceled", false)) {
      // A refused watch comes as a canceled one whose reason is the status text only.
      const std::string reason = r.value("cancel_reason", std::string("watch canceled"));
      const bool unauthenticated = reason.find("code = Unauthenticated") != std::string::npos;
      w.result = {WatchEnd::kRefused, 0, reason, unauthenticated ? kEtcdUnauthenticated : 0};
      return false;
    }
    if (!r.contains("events")) continue;
    for (const json& e : r["events"]) {
      std::optional<KeyValue> kv = decode_kv(e.value("kv", json::object()));
      if (!kv) continue;
      events.push_back({e.value("type", std::string()) == "DELETE", std::move(*kv)});
    }
  }
  w.pending.erase(0, start);
  if (!events.empty() && !(*w.sink)(events)) {
    w.result = {WatchEnd::kAborted, 0, ""};
    return false;
  }
  return true;
}

size_t watch_body(char* data, size_t size, size_t count, void* arg) {
  auto& w = *static_cast<WatchStream*>(arg);
  w.heard_ms = monotonic_ms();
  w.pending.append(data, size * count);
  if (!take_lines(w)) {
    w.stop = true;
    return 0;  // ends the transfer
  }
  return size * count;
}

// The request body: the create request, then progress requests; paused while there is nothing to send.
size_t watch_send(char* buffer, size_t size, size_t count, void* arg) {
  auto& w = *static_cast<WatchStream*>(arg);
  if (w.outgoing.empty()) return CURL_READFUNC_PAUSE;
  const size_t n = std::min(size * count, w.outgoing.size());
  w.outgoing.copy(buffer, n);
  w.outgoing.erase(0, n);
  return n;
}

int watch_progress(void* arg, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto& w = *static_cast<WatchStream*>(arg);
  if (w.stop) return 1;
  const int64_t now = monotonic_ms();
  if (now - w.heard_ms > w.silence_ms) {
    w.result = {WatchEnd::kBroken, 0, "no answer for " + std::to_string(now - w.heard_ms) + " ms"};
    w.stop = true;
    return 1;
  }
  if (now - std::max(w.heard_ms, w.asked_ms) >= w.silence_ms / 3) {
    w.outgoing += "{\"progress_request\":{}}\n";
    w.asked_ms = now;
    curl_easy_pause(w.curl, CURLPAUSE_CONT);
  }
  if (!(*w.tick)()) {
    w.result = {WatchEnd::kAborted, 0, ""};
    w.stop = true;
    return 1;
  }
  return 0;
}

}  // namespace

std::string prefix_range_end(const std::string& prefix) {
  std::string end = prefix;
  while (!end.empty()) {
    auto& last = reinterpret_cast<unsigned char&>(end.back());
    if (last < 0xff) {
      ++last;
      return end;
    }
    end.pop_back();
  }
  return std::string(1, '\0');  // every key
}

int64_t json_int(const json& object, const char* name) {
  auto it = object.find(name);
  if (it == object.end()) return 0;
  if (it->is_number_integer()) return it->get<int64_t>();
  if (it->is_string()) {
    try {
      return std::stoll(it->get<std::string>());
    } catch (...) {
      return 0;
    }
  }
  return 0;
}

std::optional<KeyValue> decode_kv(const json& kv) {
  if (!kv.is_object()) return std::nullopt;
  std::optional<std::string> key = base64_decode(kv.value("key", std::string()));
  std::optional<std::string> value = base64_decode(kv.value("value", std::string()));
  if (!key || !value) return std::nullopt;
  return KeyValue{std::move(*key), std::move(*value), json_int(kv, "mod_revision"), json_int(kv, "lease")};
}

EtcdGateway::EtcdGateway(EtcdOptions options) : options_(std::move(options)) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (options_.endpoints.empty()) options_.endpoints.push_back("http://127.0.0.1:2379");
  unary_ = curl_easy_init();
}

EtcdGateway::~EtcdGateway() { curl_easy_cleanup(unary_); }

curl_slist* EtcdGateway::headers() const {
  curl_slist* list = curl_slist_append(nullptr, "Content-Type: application/json");
  if (!token_.empty()) list = curl_slist_append(list, ("Authorization: " + token_).c_str());
  return list;
}

void EtcdGateway::configure(CURL* curl, const std::string& url, curl_slist* headers) const {
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(curl, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 2000L);
  if (!options_.ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, options_.ca_file.c_str());
  if (!options_.cert_file.empty()) curl_easy_setopt(curl, CURLOPT_SSLCERT, options_.cert_file.c_str());
  if (!options_.key_file.empty()) curl_easy_setopt(curl, CURLOPT_SSLKEY, options_.key_file.c_str());
}

bool EtcdGateway::authenticate(std::string* error) {
  token_.clear();
  EtcdReply r = call("/v3/auth/authenticate", {{"name", options_.user}, {"password", options_.password}});
  if (!r.ok) {
    *error = "authentication as " + options_.user + " failed: " + r.error;
    return false;
  }
  token_ = r.body.value("token", std::string());
  return true;
}

EtcdReply EtcdGateway::call(const std::string& path, const json& body, int timeout_ms) {
  EtcdReply reply;
  if (!options_.user.empty() && token_.empty() && path != "/v3/auth/authenticate") {
    if (!authenticate(&reply.error)) return reply;
  }
  const std::string payload = body.dump();
  for (size_t attempt = 0; attempt < options_.endpoints.size(); ++attempt) {
    std::string received;
    SlistOwner list{headers()};
    curl_easy_reset(unary_);
    configure(unary_, endpoint() + path, list.list);
    curl_easy_setopt(unary_, CURLOPT_POSTFIELDS, payload.c_str());
    curl_easy_setopt(unary_, CURLOPT_POSTFIELDSIZE, static_cast<long>(payload.size()));
    curl_easy_setopt(unary_, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout_ms > 0 ? timeout_ms : options_.timeout_ms));
    curl_easy_setopt(unary_, CURLOPT_WRITEFUNCTION, append_body);
    curl_easy_setopt(unary_, CURLOPT_WRITEDATA, &received);
    const CURLcode code = curl_easy_perform(unary_);
    if (code != CURLE_OK) {
      reply.error = endpoint() + ": " + curl_easy_strerror(code);
      if (!is_unreachable(code)) return reply;
      current_ = (current_ + 1) % options_.endpoints.size();
      continue;
    }
    reply.reached = true;
    reply.body = json::parse(received, nullptr, false);
    if (reply.body.is_discarded() || !reply.body.is_object()) {
      reply.error = endpoint() + ": answer is not JSON: " + received.substr(0, 200);
      return reply;
    }
    if (reply.body.contains("error") || reply.body.contains("code")) {
      reply.code = static_cast<int>(json_int(reply.body, "code"));
      reply.error = reply.body.value("message", reply.body.dump());
      if (reply.code == kEtcdUnauthenticated && !options_.user.empty() && !token_.empty()) {
        std::string auth_error;
        if (authenticate(&auth_error)) return call(path, body, timeout_ms);
      }
      return reply;
    }
    reply.ok = true;
    return reply;
  }
  return reply;
}

WatchResult EtcdGateway::watch(const std::string& prefix, int64_t start_revision, const EventSink& sink,
                               const WatchTick& tick) {
  if (!options_.user.empty() && token_.empty()) {
    std::string error;
    if (!authenticate(&error)) return {WatchEnd::kBroken, 0, error};
  }
  json create = {{"create_request",
                  {{"key", base64_encode(prefix)},
                   {"range_end", base64_encode(prefix_range_end(prefix))},
                   {"start_revision", std::to_string(start_revision)}}}};
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
  WatchStream w;
  w.sink = &sink;
  w.tick = &tick;
  w.curl = curl.get();
  w.silence_ms = std::max(options_.watch_silence_ms, 300);
  w.outgoing = create.dump() + "\n";
  w.heard_ms = monotonic_ms();
  // The request body, of no stated size, stays open for progress requests (chunked in HTTP/1.1).
  // Expect: 100-continue is needed there: without it the member, on starting its answer, first waits
  // to read and discard the rest of the request body, which never ends.
  SlistOwner list{curl_slist_append(headers(), "Expect: 100-continue")};
  configure(curl.get(), endpoint() + "/v3/watch", list.list);
  curl_easy_setopt(curl.get(), CURLOPT_POST, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_READFUNCTION, watch_send);
  curl_easy_setopt(curl.get(), CURLOPT_READDATA, &w);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, watch_body);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &w);
  curl_easy_setopt(curl.get(), CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl.get(), CURLOPT_XFERINFOFUNCTION, watch_progress);
  curl_easy_setopt(curl.get(), CURLOPT_XFERINFODATA, &w);
  const CURLcode code = curl_easy_perform(curl.get());
  if (!w.stop) {
    // The stream ended without our asking: the member went away (or answered with an error body).
    take_lines(w);
    if (!w.stop && w.result.end == WatchEnd::kBroken && !w.pending.empty()) {
      json answer = json::parse(w.pending, nullptr, false);
      if (!answer.is_discarded() && answer.is_object() && answer.contains("message")) {
        const int refusal = static_cast<int>(json_int(answer, "code"));
        w.result = {refusal == kEtcdOutOfRange ? WatchEnd::kCompacted : WatchEnd::kRefused, 0,
                    answer.value("message", std::string()), refusal};
      }
    }
  }
  if (w.result.end == WatchEnd::kRefused && w.result.code == kEtcdUnauthenticated) token_.clear();
  if (w.result.end != WatchEnd::kBroken) return w.result;
  WatchResult broken{WatchEnd::kBroken, 0,
                     endpoint() + ": watch ended: " + (w.stop ? w.result.error : curl_easy_strerror(code))};
  current_ = (current_ + 1) % options_.endpoints.size();
  return broken;
}

}  // namespace quillmap::sync
