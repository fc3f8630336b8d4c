// The process's signal flags. One handler serves every caught signal and only raises the matching
// flag; the master loop, the worker's connection loop and the request dispatcher read and clear the
// flags between system calls. The handler is installed once, before the worker is forked, so the
// worker inherits both the handler and the flag values of the moment of the fork.
#pragma once

#include <csignal>

namespace quillmap {

struct SignalFlags {
  volatile sig_atomic_t got_hup = 0;   // SIGHUP: logged and otherwise ignored
  volatile sig_atomic_t got_int = 0;   // SIGINT: terminate
  volatile sig_atomic_t got_quit = 0;  // SIGQUIT: terminate
  volatile sig_atomic_t got_usr1 = 0;  // SIGUSR1: reopen the log (the master also forwards it)
  volatile sig_atomic_t got_pipe = 0;  // SIGPIPE: an answer was written to a closed socket
  volatile sig_atomic_t got_term = 0;  // SIGTERM: terminate
};

extern SignalFlags signal_flags;

// Raises the flag of `signo`; a signal without a flag is ignored. Stores one value and returns, so it
// is safe wherever the signal interrupts the process.
void signal_handler(int signo);

// Installs signal_handler for SIGHUP, SIGTERM, SIGINT, SIGQUIT, SIGPIPE and SIGUSR1, in this order,
// with an empty blocked mask and SA_RESTART, and ignores SIGXFSZ (a write past a file size limit
// then fails with EFBIG). Returns 0, or -1 at the first installation that fails (the later ones are
// then not installed). SIGCHLD and all other signals keep their dispositions.
int init_signals();

}  // namespace quillmap
