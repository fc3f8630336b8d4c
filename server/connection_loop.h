// The worker's serving loop: listens on the Unix stream socket at settings.socket_path, admits clients
// by their peer credentials and serves every open connection as its data arrives (one poll over the
// listening socket and all connections), reacts to the signal flags between passes and, when
// settings.enable_clean is set, sweeps expired entries out of the store once per sweep period.
//
// Guarantees:
//   1. No client can hold up the others: a connection's requests run as soon as they have been read,
//      in their order; its answer is written when it has ended its sending direction.
//   2. A connection that makes no progress (nothing read, nothing of its answer taken) for
//      settings.client_timeout seconds is closed unanswered, with WARN naming the peer's pid; 0 means
//      no limit.
//   3. At most settings.max_clients connections are open; a further one is closed at once, with a
//      WARN at most once a second.
//   4. A terminating signal ends the loop within one poll interval (100 ms) after the request in
//      progress; open connections are closed unanswered.
//   5. Sweeps follow elapsed time: one every expired_check_interval seconds plus one poll interval,
//      however many passes the traffic causes.
//   6. With settings.save_interval, a store changed since its last save is dumped to the data file
//      once per interval (INFO "Saved %ld entries to %s").
//   7. A failed accept (EMFILE, ECONNABORTED, ...) is logged and accepting pauses for one poll
//      interval; the other connections are served meanwhile.
#pragma once

#include <cstdint>

#include "store/layout.h"
#include "util/settings.h"

namespace quillmap {

// Serves until a terminating signal flag (got_term, got_int, got_quit) is seen: returns 0, leaving
// the flags raised. Returns -1 when the socket cannot be created, the old socket file cannot be
// removed, or bind or listen fail; -4 when waiting fails.
// `account` is the configured user's account, or null when none is configured (every peer admitted).
// A peer is admitted when its uid is the account's uid or 0 and its gid is the account's gid or 0.
// The socket file is left in place and the listening socket stays open after the return, until the
// next process_cycle of this process replaces it or close_listening_socket() is called.
int64_t process_cycle(SlabPool* pool, const UserAccount* account);

// Closes the listening socket that the last process_cycle left open (nothing when there is none).
void close_listening_socket();

}  // namespace quillmap
