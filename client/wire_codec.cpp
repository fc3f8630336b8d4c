#include "client/wire_codec.h"

#include <cstring>
#include <memory>
#include <utility>

#include "client/text_encoding.h"
#include "proto/msg.pb-c.h"
#include "proto/wire_enums.h"

namespace quillmap {
namespace {

struct RecvInfoFree {
  void operator()(SharedDict__RecvInfo* m) const { shared_dict__recv_info__free_unpacked(m, nullptr); }
};
struct SendInfoFree {
  void operator()(SharedDict__SendInfo* m) const { shared_dict__send_info__free_unpacked(m, nullptr); }
};
using UnpackedAnswer = std::unique_ptr<SharedDict__RecvInfo, RecvInfoFree>;
using UnpackedRequest = std::unique_ptr<SharedDict__SendInfo, SendInfoFree>;

const uint8_t* bytes_of(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

void put_header(std::string& out, size_t body_size) {
  out.push_back(static_cast<char>((body_size >> 8) & 0xff));
  out.push_back(static_cast<char>(body_size & 0xff));
}

bool holds_zero_byte(const std::optional<std::string>& s) {
  return s && s->find('\0') != std::string::npos;
}

}  // namespace

Request make_get(std::string key, KeyType ktype) {
  return Request{static_cast<int>(Action::kGet), std::move(key), ktype, std::nullopt, std::nullopt};
}

Request make_add(std::string key, std::string value, uint32_t expires, KeyType ktype) {
  return Request{static_cast<int>(Action::kAdd), std::move(key), ktype, std::move(value), expires};
}

Request make_set(std::string key, std::string value, uint32_t expires, KeyType ktype) {
  return Request{static_cast<int>(Action::kSet), std::move(key), ktype, std::move(value), expires};
}

Request make_del(std::string key, KeyType ktype) {
  return Request{static_cast<int>(Action::kDel), std::move(key), ktype, std::nullopt, std::nullopt};
}

Request make_simple(Action action) {
  Request r;
  r.action = static_cast<int>(action);
  return r;
}

Request make_file_request(Action action, std::string path) {
  Request r = make_simple(action);
  r.value = std::move(path);
  return r;
}

std::optional<uint64_t> Answer::affected() const {
  if (!message) return std::nullopt;
  static constexpr std::string_view kSuffix = " affected entries";
  std::string_view m = *message;
  if (m.size() <= kSuffix.size() || m.substr(m.size() - kSuffix.size()) != kSuffix) return std::nullopt;
  uint64_t n = 0;
  for (char c : m.substr(0, m.size() - kSuffix.size())) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  return n;
}

Status append_request_frame(const Request& request, std::string& out) {
  if (holds_zero_byte(request.key) || holds_zero_byte(request.value)) {
    return ClientError{"request text holds a zero byte; the daemon would cut it there"};
  }
  // The daemon's decoder takes well-formed UTF-8 only: a body with other bytes fails to decode,
  // and the daemon stops reading the batch there.
  for (const std::optional<std::string>* field : {&request.key, &request.value}) {
    if (*field && !is_valid_utf8(**field)) {
      return ClientError{std::string("request ") + (field == &request.key ? "key" : "value") +
                         " is not valid UTF-8 text; the daemon takes text only"};
    }
  }
  SharedDict__SendInfo msg = SHARED_DICT__SEND_INFO__INIT;
  set_wire_enum(&msg.action, request.action);
  // protobuf-c only reads these strings while packing.
  msg.key = request.key ? const_cast<char*>(request.key->c_str()) : nullptr;
  msg.value = request.value ? const_cast<char*>(request.value->c_str()) : nullptr;
  if (request.ktype) {
    msg.has_ktype = 1;
    set_wire_enum(&msg.ktype, static_cast<int>(*request.ktype));
  }
  if (request.expires) {
    msg.has_expires = 1;
    msg.expires = *request.expires;
  }
  size_t size = shared_dict__send_info__get_packed_size(&msg);
  if (size > kMaxRequestBody) {
    return ClientError{"request is " + std::to_string(size) + " bytes packed; the daemon takes at most " +
                       std::to_string(kMaxRequestBody)};
  }
  size_t start = out.size();
  put_header(out, size);
  out.resize(start + kFrameHeaderSize + size);
  shared_dict__send_info__pack(&msg, reinterpret_cast<uint8_t*>(out.data() + start + kFrameHeaderSize));
  return ok_status();
}

Result<std::string> encode_batch(const std::vector<Request>& requests) {
  std::string out;
  for (size_t i = 0; i < requests.size(); ++i) {
    Status st = append_request_frame(requests[i], out);
    if (!st) return ClientError{"request " + std::to_string(i + 1) + ": " + st.error()};
  }
  return out;
}

Result<Answer> decode_answer_stream(std::string_view received) {
  if (received.empty()) return ClientError{"daemon closed the connection without an answer"};
  if (received.size() < kFrameHeaderSize) {
    return ClientError{"truncated answer: 1 byte received, the frame header alone has 2"};
  }
  size_t length = (static_cast<size_t>(bytes_of(received)[0]) << 8) | bytes_of(received)[1];
  size_t body_size = received.size() - kFrameHeaderSize;
  if (body_size < length) {
    return ClientError{"truncated answer: " + std::to_string(body_size) + " of " + std::to_string(length) +
                       " body bytes received"};
  }
  // The length field carries only the low 16 bits of the body size, so a body longer than 65535
  // bytes still counts as one frame when the sizes agree in those bits.
  if (body_size != length && (body_size & 0xffff) != length) {
    return ClientError{"answer is followed by " + std::to_string(body_size - length) + " unexpected bytes"};
  }
  UnpackedAnswer msg(shared_dict__recv_info__unpack(nullptr, body_size, bytes_of(received) + kFrameHeaderSize));
  if (!msg) return ClientError{"answer does not decode as an answer message"};

  Answer answer;
  answer.success = msg->success != 0;
  if (msg->message) answer.message = msg->message;
  if (msg->info) {
    const SharedDict__InfoData& i = *msg->info;
    answer.info = InfoFigures{i.pages_total, i.pages_free, i.bytes_total, i.bytes_alloc, i.bytes_used};
  }
  if (msg->hashsum) answer.hashsum = msg->hashsum;
  return answer;
}

std::string encode_answer_frame(const Answer& answer) {
  SharedDict__RecvInfo msg = SHARED_DICT__RECV_INFO__INIT;
  SharedDict__InfoData info = SHARED_DICT__INFO_DATA__INIT;
  msg.success = answer.success ? 1 : 0;
  msg.message = answer.message ? const_cast<char*>(answer.message->c_str()) : nullptr;
  if (answer.info) {
    info.pages_total = answer.info->pages_total;
    info.pages_free = answer.info->pages_free;
    info.bytes_total = answer.info->bytes_total;
    info.bytes_alloc = answer.info->bytes_alloc;
    info.bytes_used = answer.info->bytes_used;
    msg.info = &info;
  }
  msg.hashsum = answer.hashsum ? const_cast<char*>(answer.hashsum->c_str()) : nullptr;
  size_t size = shared_dict__recv_info__get_packed_size(&msg);
  std::string out;
  put_header(out, size);
  out.resize(kFrameHeaderSize + size);
  shared_dict__recv_info__pack(&msg, reinterpret_cast<uint8_t*>(out.data() + kFrameHeaderSize));
  return out;
}

Result<Request> decode_request_body(std::string_view body) {
  UnpackedRequest msg(shared_dict__send_info__unpack(nullptr, body.size(), bytes_of(body)));
  if (!msg) return ClientError{"request body does not decode"};
  Request r;
  r.action = wire_enum_value(msg->action);
  if (msg->key) r.key = msg->key;
  if (msg->has_ktype) r.ktype = static_cast<KeyType>(wire_enum_value(msg->ktype));
  if (msg->value) r.value = msg->value;
  if (msg->has_expires) r.expires = msg->expires;
  return r;
}

}  // namespace quillmap
