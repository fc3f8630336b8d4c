// The worker's serving loop: listens on the Unix stream socket at settings.socket_path, admits one
// client at a time by its peer credentials, hands each admitted connection to handle_request, reacts
// to the signal flags between waits and, when settings.enable_clean is set, sweeps expired entries
// out of the store after every expired_check_interval * 10 + 1 completed waits.
#pragma once

#include <cstdint>

#include "store/layout.h"
#include "util/settings.h"

namespace quillmap {

// Serves until a terminating signal flag (got_term, got_int, got_quit) is seen: returns 0, leaving
// the flags raised. Returns -1 when the socket cannot be created, the old socket file cannot be
// removed, or bind, listen or accept fail; -4 when waiting on the socket fails.
// `account` is the configured user's account, or null when none is configured (every peer admitted).
// A peer is admitted when its uid is the account's uid or 0 and its gid is the account's gid or 0.
// The socket file is left in place and the listening socket stays open after the return, until the
// next process_cycle of this process replaces it or close_listening_socket() is called.
int64_t process_cycle(SlabPool* pool, const UserAccount* account);

// Closes the listening socket that the last process_cycle left open (nothing when there is none).
void close_listening_socket();

}  // namespace quillmap
