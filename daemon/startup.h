// The steps of start-up that run before the log is open: the single-instance check, the account,
// directories and data file, the privilege drop and the detach from the terminal. Each writes its
// failure to standard error and returns a failure result; main ends the process with status 1.
#pragma once

#include <optional>

#include "util/settings.h"

namespace quillmap {

// Scans /proc for another process whose command line starts with "quillmap:" (the title prefix of a
// running master or worker). Returns 0 when none runs, 1 after writing the refusal.
int check_single_instance();

// Resolves settings.user, when set, into `account`. Returns 0 (account left empty when no user is
// configured), or 1 after "Error while resolving user" or "No such user: %s".
int resolve_user(std::optional<UserAccount>* account);

// Creates every missing directory above the last component of `path` with mode 0755; newly created
// ones are given to `account` when there is one. Existing directories keep their owners.
// Returns 0, or -1 after writing a message.
int makedirs(const char* path, const UserAccount* account);

// Completes the log, socket and pid paths with their defaults and creates their directories, in that
// order. Returns 0, or 1 after "Could not create path: %s".
int prepare_directories(const UserAccount* account);

// Creates the data file exclusively with mode 0600 (given to `account` when newly created); an
// existing file is left untouched, so it keeps the identity the segment key is derived from.
// Returns 0, or 1 after writing a message.
int create_data_file(const UserAccount* account);

// Switches to the account: supplementary groups (as root), group id, then user id.
// Returns 0, or 1 after writing a message.
int drop_privileges(const UserAccount& account);

// Detaches from the terminal: two forks around a new session, umask 0, working directory "/", every
// descriptor closed (but the readiness pipe's write end, util/readiness.h) and 0, 1, 2 opened on
// /dev/null. Returns 0 in the surviving process, -1 on failure. The starting process waits until
// the daemon serves (or failed) and ends with status 0 or 1; the intermediate one ends with 0.
int daemonize();

// Writes the own pid (decimal, no newline) to settings.pid_path with mode 0644.
// Returns 0, or 1 after logging an ERROR.
int write_pid_file();

// Deletes the pid file; a failure other than a missing file is logged.
void remove_pid_file();

}  // namespace quillmap
