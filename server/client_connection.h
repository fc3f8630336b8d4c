// One admitted client connection as the worker serves it beside all the others: a non-blocking
// socket read as its bytes arrive, each complete request run as soon as it has been read, and the one
// answer written once the client has ended its sending direction.
//
// States: reading -> (end of stream, read error, or an undecodable body) -> writing -> done, or done
// directly when the connection is dropped. Memory per connection is bounded whatever the client
// sends: the frame reader's partial frame (at most one body) and the answer.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

#include "server/dispatcher.h"
#include "server/frame_reader.h"
#include "server/peer.h"
#include "store/layout.h"
#include "util/io.h"

namespace quillmap {

using ServeClock = std::chrono::steady_clock;

class ClientConnection {
 public:
  enum class State { kReading, kWriting, kDone };

  // Takes the connected, non-blocking socket of an admitted `peer`.
  ClientConnection(UniqueFd fd, SlabPool* pool, const PeerIdentity& peer, ServeClock::time_point now);

  // Reads once into `scratch` (any size) and runs the requests completed by what arrived. At the end
  // of the stream, on a read error or after an undecodable body, the answer is built and written as
  // far as the socket takes it. `peer_closed` says that the wait saw the client end its sending
  // direction: when the read then took all that was left (less than `scratch`), the end of the stream
  // is read at once instead of after another wait. At most one read's worth of requests runs per
  // call, so that no client holds up the others.
  void on_readable(std::span<uint8_t> scratch, ServeClock::time_point now, bool peer_closed);
  // Writes more of the answer.
  void on_writable(ServeClock::time_point now);
  // Closes the connection without an answer; what it sent has run.
  void drop() { fd_.reset(), state_ = State::kDone; }

  State state() const { return state_; }
  int fd() const { return fd_.get(); }
  const PeerIdentity& peer() const { return batch_.peer(); }
  ServeClock::time_point last_progress() const { return last_progress_; }

 private:
  void start_answer(ServeClock::time_point now);

  UniqueFd fd_;
  State state_ = State::kReading;
  ServeClock::time_point last_progress_;
  FrameReader reader_;
  RequestBatch batch_;
  std::vector<uint8_t> answer_;
  size_t written_ = 0;
};

}  // namespace quillmap
