#include "client/dict_client.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace quillmap {
namespace {

// Queued frames are written once this much has gathered.
constexpr size_t kWriteChunk = 64 * 1024;
// An answer is a short text, five integers and 40 digits; anything near this is not an answer.
constexpr size_t kMaxAnswerStream = 1 << 20;

std::string system_error(int err) { return std::strerror(err); }

Status set_timeouts(int fd, int timeout_ms) {
  if (timeout_ms <= 0) return ok_status();
  timeval tv{timeout_ms / 1000, static_cast<suseconds_t>((timeout_ms % 1000) * 1000)};
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
    return ClientError{"cannot set socket time-outs: " + system_error(errno)};
  }
  return ok_status();
}

}  // namespace

Result<DictConnection> DictConnection::open(const std::string& socket_path, ClientOptions options) {
  if (socket_path.empty()) return ClientError{"cannot connect: the socket path is empty"};
  std::string path = socket_path.substr(0, kMaxSocketPath);
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return ClientError{"cannot create a socket: " + system_error(errno)};
  Status st = set_timeouts(fd.get(), options.timeout_ms);
  if (!st) return ClientError{st.error()};

  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  int rc;
  do {
    rc = connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      return ClientError{"cannot connect to " + path + ": the daemon did not accept within " +
                         std::to_string(options.timeout_ms) + " ms"};
    }
    return ClientError{"cannot connect to " + path + ": " + system_error(err)};
  }
  return DictConnection(std::move(fd), std::move(path));
}

Status DictConnection::send(const Request& request) {
  Status st = append_request_frame(request, queued_);
  if (!st) return st;
  return queued_.size() >= kWriteChunk ? flush() : ok_status();
}

Status DictConnection::send_frames(std::string_view frames) {
  queued_.append(frames);
  return queued_.size() >= kWriteChunk ? flush() : ok_status();
}

Status DictConnection::flush() {
  if (!fd_) return ClientError{"connection to " + path_ + " is already finished"};
  size_t done = 0;
  while (done < queued_.size() && !peer_stopped_reading_) {
    // MSG_NOSIGNAL: a daemon that stopped reading must give EPIPE here, not kill the client.
    ssize_t n = ::send(fd_.get(), queued_.data() + done, queued_.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
      // Its answer may already be waiting; finish() reads it.
      peer_stopped_reading_ = true;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return ClientError{"daemon at " + path_ + " did not take the requests in time"};
    } else {
      return ClientError{"cannot send to " + path_ + ": " + system_error(n < 0 ? errno : EIO)};
    }
  }
  queued_.clear();
  return ok_status();
}

Result<std::string> DictConnection::read_to_end() {
  std::string received;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd_.get(), buf, sizeof buf);
    if (n > 0) {
      received.append(buf, static_cast<size_t>(n));
      if (received.size() > kMaxAnswerStream) {
        return ClientError{"daemon at " + path_ + " sent more than " + std::to_string(kMaxAnswerStream) +
                           " bytes; that is no answer"};
      }
    } else if (n == 0) {
      return received;
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return ClientError{"no answer from the daemon at " + path_ + " in time"};
    } else if (errno == ECONNRESET && !received.empty()) {
      return received;
    } else {
      return ClientError{"cannot read the answer from " + path_ + ": " + system_error(errno)};
    }
  }
}

Result<Answer> DictConnection::finish() {
  struct CloseAtEnd {
    UniqueFd& fd;
    ~CloseAtEnd() { fd.reset(); }
  } close_at_end{fd_};
  Status st = flush();
  if (!st) return ClientError{st.error()};
  if (shutdown(fd_.get(), SHUT_WR) != 0 && errno != ENOTCONN && errno != EPIPE) {
    return ClientError{"cannot end the request stream to " + path_ + ": " + system_error(errno)};
  }
  Result<std::string> received = read_to_end();
  if (!received) return ClientError{received.error()};
  Result<Answer> answer = decode_answer_stream(received.value());
  if (answer) answer.value().cut_short = peer_stopped_reading_;
  return answer;
}

Result<Answer> send_batch(const std::string& socket_path, const std::vector<Request>& requests,
                          ClientOptions options) {
  Result<std::string> frames = encode_batch(requests);
  if (!frames) return ClientError{frames.error()};
  Result<DictConnection> conn = DictConnection::open(socket_path, options);
  if (!conn) return ClientError{conn.error()};
  Status st = conn.value().send_frames(frames.value());
  if (!st) return ClientError{st.error()};
  return conn.value().finish();
}

}  // namespace quillmap
