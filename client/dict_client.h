// Talking to the daemon over its Unix socket.
//
// One connection carries one batch: the requests are written as frames, the client then ends its
// sending direction, and the daemon answers the whole batch with one frame and closes. The daemon
// serves one connection at a time and does not answer before the client's end of stream, so a
// DictConnection must be finished (or dropped, which closes it) promptly.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "client/client_result.h"
#include "client/wire_codec.h"
#include "util/io.h"

namespace quillmap {

// The daemon binds at most this many bytes of its socket path; a longer path is cut the same way
// here, so that both sides use the same file.
inline constexpr size_t kMaxSocketPath = 107;

struct ClientOptions {
  // Limit for each connect, write and read; 0 waits as long as it takes (a LOAD of a large file may
  // legitimately take long).
  int timeout_ms = 0;
};

class DictConnection {
 public:
  // Connects to the daemon's socket. Error text: "cannot connect to PATH: <system error text>".
  static Result<DictConnection> open(const std::string& socket_path, ClientOptions options = {});

  DictConnection(DictConnection&&) noexcept = default;
  DictConnection& operator=(DictConnection&&) noexcept = default;

  // Queues one request (see append_request_frame for the refusals); queued frames are written
  // whenever enough have gathered, and the rest by finish().
  Status send(const Request& request);

  // Queues already framed requests as they are.
  Status send_frames(std::string_view frames);

  // Writes what is queued, ends the sending direction and reads the answer to end of stream.
  // The connection is closed afterwards whatever the outcome.
  Result<Answer> finish();

  const std::string& socket_path() const { return path_; }

 private:
  DictConnection(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  Status flush();
  Result<std::string> read_to_end();

  UniqueFd fd_;
  std::string path_;
  std::string queued_;
  // The daemon stopped reading before the whole batch was written (it does so after a body that
  // does not decode); its answer then covers only the requests it read.
  bool peer_stopped_reading_ = false;
};

// Connects, sends the batch and returns the answer. Requests that cannot be encoded are refused
// before anything is sent, so a refused batch executes nothing.
Result<Answer> send_batch(const std::string& socket_path, const std::vector<Request>& requests,
                          ClientOptions options = {});

}  // namespace quillmap
