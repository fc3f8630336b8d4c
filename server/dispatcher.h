// Runs the batch of one client connection: each request body as it is read, and one answer for the
// whole batch once the client has ended its sending direction.
//
// Per connection, and forgotten when it ends: the affected and unaffected counts, whether any INFO or
// HASH was asked for, and whether this connection has already broken a stuck segment lock by force
// (it does so at most once for its requests). Each request is decoded into the batch's arena, which
// is rewound once the request has run: decoding takes nothing from the heap.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "server/decode_arena.h"
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

  // The answer frame for the requests run so far (INFO and HASH are computed now, once).
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
  SlabPool* pool_;
  PeerIdentity peer_;
  Counts counts_;
  DecodeArena arena_;
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
