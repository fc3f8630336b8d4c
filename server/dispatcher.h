// Serves one admitted client connection: reads the batch of request frames until the client ends its
// sending direction, runs each request against the store, and sends one answer for the whole batch.
//
// Per connection, and forgotten when it ends: the affected and unaffected counts, whether any INFO or
// HASH was asked for, and whether this connection has already broken a stuck segment lock by force
// (it does so at most once for its requests).
#pragma once

#include "store/layout.h"

namespace quillmap {

// Reads, executes and answers the batch on the connected, blocking socket `fd`, then closes `fd` (on
// every path). `pool` is the attached, initialised segment. Writing the answer to a peer that has
// gone raises SIGPIPE; the caller's handler is expected to raise signal_flags.got_pipe, which this
// function consumes.
void handle_request(int fd, SlabPool* pool);

}  // namespace quillmap
