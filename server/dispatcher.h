// Runs the batch of one client connection: each request body as it is read, and one answer for the
// whole batch once the client has ended its sending direction.
//
// Per connection, and forgotten when it ends: the affected and unaffected counts, whether any INFO or
// HASH was asked for, and whether this connection has already broken a stuck segment lock by force
// (it does so at most once for its requests). Each request is decoded into an arena of its own, which
// is rewound once the request has run: decoding takes nothing from the heap.
//
// The requests of one piece of the stream are decoded a few ahead of the one that runs, so that the
// memory their keys will be looked up in is fetched while earlier ones run (the hash slot, the
// entry, the tree nodes an ADD or a DEL changes). They run in stream order, each alone, and every request of a piece has run before feed
// returns: what the store, the log and other connections see is the same as for one request at a time.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "server/decode_arena.h"
#include "server/frame_reader.h"
#include "server/peer.h"
#include "store/layout.h"

namespace quillmap {

class RequestBatch {
 public:
  // `pool` is the attached, initialised segment; `peer` decides which paths LOAD and DUMP may name.
  RequestBatch(SlabPool* pool, const PeerIdentity& peer) : pool_(pool), peer_(peer) {}

  // Decodes one request body and runs it. Returns false when the body does not decode (ERROR "Could
  // not process message. Skipped"): the batch ends there and its answer is due at once.
  bool run_body(std::span<const uint8_t> body);

  // Feeds the next piece of the stream to `reader` and runs every request body it completes, as
  // run_body would one by one. Returns false once a body did not decode (the reader has stopped).
  bool feed(FrameReader& reader, std::span<const uint8_t> piece);

  // The answer frame for every request given so far, after running those still waiting (INFO and
  // HASH are computed now, once).
  std::vector<uint8_t> answer_frame();

  const PeerIdentity& peer() const { return peer_; }

  struct Counts {
    uint64_t affected = 0;
    uint64_t unaffected = 0;
    bool info_wanted = false;
    bool hash_wanted = false;
    bool forced = false;  // this connection has broken a stuck lock once
  };

 private:
  // Decodes `body` behind the requests waiting, running the oldest first when all slots are taken;
  // false (after running those waiting, then logging the ERROR) when it does not decode.
  bool queue_body(std::span<const uint8_t> body);
  void run_oldest();
  void run_waiting();

  static constexpr size_t kAhead = 8;  // requests decoded at most, the running one included
  enum class Fetch : uint8_t { kNothing, kEntry, kAdd, kDel };  // what a request's key is fetched for
  struct Waiting {
    DecodeArena arena;
    const void* message = nullptr;  // the decoded SharedDict.SendInfo, in arena
    Fetch fetch = Fetch::kNothing;
    uint32_t key_crc = 0;
  };

  SlabPool* pool_;
  PeerIdentity peer_;
  Counts counts_;
  std::array<Waiting, kAhead> waiting_;
  size_t first_ = 0;    // slot of the oldest waiting request
  size_t waiting_count_ = 0;
};

// Reports an answer that could not be written whole: WARN "Could not write answer: socket closed"
// when SIGPIPE was seen (the got_pipe flag, which is cleared), else WARN "Could not write full data:
// %s" with the text of `err`.
void report_answer_failure(int err);

// Serves one connection from start to end on the connected, blocking socket `fd`: reads the request
// frames in 2048-byte blocks until the end of the stream (or an undecodable body), runs them, writes
// the answer and closes `fd` on every path. The peer's credentials are read from the socket.
void handle_request(int fd, SlabPool* pool);

}  // namespace quillmap
