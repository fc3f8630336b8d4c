#include "util/signal_flags.h"

#include <cstring>

namespace quillmap {

SignalFlags signal_flags;

void signal_handler(int signo) {
  switch (signo) {
    case SIGHUP:
      signal_flags.got_hup = 1;
      break;
    case SIGINT:
      signal_flags.got_int = 1;
      break;
    case SIGQUIT:
      signal_flags.got_quit = 1;
      break;
    case SIGUSR1:
      signal_flags.got_usr1 = 1;
      break;
    case SIGPIPE:
      signal_flags.got_pipe = 1;
      break;
    case SIGTERM:
      signal_flags.got_term = 1;
      break;
    default:
      break;
  }
}

int init_signals() {
  static const int kCaught[] = {SIGHUP, SIGTERM, SIGINT, SIGQUIT, SIGPIPE, SIGUSR1};
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = signal_handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signo : kCaught) {
    if (sigaction(signo, &action, nullptr) != 0) return -1;
  }
  // A file size limit must fail the write that meets it (EFBIG, handled like a full disk) instead of
  // ending the process before it could answer or save.
  if (signal(SIGXFSZ, SIG_IGN) == SIG_ERR) return -1;
  return 0;
}

}  // namespace quillmap
