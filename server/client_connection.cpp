#include "server/client_connection.h"

#include <unistd.h>

#include <cerrno>

namespace quillmap {

ClientConnection::ClientConnection(UniqueFd fd, SlabPool* pool, const PeerIdentity& peer, ServeClock::time_point now)
    : fd_(std::move(fd)), last_progress_(now), batch_(pool, peer) {}

void ClientConnection::on_readable(std::span<uint8_t> scratch, ServeClock::time_point now, bool peer_closed) {
  // A second read only ever takes the end of the stream of a client that has closed its side.
  for (int reads = 0; reads < 2 && state_ == State::kReading; ++reads) {
    ssize_t n;
    do {
      n = read(fd_.get(), scratch.data(), scratch.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {  // the end of the stream; a read error ends it the same way
      start_answer(now);
      return;
    }
    last_progress_ = now;
    bool going = batch_.feed(reader_, {scratch.data(), static_cast<size_t>(n)});
    if (!going) {  // an undecodable body: the rest of the stream is not read
      start_answer(now);
      return;
    }
    if (!peer_closed || static_cast<size_t>(n) == scratch.size()) return;  // more when the wait says so
  }
}

void ClientConnection::start_answer(ServeClock::time_point now) {
  answer_ = batch_.answer_frame();
  written_ = 0;
  state_ = State::kWriting;
  on_writable(now);
}

void ClientConnection::on_writable(ServeClock::time_point now) {
  if (state_ != State::kWriting) return;
  while (written_ < answer_.size()) {
    ssize_t n = write(fd_.get(), answer_.data() + written_, answer_.size() - written_);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // the rest when the socket takes it
    if (n <= 0) {
      report_answer_failure(n < 0 ? errno : EIO);
      drop();
      return;
    }
    written_ += static_cast<size_t>(n);
    last_progress_ = now;
  }
  drop();  // answered: the connection ends here
}

}  // namespace quillmap
