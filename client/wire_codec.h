// Requests and answers of the client socket as plain C++ values, and their frames.
//
// A frame is a 2-byte big-endian length followed by that many bytes of one packed message: a
// SharedDict.SendInfo for every request of a batch, and one SharedDict.RecvInfo answer per batch.
// The daemon takes request bodies of at most kMaxRequestBody bytes; a longer one would be skipped
// without a trace (its bytes then read as further frames), so the encoder refuses it instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/client_result.h"

namespace quillmap {

// Action numbers on the wire (SharedDict.SendInfo.Action).
enum class Action : int {
  kGet = 1,
  kAdd = 2,
  kSet = 3,
  kDel = 4,
  kInfo = 5,
  kHash = 6,
  kClear = 7,
  kLoad = 8,
  kDump = 9,
};

// Key kinds on the wire (SharedDict.SendInfo.KeyType).
enum class KeyType : int {
  kString = 1,
  kAddress = 2,  // IPADDR: an IPv4 or IPv6 address, optionally "/prefix-length"
};

inline constexpr size_t kMaxRequestBody = 2048;
inline constexpr size_t kFrameHeaderSize = 2;

// One request. Absent optionals are left out of the message. `action` is a plain number so that a
// test can send numbers outside the known actions; use the Action values otherwise.
struct Request {
  int action = static_cast<int>(Action::kGet);
  std::optional<std::string> key;
  std::optional<KeyType> ktype;
  std::optional<std::string> value;  // ADD/SET: the value; LOAD/DUMP: the data file path
  std::optional<uint32_t> expires;   // ADD/SET: absolute seconds since the epoch, 0 = never
};

// Convenience builders for the usual requests.
Request make_get(std::string key, KeyType ktype = KeyType::kString);
Request make_add(std::string key, std::string value, uint32_t expires = 0,
                 KeyType ktype = KeyType::kString);
Request make_set(std::string key, std::string value, uint32_t expires = 0,
                 KeyType ktype = KeyType::kString);
Request make_del(std::string key, KeyType ktype = KeyType::kString);
Request make_simple(Action action);  // INFO, HASH, CLEAR, and LOAD/DUMP of the configured file
Request make_file_request(Action action, std::string path);  // LOAD/DUMP of a given file

// Memory figures of the shared segment (SharedDict.InfoData).
struct InfoFigures {
  int64_t pages_total = 0;
  int64_t pages_free = 0;
  int64_t bytes_total = 0;
  int64_t bytes_alloc = 0;
  int64_t bytes_used = 0;
  bool operator==(const InfoFigures&) const = default;
};

// The answer to one batch (SharedDict.RecvInfo; its payload field is never set by the daemon).
struct Answer {
  bool success = false;
  std::optional<std::string> message;  // "N affected entries", present when success
  std::optional<InfoFigures> info;     // when the batch held an INFO request
  std::optional<std::string> hashsum;  // when the batch held a HASH request; "" if not computable

  // Not on the wire: set by the client when the daemon stopped reading before the whole batch was
  // written (it does so after a body it cannot decode), so the answer covers only part of the batch.
  bool cut_short = false;

  // N of the message "N affected entries", when the message has that form.
  std::optional<uint64_t> affected() const;
};

// Appends the frame of `request` to `out`. Fails, leaving `out` unchanged, when the packed body is
// longer than kMaxRequestBody, a text field holds a zero byte (the daemon would cut it there) or is
// not well-formed UTF-8 (the daemon's decoder refuses the body).
Status append_request_frame(const Request& request, std::string& out);

// The frames of a whole batch; the error names the first request (counted from 1) that failed.
Result<std::string> encode_batch(const std::vector<Request>& requests);

// Decodes everything the daemon sent on one connection: exactly one answer frame. Errors cover an
// empty stream, a truncated frame, bytes after the frame and a body that does not decode.
Result<Answer> decode_answer_stream(std::string_view received);

// Frames one answer; used by tests and fake servers standing in for the daemon.
std::string encode_answer_frame(const Answer& answer);

// Decodes one request body (without its header); used by tests and fake servers.
Result<Request> decode_request_body(std::string_view body);

}  // namespace quillmap
