// How a detached daemon tells the process that started it that it serves.
//
// The starting process waits, after the detach, on the read end of a pipe; the daemon keeps the write
// end. The first worker that has opened its socket writes one byte and closes it: the starting
// process then ends with status 0. If the write end is closed without that byte (start-up failed, or
// the first worker could not serve), the starting process ends with status 1 and says so on standard
// error. So a service manager or a shell sees a failed start as failed.
#pragma once

namespace quillmap {

// Adopts `fd` as the write end (-1: none, e.g. in the foreground).
void set_readiness_fd(int fd);
int readiness_fd();

// Writes the byte and closes the write end; nothing when there is none or it was already sent.
void signal_ready();

// Closes this process's copy of the write end without signalling.
void close_readiness();

// In the starting process: waits for the byte on `read_fd`. Returns the exit status (0 or 1), after
// writing "quillmap did not start; see the log at %s\n" to standard error when it did not.
int wait_for_readiness(int read_fd, const char* log_path);

}  // namespace quillmap
